#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One-shot WebP crops, one process per crop as a shell user runs them: a
# 12-megapixel lossy WebP (the benchmark's photo-like image through cwebp -q
# 80) cut by trimlet's rect (the centre quarter), aspect (16:9) and edges
# (10 % a side) into WebP at quality 80, against libvips's command line
# (`vips crop ... out.webp[Q=80]`) and sharp (a node process: extract, then
# webp quality 80, both at their default effort 4). Prints a Markdown table
# of median wall and CPU (user + system) times over interleaved rounds and
# each tool's peak memory beside the crop's RGBA plus the file. vips and
# sharp run threads; trimlet runs none, so on a busy machine the CPU times
# are the steadier comparison.
#   scripts/bench_webp.sh            # 5 rounds
#   scripts/bench_webp.sh --runs N
# Needs cwebp (Debian: webp), vips (libvips-tools), GNU time (time), and
# sharp installed with npm in a scratch folder named by SHARP_DIR (default
# /tmp/peers: `cd /tmp/peers && npm install sharp`).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5
[ "${1:-}" = --runs ] && runs=$2
sharp_dir=${SHARP_DIR:-/tmp/peers}
for tool in cwebp vips vipsheader node; do
  command -v $tool >/dev/null || { echo "bench_webp.sh: needs $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench_webp.sh: needs GNU time (apt-get install time)" >&2; exit 1; }
[ -d "$sharp_dir/node_modules/sharp" ] || { echo "bench_webp.sh: no sharp in $sharp_dir/node_modules" >&2; exit 1; }

cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target trimlet_bench trimlet_crop_once -j2 >/dev/null
grep -q 'TRIMLET_USE_LIBWEBP:BOOL=ON' build-bench/CMakeCache.txt ||
  { echo "bench_webp.sh: build-bench is not built with libwebp" >&2; exit 1; }
crop_once=build-bench/bench/trimlet_crop_once

dir=$(mktemp -d /tmp/trimlet-webp-XXXXXX)
trap 'rm -rf "$dir"' EXIT
echo "generating the input in $dir ..." >&2
build-bench/bench/trimlet_bench --inputs-only --dir "$dir" --image photo 2>/dev/null
cwebp -quiet -q 80 "$dir/photo.jpg" -o "$dir/photo.webp"
cat >"$dir/sharp.js" <<JS
const sharp = require('$sharp_dir/node_modules/sharp');
const [input, output, left, top, width, height] = process.argv.slice(2);
sharp(input).extract({left: +left, top: +top, width: +width, height: +height})
  .webp({quality: 80}).toFile(output).catch((e) => { console.error(e); process.exit(1); });
JS

# run NAME CMD... and median: scripts/bench_common.sh.
. "$(dirname "$0")/bench_common.sh"

in=$dir/photo.webp
w=$(vipsheader -f width "$in")
h=$(vipsheader -f height "$in")
file_kib=$(( $(stat -c %s "$in") / 1024 ))
echo "input: ${w}x${h} lossy WebP, $file_kib KiB" >&2
echo "| crop | crop size | trimlet ms | vips ms | sharp ms | trimlet CPU s | vips CPU s | sharp CPU s | trimlet MiB | vips MiB | sharp MiB | crop RGBA + file + 16 MiB |"
echo "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
ah=$(( (w * 9 + 8) / 16 ))
for crop in "rect:0:$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2)):$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2))" \
            "aspect:1:2 0 0 0:0 $(( (h - ah) / 2 )) $w $ah" \
            "edges:3:10 10 10 10:$((w / 10)) $((h / 10)) $((w - 2 * (w / 10))) $((h - 2 * (h / 10)))"; do
  IFS=: read -r rule num params box <<<"$crop"
  read -r bx by bw bh <<<"$box"
  rm -f "$dir"/{trimlet,vips,sharp}
  for ((i = 0; i < runs + 1; ++i)); do
    # The first round is a warm-up; the order rotates.
    order=(trimlet vips sharp)
    order=("${order[@]:$((i % 3))}" "${order[@]:0:$((i % 3))}")
    for t in "${order[@]}"; do
      case $t in
        trimlet) run trimlet "$crop_once" "$num" $params "$in" "$dir/out-trimlet.webp" ;;
        vips) run vips vips crop "$in" "$dir/out-vips.webp[Q=80,strip]" $bx $by $bw $bh ;;
        sharp) run sharp node "$dir/sharp.js" "$in" "$dir/out-sharp.webp" $bx $by $bw $bh ;;
      esac
    done
    if [ $i -eq 0 ]; then
      rm -f "$dir"/{trimlet,vips,sharp}
      for t in trimlet vips sharp; do
        size=$(vipsheader -f width "$dir/out-$t.webp")x$(vipsheader -f height "$dir/out-$t.webp")
        [ "$size" = "${bw}x${bh}" ] || { echo "bench_webp.sh: $rule $t wrote $size, not ${bw}x${bh}" >&2; exit 1; }
      done
    fi
  done
  declare -A ms mib cpu
  for t in trimlet vips sharp; do
    ms[$t]=$(awk '{print $1 / 1000}' "$dir/$t" | median)
    mib[$t]=$(awk '{print $2 / 1024}' "$dir/$t" | median)
    cpu[$t]=$(awk '{print $3}' "$dir/$t" | median)
  done
  need=$(awk -v w="$bw" -v h="$bh" -v f="$file_kib" 'BEGIN {printf "%.1f", (w * h * 4 / 1024 + f) / 1024 + 16}')
  printf "| %s | %dx%d | %.0f | %.0f | %.0f | %.2f | %.2f | %.2f | %.1f | %.1f | %.1f | %s |\n" \
    "$rule" "$bw" "$bh" "${ms[trimlet]}" "${ms[vips]}" "${ms[sharp]}" \
    "${cpu[trimlet]}" "${cpu[vips]}" "${cpu[sharp]}" "${mib[trimlet]}" "${mib[vips]}" "${mib[sharp]}" "$need"
done
