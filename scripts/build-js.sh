#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the JavaScript package's WebAssembly module with Debian's emscripten:
# the codec libraries from Debian's source packages, then trimlet itself
# through the project's CMake (TRIMLET_JS), into js/dist/.
#
#   scripts/build-js.sh            build (the codecs only once; they are cached)
#   scripts/build-js.sh --clean    forget the cached codec and trimlet builds first
#
# Environment: TRIMLET_JS_CACHE (default build-js/ in the repository, which
# git ignores) holds the sources and builds; TRIMLET_JS_OPT (default -O3) is
# the optimisation level of trimlet, libjpeg-turbo, libspng and the deflate
# libraries, TRIMLET_JS_WEBP_OPT (default -Os) that of libwebp, which keeps
# the .wasm within 350 KB gzip. TRIMLET_JS_SIMD=OFF builds the resize
# filter without WebAssembly SIMD, for engines that lack it (Safari before
# 16.4), a little slower.
#
# Needs: emscripten, cmake, dpkg-dev (apt-get source). Adds deb-src lines in
# a sources file of its own when apt has none.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
cache=${TRIMLET_JS_CACHE:-$repo/build-js}
opt=${TRIMLET_JS_OPT:--O3}
webp_opt=${TRIMLET_JS_WEBP_OPT:--Os}
jobs=${TRIMLET_JS_JOBS:-2}

if [ "${1:-}" = "--clean" ]; then
  rm -rf "$cache/prefix" "$cache/codecs" "$cache/trimlet"
fi

command -v emcc >/dev/null || { echo "build-js: emcc not found (apt-get install emscripten)" >&2; exit 1; }
# stb's headers, CMake and apt-get source's dpkg-source, where missing.
scripts/deps.sh --demo dpkg-dev
# Debian's emscripten runs its optimizer with Debian's node-acorn.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

src=$cache/src
prefix=$cache/prefix
mkdir -p "$src" "$prefix/include" "$prefix/lib/pkgconfig" "$cache/codecs"

# --- Debian's source packages -------------------------------------------------
packages=(libjpeg-turbo libwebp libspng zlib libdeflate)
need=()
for p in "${packages[@]}"; do
  compgen -G "$src/$p-[0-9]*/" >/dev/null || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if ! grep -rqs '^\(Types:.*deb-src\|deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "build-js: adding deb-src lines (/etc/apt/sources.list.d/trimlet-deb-src.sources)"
    cat > /etc/apt/sources.list.d/trimlet-deb-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -q
  fi
  (cd "$src" && apt-get source -q "${need[@]}")
fi
dir_of() { compgen -G "$src/$1-[0-9]*/" | head -1 | sed 's:/$::'; }

cflags="$opt -DNDEBUG"
ar() { emar rcs "$@"; }

# Each codec library is rebuilt when its recipe (the flags and patches it is
# built with) is not the one its last build recorded.
stale() {  # stale LIBRARY RECIPE
  [ ! -f "$prefix/lib/$1" ] || [ "$(cat "$prefix/lib/$1.recipe" 2>/dev/null)" != "$2" ]
}
built() {  # built LIBRARY RECIPE
  printf '%s\n' "$2" > "$prefix/lib/$1.recipe"
}

# --- zlib (libspng inflates with it; deflate only links) ------------------------------
if [ ! -f "$prefix/lib/libz.a" ]; then
  d=$(dir_of zlib); o=$cache/codecs/zlib; mkdir -p "$o"
  for f in adler32 crc32 deflate inffast inflate inftrees trees zutil; do
    emcc $cflags -c "$d/$f.c" -o "$o/$f.o"
  done
  ar "$prefix/lib/libz.a" "$o"/*.o
  cp "$d/zlib.h" "$d/zconf.h" "$prefix/include/"
fi

# --- libdeflate (PNG compression, as the native build) -----------------------------
if [ ! -f "$prefix/lib/libdeflate.a" ]; then
  d=$(dir_of libdeflate); o=$cache/codecs/libdeflate; mkdir -p "$o"
  for f in deflate_compress zlib_compress adler32 crc32 utils; do
    emcc $cflags -I"$d" -c "$d/lib/$f.c" -o "$o/$f.o"
  done
  ar "$prefix/lib/libdeflate.a" "$o"/*.o
  cp "$d/libdeflate.h" "$prefix/include/"
fi

# --- libspng ---------------------------------------------------------------------
if [ ! -f "$prefix/lib/libspng.a" ]; then
  d=$(dir_of libspng); o=$cache/codecs/libspng; mkdir -p "$o"
  emcc $cflags -DSPNG_STATIC -I"$prefix/include" -c "$d/spng/spng.c" -o "$o/spng.o"
  ar "$prefix/lib/libspng.a" "$o/spng.o"
  cp "$d/spng/spng.h" "$prefix/include/"
fi

# --- libjpeg-turbo: decoder, encoder and turbojpeg's transform (lossless cuts) -----
# emcmake runs CMake's size checks under a node that refuses its flags, so
# the sizes of size_t and unsigned long are given. WebAssembly has 64-bit
# integers though its pointers are 32-bit, so the Huffman coders get the
# 64-bit bit buffer libjpeg-turbo gives x32 (same bits, fewer refills: the
# entropy decoding is most of a large JPEG's decode).
jpeg_recipe="$cflags huffman64"
if stale libturbojpeg.a "$jpeg_recipe"; then
  d=$(dir_of libjpeg-turbo); b=$cache/codecs/libjpeg-turbo
  rm -rf "$b"
  for f in jdhuff.h jdhuff.c jchuff.c; do
    grep -q '__wasm__' "$d/$f" ||
      sed -i 's/defined(__x86_64__) && defined(__ILP32__)/(defined(__x86_64__) \&\& defined(__ILP32__)) || defined(__wasm__)/' "$d/$f"
  done
  emcmake cmake -S "$d" -B "$b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$cflags" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF \
    -DWITH_12BIT=OFF -DSIZE_T=4 -DUNSIGNED_LONG=4 >/dev/null
  cmake --build "$b" -j"$jobs" --target jpeg-static turbojpeg-static >/dev/null
  cp "$b/libjpeg.a" "$b/libturbojpeg.a" "$prefix/lib/"
  cp "$b/jconfig.h" "$d/jpeglib.h" "$d/jmorecfg.h" "$d/jerror.h" "$d/turbojpeg.h" "$prefix/include/"
  built libturbojpeg.a "$jpeg_recipe"
fi

# --- libwebp: decoder, encoder, demux (first frame) and mux (metadata) -----------
if [ ! -f "$prefix/lib/libwebpmux.a" ]; then
  d=$(dir_of libwebp); b=$cache/codecs/libwebp
  emcmake cmake -S "$d" -B "$b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$webp_opt -DNDEBUG" \
    -DBUILD_SHARED_LIBS=OFF -DWEBP_ENABLE_SIMD=OFF -DWEBP_USE_THREAD=OFF -DWEBP_BUILD_ANIM_UTILS=OFF \
    -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF \
    -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF \
    -DWEBP_BUILD_WEBP_JS=OFF -DWEBP_BUILD_LIBWEBPMUX=ON >/dev/null
  cmake --build "$b" -j"$jobs" --target webp webpdemux libwebpmux >/dev/null
  cp "$b/libwebp.a" "$b/libwebpdemux.a" "$b/libwebpmux.a" "$prefix/lib/"
  mkdir -p "$prefix/include/webp"
  cp "$d"/src/webp/{decode,encode,demux,mux,mux_types,types}.h "$prefix/include/webp/"
  v=$(sed -n 's/^project(WebP VERSION \([0-9.]*\)).*/\1/p' "$d/CMakeLists.txt")
  for lib in webp webpdemux webpmux; do
    printf 'Name: lib%s\nDescription: %s for WebAssembly\nVersion: %s\nCflags: -I%s/include\nLibs: -L%s/lib -l%s\n' \
      "$lib" "$lib" "${v:-1.2.4}" "$prefix" "$prefix" "$lib" > "$prefix/lib/pkgconfig/lib$lib.pc"
  done
fi

# --- trimlet ------------------------------------------------------------------------
# stb comes from libstb-dev; the sysroot does not search /usr/include, so the
# headers are reached through a folder of their own.
ln -sfn /usr/include/stb "$cache/stb"
# Configured afresh each time, so that no check result outlives a codec rebuild.
rm -f "$cache/trimlet/CMakeCache.txt"
export EM_PKG_CONFIG_PATH=$prefix/lib/pkgconfig
emcmake cmake -S "$repo" -B "$cache/trimlet" -DTRIMLET_JS=ON -DTRIMLET_JS_OPT="$opt" -DTRIMLET_STATIC=ON \
  -DTRIMLET_BUILD_TESTS=OFF -DTRIMLET_BUILD_TOOLS=OFF -DTRIMLET_INSTALL=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$cflags" -DCMAKE_CXX_FLAGS_RELEASE="$cflags" \
  -DCMAKE_FIND_ROOT_PATH="$prefix" -DTRIMLET_STB_INCLUDE_DIR="$cache/stb" \
  -DTRIMLET_INCLUDE_jpeglib_h="$prefix/include" -DTRIMLET_INCLUDE_turbojpeg_h="$prefix/include" \
  -DTRIMLET_LIB_jpeg="$prefix/lib/libjpeg.a" -DTRIMLET_LIB_turbojpeg="$prefix/lib/libturbojpeg.a" \
  -DTRIMLET_INCLUDE_spng_h="$prefix/include" -DTRIMLET_LIB_spng="$prefix/lib/libspng.a;$prefix/lib/libz.a" \
  -DTRIMLET_LIBDEFLATE_INCLUDE_DIR="$prefix/include" -DTRIMLET_LIBDEFLATE_LIBRARY="$prefix/lib/libdeflate.a" \
  -DTRIMLET_USE_LIBTIFF=OFF -DTRIMLET_USE_LIBHEIF=OFF -DTRIMLET_JS_SIMD="${TRIMLET_JS_SIMD:-ON}" >/dev/null
cmake --build "$cache/trimlet" -j"$jobs" --target trimlet_js

mkdir -p js/dist
cp "$cache/trimlet/js/trimlet.mjs" "$cache/trimlet/js/trimlet.wasm" js/dist/
size=$(stat -c %s js/dist/trimlet.wasm)
gz=$(gzip -9 -c js/dist/trimlet.wasm | wc -c)
echo "build-js: js/dist/trimlet.wasm $((size / 1024)) KB, $((gz / 1024)) KB gzip -9"
