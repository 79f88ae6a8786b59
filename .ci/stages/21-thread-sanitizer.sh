#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ThreadSanitizer (clang, build-tsan/): the library and the tests that call it
# from many threads at once, each program run whole. Any data race reported
# fails the stage. About 2 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh clang libclang-rt-14-dev
jobs=$(nproc)

# The reentrant interface's threaded test, where it exists, the error
# state's tests (the seven functions' one shared buffer), and the hostile
# files decoded on many threads.
programs=(test_frame test_hostile)
[ -e tests/test_threads.cpp ] && programs+=(test_threads)
# Of test_hostile, the case that decodes on many threads.
declare -A filter=([test_hostile]='*OnManyThreads*')

CC=clang CXX=clang++ cmake -S . -B build-tsan -DTRIMLET_SANITIZE=thread -DTRIMLET_BUILD_TOOLS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-tsan -j"$jobs" --target "${programs[@]}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for p in "${programs[@]}"; do
  echo "21-thread-sanitizer: $p"
  "build-tsan/tests/$p" --gtest_brief=1 --gtest_filter="${filter[$p]:-*}"
done
