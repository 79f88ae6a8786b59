#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian/Ubuntu packages a piece of trimlet needs, and any extra
# package names given as arguments, always without recommends. Only missing
# packages are installed; apt-get update runs only when something is missing.
#
#   scripts/deps.sh --demo [PKG...]   what the demo needs: the build tools, stb,
#                                     libdeflate and the codec libraries
#   scripts/deps.sh [--test] [PKG...] that, plus what the tests need (the default)
#   scripts/deps.sh --dask [PKG...]   that, plus Dask for examples/batch_dask.py
#   scripts/deps.sh --bench [PKG...]  the build, plus the benchmarks' peers:
#                                     ImageMagick and libvips's program (only
#                                     the benchmark scripts and the classic
#                                     files' peer check run them), and Pillow
set -euo pipefail

build=(
  # build tools
  g++ cmake make pkg-config
  # stb_image and stb_image_write; libdeflate compresses PNG
  libstb-dev libdeflate-dev
  # codec libraries (each optional to the build; found by CMake when present)
  libjpeg62-turbo-dev libturbojpeg0-dev
  libspng-dev libwebp-dev libheif-dev libtiff-dev libgif-dev
)
test=(
  # GoogleTest and the independent decoders the tests read results back with
  libgtest-dev libpng-dev libjpeg-dev zlib1g-dev icc-profiles-free
  # Python: the module's tests (Pillow) and its offline pip install into a venv
  python3 python3-pil python3-venv python3-setuptools python3-wheel
  # Dask: the batch test runs the Dask example
  python3-distributed
  # tools the tests use to make files (not libwebp's tools, package webp: its
  # viewer pulls Mesa, LLVM and X11; the tests use libwebp's libraries instead)
  libheif-examples libavif-bin libtiff-tools
)
dask=(python3 python3-distributed)
bench=(imagemagick libvips-tools python3 python3-pil)

want=("${build[@]}" "${test[@]}")
case "${1:-}" in
  --demo) want=("${build[@]}"); shift ;;
  --test) shift ;;
  --dask) want=("${build[@]}" "${dask[@]}"); shift ;;
  --bench) want=("${build[@]}" "${bench[@]}"); shift ;;
  --no-install-recommends) shift ;;  # always the case now
esac

missing=()
for pkg in "${want[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "deps.sh: installing ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
