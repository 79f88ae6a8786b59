#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite in shuffled order: CTest runs each case in a process of its own,
# which hides a case that only passes after (or before) another one. Here
# each test program of build/ (made by scripts/test.sh) runs all its cases in
# one process, in the orders of seeds 1 to 3 and of one drawn for this run
# (printed, so a failure can be replayed with --gtest_random_seed=N).
# About two minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."
seeds="1 2 3 $(( (RANDOM % 99999) + 4 ))"
programs=$(find build/tests -maxdepth 1 -type f -executable -name 'test_*' | sort)
[ -n "$programs" ] || { echo "10-shuffled: no test programs in build/tests" >&2; exit 1; }
for seed in $seeds; do
  echo "10-shuffled: seed $seed"
  # Two programs at a time; each prints only its summary unless it fails.
  printf '%s\n' $programs | xargs -P "$(nproc)" -I{} sh -c \
    'out=$("$1" --gtest_shuffle --gtest_random_seed="$2" 2>&1) || { printf "%s\n" "$out"; echo "10-shuffled: $1 failed with seed $2" >&2; exit 255; }
     printf "%s: %s\n" "$1" "$(printf "%s\n" "$out" | tail -n 1)"' sh {} "$seed"
done
