#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages trimlet needs to build and test, plus
# any extra package names given as arguments. Only missing packages are
# installed; apt-get update runs only when something is missing.
# --no-install-recommends (first argument) keeps large optional packages out.
set -euo pipefail

apt_opts=()
if [ "${1:-}" = --no-install-recommends ]; then
  apt_opts+=(--no-install-recommends)
  shift
fi

base=(g++ cmake make pkg-config libstb-dev libdeflate-dev libgtest-dev libpng-dev libjpeg-dev
      icc-profiles-free python3 python3-pil python3-distributed libjpeg62-turbo-dev
      libturbojpeg0-dev libspng-dev libwebp-dev webp libtiff-dev libtiff-tools)
# HEIC and AVIF: libheif to build; its and libavif's tools make and read the
# test files.
base+=(libheif-dev libheif-examples libavif-bin)
missing=()
for pkg in "${base[@]}" "$@"; do
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
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${apt_opts[@]}" "${missing[@]}"
