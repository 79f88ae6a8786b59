#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the benchmark in build-bench/ and runs it. Arguments go to
# trimlet_bench (--runs N, --scale S, --quick, ...), e.g.
#   scripts/bench.sh              # full run, a few minutes, prints Markdown tables
#   scripts/bench.sh --quick      # small images, one round: checks every output
#   scripts/bench.sh --count      # instruction counts under callgrind, call vs floor
#   scripts/bench.sh reentrant    # memory vs file crops, 1 and 2 threads (--quick, --runs N)
# --count runs each call and its floor once under valgrind (images 1/4 per side
# unless --scale is given) and prints instructions per case and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target trimlet_bench trimlet_bench_reentrant -j"$(nproc)" >/dev/null
bench=build-bench/bench/trimlet_bench
if [ "${1:-}" = reentrant ]; then
  shift
  exec build-bench/bench/trimlet_bench_reentrant "$@"
fi

count=0
for a in "$@"; do [ "$a" = --count ] && count=1; done
if [ $count -eq 0 ]; then
  exec "$bench" "$@"
fi

command -v valgrind >/dev/null || { echo "bench.sh: --count needs valgrind" >&2; exit 1; }
scale=(--scale 4)
for a in "$@"; do [ "$a" = --scale ] && scale=(); done
out=$(mktemp -d /tmp/trimlet-callgrind-XXXXXX)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" \
  "$bench" "${scale[@]}" "$@" >/dev/null 2>"$out/log" || { cat "$out/log" >&2; exit 1; }
# Each dump is named "call IMAGE RULE FORMAT" or "floor IMAGE RULE FORMAT"
# and holds one "totals:" (or "summary:") line of instructions executed.
# Dumps are numbered in the order they were taken: call, floor, call, ...
ls "$out"/cg.*.* | sort -t. -k3,3n | while read -r f; do
  awk '/^desc: Trigger: Client Request: /{sub(/^desc: Trigger: Client Request: /, ""); name=$0}
       /^(totals|summary): /{n=$2} END{if (name != "") print name, n}' "$f"
done | awk '
  BEGIN {
    print "| image | rule | format | call instructions | floor instructions | call/floor |"
    print "|---|---|---|--:|--:|--:|"
  }
  $1 == "call" { call = $5 }
  $1 == "floor" { printf "| %s | %s | %s | %.0f | %.0f | %.4f |\n", $2, $3, $4, call, $5, call / $5 }'
