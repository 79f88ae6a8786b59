#!/usr/bin/env bash
# Installs what is missing, builds trimlet and its tests in build/, and runs
# every test with CTest; then, where emscripten is installed, builds the
# JavaScript package (scripts/build-js.sh) and runs its Node tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test
cmake -S . -B build -DTRIMLET_BUILD_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

if command -v emcc >/dev/null && command -v node >/dev/null; then
  scripts/build-js.sh
  (cd js && node --test test/*.test.js)
else
  echo "test.sh: JavaScript package not tested: emscripten (or node) is not installed" \
       "(apt-get install emscripten nodejs; .ci/stages/60-js.sh installs and runs everything)"
fi
