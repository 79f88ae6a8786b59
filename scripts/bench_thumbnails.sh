#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One-shot thumbnails, one process per thumbnail as a shell user runs them: a
# 256x256 JPEG (quality 80) from a 12-megapixel photo, by trimlet (ratio
# 1:1, resize 256x256), `vipsthumbnail --smartcrop` and sharp's
# resize(256, 256, {position}), with the attention position and with the
# centre. Prints a Markdown table of median wall and CPU (user + system)
# times over interleaved rounds and each tool's median peak memory.
#   scripts/bench_thumbnails.sh            # 7 rounds
#   scripts/bench_thumbnails.sh --runs N
# The photo is Debian's mate-backgrounds Elephants_5640x3172.jpg scaled to
# 4608x2592, quality 92, 4:2:0. Needs vips (libvips-tools), mate-backgrounds
# and GNU time; sharp is timed when SHARP_DIR names a folder where
# `npm install sharp` was run (never inside this repository).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=7
[ "${1:-}" = --runs ] && runs=$2
build=${TRIMLET_BENCH_BUILD:-build-bench}
photo=/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg
command -v vipsthumbnail >/dev/null || { echo "bench_thumbnails.sh: needs vips (apt-get install libvips-tools)" >&2; exit 1; }
[ -f "$photo" ] || { echo "bench_thumbnails.sh: needs $photo (apt-get install mate-backgrounds)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench_thumbnails.sh: needs GNU time (apt-get install time)" >&2; exit 1; }
sharp=${SHARP_DIR:-}
[ -n "$sharp" ] && [ ! -d "$sharp/node_modules/sharp" ] && { echo "bench_thumbnails.sh: no sharp in $sharp" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target trimlet_thumb_once -j2 >/dev/null
thumb=$build/bench/trimlet_thumb_once

dir=$(mktemp -d /tmp/trimlet-thumb-XXXXXX)
trap 'rm -rf "$dir"' EXIT
in=$dir/photo.jpg
vips thumbnail "$photo" "$in[Q=92,subsample_mode=on,strip]" 4608 --height 2592 --size force
[ "$(vipsheader -f width "$in")x$(vipsheader -f height "$in")" = 4608x2592 ] ||
  { echo "bench_thumbnails.sh: the photo is not 4608x2592" >&2; exit 1; }
if [ -n "$sharp" ]; then
  cat >"$dir/sharp.js" <<'JS'
const sharp = require(process.env.SHARP_DIR + "/node_modules/sharp");
const [position, input, output] = process.argv.slice(2);
sharp(input)
  .resize(256, 256, {position: position === "attention" ? sharp.strategy.attention : "centre"})
  .jpeg({quality: 80})
  .toFile(output)
  .catch((e) => { console.error(e); process.exit(1); });
JS
fi

# run NAME CMD... and median: scripts/bench_common.sh.
. "$(dirname "$0")/bench_common.sh"

tools=(trimlet vips)
[ -n "$sharp" ] && tools+=(sharp)
file_mib=$(awk -v b="$(stat -c %s "$in")" 'BEGIN {printf "%.1f", b / 1048576}')
echo "photo: 4608x2592, $file_mib MiB; output 256x256 JPEG quality 80; median of $runs runs"
echo
echo "| position | tool | wall ms | CPU ms | peak MiB |"
echo "|---|---|--:|--:|--:|"
for position in attention:10 centre:0; do
  IFS=: read -r pname pnum <<<"$position"
  for t in "${tools[@]}"; do rm -f "$dir/$t"; done
  for ((i = 0; i < runs + 1; ++i)); do
    # The first round is a warm-up; the order rotates.
    order=("${tools[@]:$((i % ${#tools[@]}))}" "${tools[@]:0:$((i % ${#tools[@]}))}")
    for t in "${order[@]}"; do
      case $t in
        trimlet) run trimlet "$thumb" "$pnum" 256 256 80 "$in" "$dir/out-trimlet.jpg" ;;
        vips) run vips vipsthumbnail "$in" --smartcrop "$pname" -s 256x256 -o "$dir/out-vips.jpg[Q=80,strip]" ;;
        sharp) SHARP_DIR=$sharp run sharp node "$dir/sharp.js" "$pname" "$in" "$dir/out-sharp.jpg" ;;
      esac
    done
    if [ $i -eq 0 ]; then
      for t in "${tools[@]}"; do
        rm -f "$dir/$t"
        size=$(vipsheader -f width "$dir/out-$t.jpg")x$(vipsheader -f height "$dir/out-$t.jpg")
        [ "$size" = 256x256 ] || { echo "bench_thumbnails.sh: $t wrote $size" >&2; exit 1; }
      done
    fi
  done
  for t in "${tools[@]}"; do
    awk '{print $1 / 1000, $2 / 1024, $3 * 1000}' "$dir/$t" >"$dir/$t.cols"
    printf "| %s | %s | %.0f | %.0f | %.1f |\n" "$pname" "$t" \
      "$(cut -d' ' -f1 "$dir/$t.cols" | median)" "$(cut -d' ' -f3 "$dir/$t.cols" | median)" \
      "$(cut -d' ' -f2 "$dir/$t.cols" | median)"
  done
  # KEEP_THUMBS=DIR keeps the last thumbnails as DIR/<position>-<tool>.jpg.
  if [ -n "${KEEP_THUMBS:-}" ]; then
    for t in "${tools[@]}"; do cp "$dir/out-$t.jpg" "$KEEP_THUMBS/$pname-$t.jpg"; done
  fi
done
