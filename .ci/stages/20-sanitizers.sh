#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Hostile input: the whole test suite and the fuzz corpus replay under
# AddressSanitizer + UndefinedBehaviorSanitizer (gcc, build-asan/), then one
# minute of libFuzzer on the crop functions from the corpus (clang,
# build-fuzz/). A crash, leak, sanitizer finding or broken contract fails the
# stage; libFuzzer leaves the input that did it in build-fuzz/.
# About 9 minutes on 2 cores (builds ~5, tests ~2, fuzzing 1).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh clang libclang-rt-14-dev
jobs=$(nproc)

# Findings in stb listed in fuzz/ubsan.supp are let through; any other stops
# the program. CTest sets this for its own tests; libFuzzer needs it here.
export UBSAN_OPTIONS="suppressions=$PWD/fuzz/ubsan.supp:halt_on_error=1:print_stacktrace=1"

cmake -S . -B build-asan -DTRIMLET_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTRIMLET_FUZZ=ON -DTRIMLET_BUILD_TESTS=OFF \
  -DTRIMLET_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j"$jobs"
# libFuzzer adds what it finds to its first corpus directory: give it a copy.
work=build-fuzz/corpus
rm -rf "$work" && mkdir -p "$work" && cp fuzz/corpus/* "$work"/
# -seed: a fixed start, so a run on the same code explores the same inputs
# first and a failure can be reproduced with the same command.
# -timeout: far above any input under -max_len (the slowest seed takes ~3 s
# under ASan); -malloc_limit_mb: a PNG may make stb reserve 2 GB it never
# touches, which is legal; -rss_limit_mb: what is actually used stays far
# below.
build-fuzz/fuzz/fuzz_crop "$work" -seed=1 -max_total_time=60 -timeout=20 -max_len=4096 \
  -rss_limit_mb=3072 -malloc_limit_mb=4096 -artifact_prefix=build-fuzz/ -print_final_stats=1
