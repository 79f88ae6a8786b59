#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds trimlet.dll with MinGW-w64 and runs the test suite against it
# under wine. CTest also checks the DLL's export table (the fifteen functions,
# unmangled) and import table (system DLLs only).
#
# Wine's background services can keep a test's output pipe open and make
# CTest wait forever, so one wine server and its services are started before
# anything runs under wine, every test has a timeout, and the server is
# stopped at the end. WINEPATH stays unset: the tests must find trimlet.dll
# beside them, as a Windows host would.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS

scripts/deps.sh --no-install-recommends g++-mingw-w64-x86-64-win32 wine wine64

build=build-win
mkdir -p "$build"
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and wine would offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH DISPLAY

timeout 300 wineboot -i </dev/null >/dev/null 2>&1
timeout 120 wineserver -w
wineserver -p
trap 'wineserver -k || true' EXIT
timeout 120 wineboot </dev/null >/dev/null 2>&1
echo "40-windows: wine prefix ready after $((SECONDS - start)) s"

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 120
echo "40-windows: passed in $((SECONDS - start)) s"
