#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One-shot crops of a 12-megapixel AVIF to JPEG (quality 90), one process per
# crop as a shell user runs them: trimlet (libheif with dav1d), libvips's
# command line (`vips crop`, libheif too) and sharp (npm, its own libvips and
# libheif). Prints a Markdown table of median wall times over interleaved
# rounds, CPU (user + system) times and peak memory.
#   scripts/bench_heif.sh [--runs N] [--sharp DIR]
# DIR holds node_modules/sharp (npm install sharp in a scratch folder);
# without it sharp is left out. Needs vips (libvips-tools), avifenc
# (libavif-bin), node for sharp, and GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5
sharp=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --sharp) sharp=$2; shift 2 ;;
    *) echo "usage: bench_heif.sh [--runs N] [--sharp DIR]" >&2; exit 2 ;;
  esac
done
for tool in vips avifenc /usr/bin/time; do
  command -v $tool >/dev/null || { echo "bench_heif.sh: needs $tool" >&2; exit 1; }
done

cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target trimlet_bench trimlet_crop_once -j2 >/dev/null
grep -q 'TRIMLET_USE_LIBHEIF:BOOL=ON' build-bench/CMakeCache.txt ||
  { echo "bench_heif.sh: build-bench is not built with libheif" >&2; exit 1; }
once=build-bench/bench/trimlet_crop_once

dir=$(mktemp -d /tmp/trimlet-heif-XXXXXX)
trap 'rm -rf "$dir"' EXIT
echo "generating inputs in $dir ..." >&2
build-bench/bench/trimlet_bench --inputs-only --dir "$dir" 2>/dev/null
avifenc -s 8 -j 2 "$dir/photo.jpg" "$dir/photo.avif" >/dev/null
in=$dir/photo.avif
w=4000
h=3000
cat >"$dir/sharp.js" <<'EOF'
const sharp = require(process.argv[2] + '/node_modules/sharp');
const [x, y, w, h] = process.argv.slice(5).map(Number);
sharp(process.argv[3]).extract({left: x, top: y, width: w, height: h})
  .jpeg({quality: 90}).toFile(process.argv[4]).catch((e) => { console.error(e); process.exit(1); });
EOF

# run NAME CMD... and median: scripts/bench_common.sh.
. "$(dirname "$0")/bench_common.sh"

tools=(trimlet vips)
[ -n "$sharp" ] && tools+=(sharp)
echo "AVIF input: $(( $(stat -c %s "$in") / 1024 )) KiB, ${w}x${h}; $runs rounds after a warm-up"
echo
echo "| crop | crop size | $(printf '%s ms | ' "${tools[@]}")$(printf '%s CPU s | ' "${tools[@]}")$(printf '%s MiB | ' "${tools[@]}")"
echo "|---|---|$(printf -- '--:|%.0s' "${tools[@]}" "${tools[@]}" "${tools[@]}")"
ah=$(( (w * 9 + 8) / 16 ))
for crop in "rect:0:$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2)):$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2))" \
            "aspect:1:2 0 0 0:0 $(( (h - ah) / 2 )) $w $ah" \
            "edges:3:10 10 10 10:$((w / 10)) $((h / 10)) $((w - 2 * (w / 10))) $((h - 2 * (h / 10)))"; do
  IFS=: read -r rule num params box <<<"$crop"
  read -r bx by bw bh <<<"$box"
  for t in "${tools[@]}"; do rm -f "$dir/$t"; done
  for ((i = 0; i < runs + 1; ++i)); do
    order=("${tools[@]:$((i % ${#tools[@]}))}" "${tools[@]:0:$((i % ${#tools[@]}))}")
    for t in "${order[@]}"; do
      case $t in
        # shellcheck disable=SC2086
        trimlet) run trimlet "$once" "$num" $params "$in" "$dir/out-trimlet.jpg" ;;
        vips) run vips vips crop "$in" "$dir/out-vips.jpg[Q=90,strip]" $bx $by $bw $bh ;;
        sharp) run sharp node "$dir/sharp.js" "$sharp" "$in" "$dir/out-sharp.jpg" $bx $by $bw $bh ;;
      esac
    done
    if [ $i -eq 0 ]; then
      for t in "${tools[@]}"; do
        rm -f "$dir/$t"
        size=$(vipsheader -f width "$dir/out-$t.jpg")x$(vipsheader -f height "$dir/out-$t.jpg")
        [ "$size" = "${bw}x${bh}" ] || { echo "bench_heif.sh: $rule $t wrote $size, not ${bw}x${bh}" >&2; exit 1; }
      done
    fi
  done
  row="| $rule | ${bw}x${bh} |"
  for t in "${tools[@]}"; do row+=" $(awk '{print $1 / 1000}' "$dir/$t" | median | xargs printf '%.0f') |"; done
  for t in "${tools[@]}"; do row+=" $(awk '{print $3}' "$dir/$t" | median | xargs printf '%.2f') |"; done
  for t in "${tools[@]}"; do row+=" $(awk '{print $2 / 1024}' "$dir/$t" | median | xargs printf '%.0f') |"; done
  echo "$row"
done
