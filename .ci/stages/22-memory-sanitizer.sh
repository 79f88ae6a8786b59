#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# MemorySanitizer (clang, build-msan/): reads of uninitialised memory in the
# decoding path. MemorySanitizer must see every instruction that writes
# memory, so this build links nothing that is not compiled here: libdeflate
# is left out (stb_image_write compresses PNG instead), as are libjpeg-turbo
# (stb handles JPEG), libspng (stb decodes PNG), libwebp (WebP files are refused as
# unavailable), libheif (HEIF files likewise) and giflib (GIFs go to stb_image,
# first frames only), and only programs that use nothing beyond libc run:
# the fuzz replay over the corpus (which holds the hostile files), the
# command-line program (C) on a picture of each input format, and the
# README's example (C). GoogleTest and libstdc++ are not instrumented, so the C++ suite does
# not run here. About 2 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh clang libclang-rt-14-dev
jobs=$(nproc)

CC=clang CXX=clang++ cmake -S . -B build-msan -DTRIMLET_SANITIZE=memory -DTRIMLET_USE_LIBDEFLATE=OFF \
  -DTRIMLET_USE_LIBJPEG_TURBO=OFF -DTRIMLET_USE_LIBSPNG=OFF -DTRIMLET_USE_LIBWEBP=OFF -DTRIMLET_USE_LIBHEIF=OFF \
  -DTRIMLET_USE_LIBTIFF=OFF -DTRIMLET_USE_GIFLIB=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-msan -j"$jobs" --target trimlet trimlet_cli fuzz_crop
export MSAN_OPTIONS="halt_on_error=1"

# Every corpus input, the hostile files among them.
build-msan/fuzz/fuzz_crop fuzz/corpus

# The program on each named corpus input with each rule, the output format
# turning with the input: exit 0 or 1 (refused), never a crash.
work=build-msan/cli && rm -rf "$work" && mkdir -p "$work"
cli=build-msan/tools/trimlet
outs=(o.png o.jpg o.bmp o.tga)
n=0
for f in fuzz/corpus/*; do
  # The campaign's many inputs are covered by the replay above.
  case $(basename "$f") in campaign_*) continue ;; esac
  out=${outs[$((n / 4 % 4))]}
  for rule in "rect 1 1 5 4" "aspect 1:1" "auto" "edges 1 0 1 0"; do
    # shellcheck disable=SC2086
    set +e; "$cli" $rule "$f" -o "$work/$out" >/dev/null 2>&1; rc=$?; set -e
    if [ $rc -gt 1 ]; then echo "22-memory-sanitizer: trimlet $rule $f -o $out exited $rc" >&2; exit 1; fi
    n=$((n + 1))
  done
done
echo "22-memory-sanitizer: $n program runs clean"

# The README's first example, built against the instrumented library.
awk '/^```c$/ { inside = 1; next } inside && /^```$/ { exit } inside' README.md > "$work/main.c"
clang -fsanitize=memory -fsanitize-memory-track-origins -Iinclude "$work/main.c" -Lbuild-msan -ltrimlet \
  -Wl,-rpath,"$PWD/build-msan" -o "$work/example"
cp demo/sample.png "$work/photo.png"
(cd "$work" && ./example)
test -s "$work/thumb.jpg"
echo "22-memory-sanitizer: clean"
