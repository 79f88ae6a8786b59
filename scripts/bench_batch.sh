#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Batch throughput: crops a batch of photo-sized JPEGs with the trimlet
# program on 1 and 2 threads, and with ImageMagick (`convert -crop`),
# libvips (`vips crop`) and trimlet one process per file, each of those
# spread over two processes by `xargs -P 2`. Every tool cuts the same
# rectangle and writes JPEG at quality 90. Prints a Markdown table of medians
# over interleaved rounds.
#
# usage: scripts/bench_batch.sh [FILES [ROUNDS]]     (default 120 files, 3 rounds)
# Needs ImageMagick and libvips-tools (Debian: imagemagick libvips-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-120}
rounds=${2:-3}
for tool in convert vips identify; do
  command -v "$tool" >/dev/null || { echo "bench_batch: needs $tool (imagemagick, libvips-tools)" >&2; exit 1; }
done

cmake -S . -B build >/dev/null
cmake --build build -j2 --target trimlet_cli >/dev/null
trimlet=$PWD/build/tools/trimlet
work=$(mktemp -d "${TMPDIR:-/tmp}/trimlet-bench-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Eight distinct photo-like 2048x1365 (2.8 MP) JPEGs (smooth colour fields
# with grain), copied round-robin into the batch.
mkdir "$work/in"
for s in 1 2 3 4 5 6 7 8; do
  convert -seed "$s" -size 1024x683 plasma:fractal -resize 2048x1365! -blur 0x1.5 \
    -attenuate 0.4 +noise Gaussian -quality 92 "$work/base$s.jpg"
done
for i in $(seq 1 "$files"); do
  cp "$work/base$(( (i - 1) % 8 + 1 )).jpg" "$(printf '%s/in/photo%04d.jpg' "$work" "$i")"
done
mp=$(identify -format '%w x %h' "$work/base1.jpg")
kib=$(( $(du -sk "$work/in" | cut -f1) / files ))

# The centre 1600x900 of each photo.
X=224 Y=232 W=1600 H=900
run() {  # run NAME: crops the batch into $work/out-NAME
  local name=$1 out=$work/out-$1
  rm -rf "$out"
  mkdir "$out"
  cd "$work/in"
  case $name in
    trimlet-j1) "$trimlet" rect $X $Y $W $H ./*.jpg -d "$out" --quality 90 -j 1 2>"$work/log" ;;
    trimlet-j2) "$trimlet" rect $X $Y $W $H ./*.jpg -d "$out" --quality 90 -j 2 2>"$work/log" ;;
    trimlet-xargs) ls | xargs -P 2 -I{} "$trimlet" rect $X $Y $W $H {} -o "$out/{}" --quality 90 -j 1 ;;
    convert) ls | xargs -P 2 -I{} convert {} -crop ${W}x$H+$X+$Y +repage -quality 90 "$out/{}" ;;
    vips) ls | xargs -P 2 -I{} vips crop {} "$out/{}[Q=90]" $X $Y $W $H ;;
  esac
  cd - >/dev/null
}

names=(trimlet-j1 trimlet-j2 trimlet-xargs convert vips)
# One untimed round per tool, checking that every file was written at the size cut.
for n in "${names[@]}"; do
  run "$n"
  count=$(ls "$work/out-$n" | wc -l)
  size=$(identify -format '%w %h' "$work/out-$n/photo0001.jpg")
  [ "$count" -eq "$files" ] && [ "$size" = "$W $H" ] ||
    { echo "bench_batch: $n wrote $count files, photo0001.jpg is $size" >&2; exit 1; }
done

declare -A times
for r in $(seq 1 "$rounds"); do
  for n in "${names[@]}"; do
    t0=$(date +%s.%N)
    run "$n"
    t1=$(date +%s.%N)
    times[$n]+="$(echo "$t1 - $t0" | bc) "
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo
echo "$files JPEGs of $mp ($kib KiB each), cropped to ${W}x$H at ($X, $Y), JPEG quality 90;"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); median of $rounds rounds."
echo
echo "| tool | spread | seconds | files/s | vs trimlet -j 1 |"
echo "|---|---|--:|--:|--:|"
base=$(echo "${times[trimlet-j1]}" | median)
for n in "${names[@]}"; do
  s=$(echo "${times[$n]}" | median)
  case $n in
    trimlet-j1) label="trimlet | one process, \`-j 1\`" ;;
    trimlet-j2) label="trimlet | one process, \`-j 2\`" ;;
    trimlet-xargs) label="trimlet | \`xargs -P 2\`, a process per file" ;;
    convert) label="ImageMagick \`convert -crop\` $(convert -version | sed -n '1s/Version: ImageMagick \([^ ]*\).*/\1/p') | \`xargs -P 2\`" ;;
    vips) label="libvips \`vips crop\` $(vips --version | sed 's/vips-//') | \`xargs -P 2\`" ;;
  esac
  printf '| %s | %.2f | %.1f | %.2fx |\n' "$label" "$s" "$(echo "$files / $s" | bc -l)" "$(echo "$base / $s" | bc -l)"
done
