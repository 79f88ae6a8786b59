#!/usr/bin/env bash
# What a process pays for the codec libraries it may never use: this build
# (libheif loaded on first use) beside a build without libheif, one fresh
# process per run. Prints a Markdown table of median wall times and peak
# memory over interleaved rounds for `trimlet --version`, a one-shot rect of
# the benchmark's 12-megapixel JPEG and its 256x256 attention thumbnail.
#   scripts/bench_startup.sh            # 15 rounds (about a minute)
#   scripts/bench_startup.sh --runs N
# Needs GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=15
[ "${1:-}" = --runs ] && runs=$2
[ -x /usr/bin/time ] || { echo "bench_startup.sh: needs GNU time (apt-get install time)" >&2; exit 1; }

targets=(trimlet_bench trimlet_crop_once trimlet_thumb_once trimlet_cli)
cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target "${targets[@]}" -j"$(nproc)" >/dev/null
cmake -S . -B build-bench-noheif -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF -DTRIMLET_USE_LIBHEIF=OFF >/dev/null
cmake --build build-bench-noheif --target "${targets[@]:1}" -j"$(nproc)" >/dev/null
grep -q 'TRIMLET_USE_LIBHEIF:BOOL=ON' build-bench/CMakeCache.txt ||
  { echo "bench_startup.sh: build-bench is not built with libheif" >&2; exit 1; }

dir=$(mktemp -d /tmp/trimlet-startup-XXXXXX)
trap 'rm -rf "$dir"' EXIT
echo "generating inputs in $dir ..." >&2
build-bench/bench/trimlet_bench --inputs-only --dir "$dir" 2>/dev/null
in=$dir/photo.jpg
file_mib=$(awk -v b="$(stat -c %s "$in")" 'BEGIN {printf "%.1f", b / 1048576}')

# run NAME CMD... and median: scripts/bench_common.sh.
. "$(dirname "$0")/bench_common.sh"

cases=("version" "rect" "thumb")
# case build -> the command
command_for() {
  local b=build-bench
  [ "$2" = noheif ] && b=build-bench-noheif
  case $1 in
    version) echo "$b/tools/trimlet --version" ;;
    rect) echo "$b/bench/trimlet_crop_once 0 1000 750 2000 1500 $in $dir/out-$2.jpg" ;;
    thumb) echo "$b/bench/trimlet_thumb_once 10 256 256 90 $in $dir/thumb-$2.jpg" ;;
  esac
}

echo "| run | trimlet ms | without libheif ms | difference ms | trimlet MiB | without libheif MiB | difference MiB |"
echo "|---|--:|--:|--:|--:|--:|--:|"
for c in "${cases[@]}"; do
  rm -f "$dir"/{heif,noheif}
  for ((i = 0; i < runs + 1; ++i)); do
    order=(heif noheif)
    [ $((i % 2)) -eq 1 ] && order=(noheif heif)
    for b in "${order[@]}"; do
      # shellcheck disable=SC2046
      run "$b" $(command_for "$c" "$b")
    done
    [ $i -eq 0 ] && rm -f "$dir"/{heif,noheif}  # a warm-up round
  done
  a=$(awk '{print $1 / 1000}' "$dir/heif" | median)
  b=$(awk '{print $1 / 1000}' "$dir/noheif" | median)
  am=$(awk '{print $2 / 1024}' "$dir/heif" | median)
  bm=$(awk '{print $2 / 1024}' "$dir/noheif" | median)
  awk -v c="$c" -v a="$a" -v b="$b" -v am="$am" -v bm="$bm" \
    'BEGIN {printf "| %s | %.1f | %.1f | %+.1f | %.1f | %.1f | %+.1f |\n", c, a, b, a - b, am, bm, am - bm}'
done
echo
echo "12 MP JPEG input: $file_mib MiB; rect: the centre quarter as JPEG; thumb: 256x256, attention, JPEG q90."
