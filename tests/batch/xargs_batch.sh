#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the xargs batch of docs/batches.md: files spread over two trimlet processes,
# sixteen at a time. Checks that every good file was written with the size
# `trimlet plan` gives, and that the broken one made the batch fail.
# usage: xargs_batch.sh TRIMLET SAMPLE_PNG
set -euo pipefail
trimlet=$1
sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir photos
for i in $(seq 0 39); do
  "$trimlet" rect $((i * 3)) $((i * 2)) $((150 + i)) $((100 + i)) "$sample" -o "photos/p$i.png"
done
echo "not an image" >photos/broken.png

# As in docs/batches.md:
status=0
find photos -name '*.png' -print0 | xargs -0 -n 16 -P 2 "$trimlet" aspect 3:2 -j 1 -d cropped \
  2>errors.txt || status=$?
[ "$status" -eq 123 ] || { echo "xargs exited $status, not 123 (one batch failed)"; exit 1; }
grep -qx "trimlet: photos/broken.png: not an image: unknown image type" errors.txt || { cat errors.txt; exit 1; }

png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }
for i in $(seq 0 39); do
  read -r x y w h iw ih ow oh name < <("$trimlet" plan aspect 3:2 "photos/p$i.png")
  [ "$(png_size "cropped/p$i.png")" = "$w $h" ] || { echo "cropped/p$i.png is not ${w}x$h"; exit 1; }
done
[ "$(ls cropped | wc -l)" -eq 40 ] || { echo "expected 40 outputs"; ls cropped; exit 1; }
echo "xargs batch: 40 cropped, broken.png refused"
