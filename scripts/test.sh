#!/usr/bin/env bash
# Installs what is missing, builds trimlet and its tests in build/, and runs
# every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
