#!/usr/bin/env bash
# Installs what is missing, builds the trimlet program and crops
# demo/sample.png four ways into out/demo/, one per crop rule.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --demo
cmake -S . -B build -DTRIMLET_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target trimlet_cli
trimlet=build/tools/trimlet
out=out/demo
mkdir -p "$out"

# Prints a PNG file's name, its width and height (from the header) and its size.
describe() {
  local b
  read -r -a b < <(od -An -tu1 -j16 -N8 "$1")
  printf '  %-20s %4d x %-4d px %6d bytes\n' "$1" \
    $(((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3])) \
    $(((b[4] << 24) | (b[5] << 16) | (b[6] << 8) | b[7])) \
    "$(wc -c <"$1")"
}

# Crops the sample with one rule into $out/<name>.png and describes the result.
crop() {
  local name=$1
  shift
  echo "\$ trimlet $* demo/sample.png -o $out/$name.png"
  "$trimlet" "$@" demo/sample.png -o "$out/$name.png"
  describe "$out/$name.png"
}

echo
describe demo/sample.png
crop rect rect 160 40 120 80
crop aspect aspect 1:1
crop auto auto
crop edges edges 10 0 10 40

echo
echo "The program is $trimlet (build/tools/trimlet --help lists its options);"
echo "cmake --install build installs it, the library and the Python module under /usr/local."
