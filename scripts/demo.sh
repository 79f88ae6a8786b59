#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the trimlet program and crops
# demo/sample.png into out/demo/: the four rules of 1.0, the square placed by
# attention, a thumbnail and a conversion to WebP (README.md lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --demo
cmake -S . -B build -DTRIMLET_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target trimlet_cli
trimlet=build/tools/trimlet
out=out/demo
mkdir -p "$out"

# Prints a file's name, its width and height (as the program reads them) and
# its size in bytes.
describe() {
  local box
  read -r -a box < <("$trimlet" plan edges 0 0 0 0 "$1")
  printf '  %-30s %4d x %-4d px %6d bytes\n' "$1" "${box[4]}" "${box[5]}" "$(wc -c <"$1")"
}

# Crops the sample into $out/<file> and describes the result.
crop() {
  local file=$1
  shift
  echo "\$ trimlet $* demo/sample.png -o $out/$file"
  "$trimlet" "$@" demo/sample.png -o "$out/$file"
  describe "$out/$file"
}

echo
describe demo/sample.png
# The four rules of 1.0.
crop rect.png rect 160 40 120 80
crop aspect.png aspect 1:1                 # the centred square: the card cut in half
crop auto.png auto
crop edges.png edges 10 0 10 40
# The same square placed where the eye goes, keeping the card whole.
crop aspect-attention.png aspect 1:1 --position attention
# A thumbnail: that square scaled down to exactly 96 x 96.
crop thumb.png thumb 96x96 --position attention
# A format conversion: the trimmed card as WebP, where the build writes it.
if "$trimlet" --version | grep -q '^writes:.*webp'; then
  crop auto.webp auto
else
  echo "  (this build writes no WebP: no $out/auto.webp)"
fi

echo
echo "The program is $trimlet (build/tools/trimlet --help lists its options);"
echo "cmake --install build installs it, the library and the Python module under /usr/local."
