#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds trimlet and its tests in build/, and runs
# every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test
cmake -S . -B build -DTRIMLET_BUILD_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
