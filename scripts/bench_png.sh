#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One-shot PNG crops, one process per crop as a shell user runs them:
# trimlet's command line, the same program of another build (the 1.1 PNG
# path: stb_image's decoder and writer), libvips's command line (`vips
# crop`) and sharp (node), on the PNG files given. Prints a Markdown table
# of median wall times over interleaved rounds, the median CPU time (user +
# system), peak memory and output sizes. On a busy machine the CPU times are
# the steadier measure.
#   scripts/bench_png.sh NEW_CLI OLD_CLI SHARP_DIR RUNS IMAGE.png...
# SHARP_DIR is a folder where `npm install sharp` was run (outside the
# repository); "-" leaves sharp out. Needs vips (Debian: libvips-tools),
# vipsheader and GNU time (/usr/bin/time).
set -euo pipefail
new=$1 old=$2 sharp=$3 runs=$4
shift 4
dir=$(mktemp -d /tmp/trimlet-png-XXXXXX)
trap 'rm -rf "$dir"' EXIT
tools=(new old vips)
if [ "$sharp" != - ]; then
  tools+=(sharp)
  cat >"$dir/crop.js" <<'JS'
const sharp = require(process.argv[2] + '/node_modules/sharp');
const [input, output, left, top, width, height] = process.argv.slice(3);
sharp(input).extract({left: +left, top: +top, width: +width, height: +height})
  .png().toFile(output).catch((e) => { console.error(e); process.exit(1); });
JS
fi

# run NAME CMD...: one timed run; appends "wall-ms KiB cpu-ms" to $dir/NAME.
run() {
  local name=$1
  shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%M %U %S" -o "$dir/mem" "$@" >/dev/null 2>"$dir/err" || { cat "$dir/err" >&2; exit 1; }
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000000 )) $(tail -n1 "$dir/mem" | awk '{print $1, ($2 + $3) * 1000}')" >>"$dir/$name"
}
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

echo "| image | crop | box | trimlet ms (CPU) | 1.1 ms (CPU) | vips ms (CPU) | sharp ms (CPU) | trimlet / 1.1 / vips / sharp MiB | trimlet / 1.1 / vips / sharp KiB out |"
echo "|---|---|---|--:|--:|--:|--:|--:|--:|"
for in in "$@"; do
  w=$(vipsheader -f width "$in")
  h=$(vipsheader -f height "$in")
  ah=$(( (w * 9 + 8) / 16 ))
  # The boxes trimlet's rules cut (rect: the centre quarter, aspect: 16:9,
  # edges: 10 % from each side), given to vips and sharp as the same box.
  for crop in "rect|rect $((w / 4)) $((h / 4)) $((w / 2)) $((h / 2))|$((w / 4)) $((h / 4)) $((w / 2)) $((h / 2))" \
              "aspect|aspect 16:9|0 $(( (h - ah) / 2 )) $w $ah" \
              "edges|edges 10 10 10 10|$((w / 10)) $((h / 10)) $((w - 2 * (w / 10))) $((h - 2 * (h / 10)))"; do
    IFS='|' read -r rule args box <<<"$crop"
    read -r bx by bw bh <<<"$box"
    rm -f "${tools[@]/#/$dir/}"
    for ((i = 0; i < runs + 1; ++i)); do
      for t in "${tools[@]}"; do
        case $t in
          new) run new "$new" $args "$in" -o "$dir/out-new.png" ;;
          old) run old "$old" $args "$in" -o "$dir/out-old.png" ;;
          vips) run vips vips crop "$in" "$dir/out-vips.png" $bx $by $bw $bh ;;
          sharp) run sharp node "$dir/crop.js" "$sharp" "$in" "$dir/out-sharp.png" $bx $by $bw $bh ;;
        esac
      done
      if [ $i -eq 0 ]; then  # a warm-up round, and a check of every output's size
        for t in "${tools[@]}"; do
          size=$(vipsheader -f width "$dir/out-$t.png")x$(vipsheader -f height "$dir/out-$t.png")
          [ "$size" = "${bw}x${bh}" ] || { echo "bench_png.sh: $in $rule $t wrote $size, not ${bw}x${bh}" >&2; exit 1; }
        done
        rm -f "${tools[@]/#/$dir/}"
      fi
    done
    cell() { echo "$(awk '{print $1}' "$dir/$1" | median) ($(awk '{print $3}' "$dir/$1" | median))"; }
    mib() { awk '{print $2}' "$dir/$1" | median | awk '{printf "%.0f", $1 / 1024}'; }
    kib() { echo $(( $(stat -c %s "$dir/out-$1.png") / 1024 )); }
    row="| $(basename "$in") | $rule | ${bw}x${bh} | $(cell new) | $(cell old) | $(cell vips) | "
    if [ "$sharp" != - ]; then row+="$(cell sharp) | "; else row+="- | "; fi
    mem="$(mib new) / $(mib old) / $(mib vips)"
    out="$(kib new) / $(kib old) / $(kib vips)"
    if [ "$sharp" != - ]; then mem+=" / $(mib sharp)"; out+=" / $(kib sharp)"; fi
    echo "$row$mem | $out |"
  done
done
