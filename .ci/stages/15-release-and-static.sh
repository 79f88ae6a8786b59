#!/usr/bin/env bash
# The build users make by habit: Release (-O3, which warns more than the
# default build) with warnings as errors, built whole in build-release/ and
# tested but for the install, batch, program and Python checks, which
# scripts/test.sh ran on the same sources; then the static library (TRIMLET_STATIC) in build-static/,
# with the tests that link the library as a program does and the host project
# that adds trimlet with add_subdirectory, and the installed static package
# used by find_package and pkg-config --static. About 6 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$jobs" >/dev/null
ctest --test-dir build-release --output-on-failure -j"$jobs" -E '^(Install|Batch|Cli[A-Za-z]*|Python)\.'

cmake -S . -B build-static -DCMAKE_BUILD_TYPE=Release -DTRIMLET_STATIC=ON -DTRIMLET_BUILD_TOOLS=OFF >/dev/null
static_tests=(test_rect test_aspect test_auto test_edges test_reentrant test_run test_jpeg)
cmake --build build-static -j"$jobs" --target "${static_tests[@]}" >/dev/null
ctest --test-dir build-static --output-on-failure -j"$jobs" \
  -R '^(RectCrop|AspectCrop|AutoCrop|EdgesCrop|Reentrant|Run[A-Z]|Jpeg|Layers\.|Install\.(Subdirectory|Static))'
