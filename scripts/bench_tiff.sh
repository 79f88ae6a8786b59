#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Peak memory of a region crop of a 12-megapixel TIFF (4000 x 3000 RGB), one
# process per crop (bench/crop_once.c), in tiles and in strips of several
# compressions. Prints a Markdown table of the peak resident memory against
# the bound a region decode keeps: the crop's RGBA, plus the file (read
# whole), plus 16 MiB.
#   scripts/bench_tiff.sh
# Needs Pillow (python3-pil), tiffcp (libtiff-tools) and GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x /usr/bin/time ] || { echo "bench_tiff.sh: needs GNU time (apt-get install time)" >&2; exit 1; }

cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target trimlet_crop_once -j2 >/dev/null
grep -q 'TRIMLET_USE_LIBTIFF:BOOL=ON' build-bench/CMakeCache.txt ||
  { echo "bench_tiff.sh: build-bench is not built with libtiff" >&2; exit 1; }
crop=build-bench/bench/trimlet_crop_once

dir=$(mktemp -d /tmp/trimlet-tiff-XXXXXX)
trap 'rm -rf "$dir"' EXIT
/usr/bin/python3 - "$dir" <<'EOF'
import sys
from PIL import Image
w, h = 4000, 3000
r = Image.radial_gradient('L').resize((w, h))
g = Image.linear_gradient('L').resize((w, h))
Image.merge('RGB', (r, g, Image.effect_noise((w, h), 40))).save(sys.argv[1] + '/src.tif')
EOF
tiffcp -t -w 256 -l 256 -c jpeg "$dir/src.tif" "$dir/tiles_jpeg.tif"
tiffcp -t -w 256 -l 256 -c zip "$dir/src.tif" "$dir/tiles_deflate.tif"
tiffcp -t -w 256 -l 256 -c none "$dir/src.tif" "$dir/tiles_none.tif"
tiffcp -r 16 -c zip "$dir/src.tif" "$dir/strips16_deflate.tif"
tiffcp -r 3000 -c zip "$dir/src.tif" "$dir/one_strip_deflate.tif"

# The crop: rect 1500,1000 1000x1000 to BMP (no compressor's buffers).
x=1500 y=1000 cw=1000 ch=1000
printf '| file | size MiB | peak MiB | bound MiB | within |\n|---|---|---|---|---|\n'
for f in tiles_jpeg tiles_deflate tiles_none strips16_deflate one_strip_deflate; do
  kib=$( { /usr/bin/time -f %M "$crop" 0 $x $y $cw $ch "$dir/$f.tif" "$dir/out.bmp" >/dev/null; } 2>&1 | tail -1)
  size=$(stat -c %s "$dir/$f.tif")
  awk -v f="$f" -v kib="$kib" -v size="$size" -v crop=$((cw * ch * 4)) 'BEGIN {
    peak = kib / 1024; file = size / 1048576; bound = crop / 1048576 + file + 16
    printf "| %s | %.1f | %.1f | %.1f | %s |\n", f, file, peak, bound, peak <= bound ? "yes" : "no"
  }'
done
