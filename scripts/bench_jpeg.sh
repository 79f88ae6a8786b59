#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One-shot JPEG crops, one process per crop as a shell user runs them:
# trimlet with libjpeg-turbo (lossy and lossless), trimlet built with stb
# alone (-DTRIMLET_USE_LIBJPEG_TURBO=OFF, the JPEG path before libjpeg-turbo)
# and libvips's command line (`vips crop`), on the benchmark's 12-megapixel
# photo and 24-megapixel bordered photo. Prints a Markdown table of median
# wall times over interleaved rounds, the ratios of the median wall and CPU
# (user + system) times, and each tool's peak memory. On a busy machine the
# CPU ratios are the steadier measure.
#   scripts/bench_jpeg.sh            # 7 rounds (a few minutes)
#   scripts/bench_jpeg.sh --runs N
# Needs vips (Debian: libvips-tools) and GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=7
[ "${1:-}" = --runs ] && runs=$2
command -v vips >/dev/null || { echo "bench_jpeg.sh: needs vips (apt-get install libvips-tools)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench_jpeg.sh: needs GNU time (apt-get install time)" >&2; exit 1; }

cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target trimlet_bench trimlet_crop_once -j2 >/dev/null
cmake -S . -B build-bench-stb -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF \
  -DTRIMLET_BUILD_TOOLS=OFF -DTRIMLET_USE_LIBJPEG_TURBO=OFF >/dev/null
cmake --build build-bench-stb --target trimlet_crop_once -j2 >/dev/null
turbo=build-bench/bench/trimlet_crop_once
stb=build-bench-stb/bench/trimlet_crop_once
grep -q 'TRIMLET_USE_LIBJPEG_TURBO:BOOL=ON' build-bench/CMakeCache.txt ||
  { echo "bench_jpeg.sh: build-bench is not built with libjpeg-turbo" >&2; exit 1; }

dir=$(mktemp -d /tmp/trimlet-jpeg-XXXXXX)
trap 'rm -rf "$dir"' EXIT
echo "generating inputs in $dir ..." >&2
build-bench/bench/trimlet_bench --inputs-only --dir "$dir" 2>/dev/null

# run NAME CMD... and median: scripts/bench_common.sh.
. "$(dirname "$0")/bench_common.sh"

echo "| image | crop | crop size | trimlet ms | lossless ms | stb-only ms | vips ms | stb-only/trimlet wall, CPU | vips/trimlet wall, CPU | trimlet MiB | lossless MiB | stb-only MiB | vips MiB | crop RGBA + file MiB |"
echo "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
for image in photo:4000:3000 bordered:6000:4000; do
  IFS=: read -r name w h <<<"$image"
  in=$dir/$name.jpg
  file_kib=$(( $(stat -c %s "$in") / 1024 ))
  # The rectangles trimlet's rules cut (rect: the centre quarter, aspect:
  # 16:9, edges: 10 % from each side), given to vips as the same box.
  ah=$(( (w * 9 + 8) / 16 ))
  for crop in "rect:0:$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2)):$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2))" \
              "aspect:1:2 0 0 0:0 $(( (h - ah) / 2 )) $w $ah" \
              "edges:3:10 10 10 10:$((w / 10)) $((h / 10)) $((w - 2 * (w / 10))) $((h - 2 * (h / 10)))"; do
    IFS=: read -r rule num params box <<<"$crop"
    read -r bx by bw bh <<<"$box"
    rm -f "$dir"/{turbo,lossless,stb,vips}
    for ((i = 0; i < runs + 1; ++i)); do
      # The first round is a warm-up; the order rotates so no tool always
      # follows the same one.
      order=(turbo lossless stb vips)
      order=("${order[@]:$((i % 4))}" "${order[@]:0:$((i % 4))}")
      for t in "${order[@]}"; do
        case $t in
          turbo) run turbo "$turbo" "$num" $params "$in" "$dir/out-turbo.jpg" ;;
          lossless) run lossless "$turbo" "$num" $params "$in" "$dir/out-lossless.jpg" lossless ;;
          stb) run stb "$stb" "$num" $params "$in" "$dir/out-stb.jpg" ;;
          vips) run vips vips crop "$in" "$dir/out-vips.jpg[Q=90,subsample_mode=on,strip]" $bx $by $bw $bh ;;
        esac
      done
      if [ $i -eq 0 ]; then
        rm -f "$dir"/{turbo,lossless,stb,vips}
        for t in turbo stb vips; do
          size=$(vipsheader -f width "$dir/out-$t.jpg")x$(vipsheader -f height "$dir/out-$t.jpg")
          [ "$size" = "${bw}x${bh}" ] || { echo "bench_jpeg.sh: $name $rule $t wrote $size, not ${bw}x${bh}" >&2; exit 1; }
        done
      fi
    done
    declare -A ms mib cpu
    for t in turbo lossless stb vips; do
      ms[$t]=$(awk '{print $1 / 1000}' "$dir/$t" | median)
      mib[$t]=$(awk '{print $2 / 1024}' "$dir/$t" | median)
      cpu[$t]=$(awk '{print $3}' "$dir/$t" | median)
    done
    ratio() { awk -v a="$1" -v b="$2" -v c="$3" -v d="$4" 'BEGIN {printf "%.2f, %.2f", a / b, c / d}'; }
    need=$(awk -v w="$bw" -v h="$bh" -v f="$file_kib" 'BEGIN {printf "%.1f", (w * h * 4 / 1024 + f) / 1024}')
    printf "| %s | %s | %dx%d | %.0f | %.0f | %.0f | %.0f | %s | %s | %.1f | %.1f | %.1f | %.1f | %s |\n" \
      "$name" "$rule" "$bw" "$bh" "${ms[turbo]}" "${ms[lossless]}" "${ms[stb]}" "${ms[vips]}" \
      "$(ratio "${ms[stb]}" "${ms[turbo]}" "${cpu[stb]}" "${cpu[turbo]}")" \
      "$(ratio "${ms[vips]}" "${ms[turbo]}" "${cpu[vips]}" "${cpu[turbo]}")" \
      "${mib[turbo]}" "${mib[lossless]}" "${mib[stb]}" "${mib[vips]}" "$need"
  done
done
