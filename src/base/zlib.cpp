// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Deflate: zlib streams for PNG data and the chunks photo metadata travels
// in, through libdeflate (or stb_image_write's compressor in a build
// without it).

#include "base/zlib.h"
#include "base/base.h"

#include <limits.h>
#include <stdlib.h>

#ifdef TRIMLET_USE_LIBDEFLATE
#include <libdeflate.h>

// libdeflate is both faster and tighter than stb_image_write's own
// compressor; the decoded pixels are the same either way. With the PNG
// writer's one filter per image (pngwrite.cpp), level 3 keeps files within
// 3.4 % of what stb's per-row filters at level 6 gave on the benchmark's
// photos and makes screenshots 11-15 % smaller (level 4: within 2.6 %, with
// 8 % more deflate time; level 2: 5.3 %, over the 5 % we allow); the
// measurements are in docs/performance-png.md.
static const int PNG_DEFLATE_LEVEL = 3;

// A zlib stream of data at libdeflate's level (1..12), as
// zlib_stb_compress gives it.
static unsigned char *compress_at(const unsigned char *data, int data_len, int *out_len, int level) {
    struct libdeflate_compressor *c = libdeflate_alloc_compressor(level);
    if (c == NULL) return NULL;
    size_t bound = libdeflate_zlib_compress_bound(c, (size_t)data_len);
    unsigned char *out = (unsigned char *)block_malloc(bound);
    size_t n = 0;
    if (out != NULL) n = libdeflate_zlib_compress(c, data, (size_t)data_len, out, bound);
    libdeflate_free_compressor(c);
    if (n == 0 || n > (size_t)INT32_MAX) {
        free(out);
        return NULL;
    }
    // Give back the unused tail before stb allocates the file image.
    unsigned char *fit = (unsigned char *)realloc(out, n);
    *out_len = (int)n;
    return fit != NULL ? fit : out;
}

unsigned char *zlib_stb_compress(unsigned char *data, int data_len, int *out_len, int quality) {
    (void)quality;  // stb's own level scale
    return compress_at(data, data_len, out_len, PNG_DEFLATE_LEVEL);
}

int png_deflate_level(void) { return PNG_DEFLATE_LEVEL; }

// The trial of filters (pngwrite.cpp) compares sizes at libdeflate's fastest
// level, which ranks the filters as the real level does.
static const int TRIAL_LEVEL = 1;

size_t zlib_deflated_size(const unsigned char *d, size_t len) {
    struct libdeflate_compressor *c = libdeflate_alloc_compressor(TRIAL_LEVEL);
    if (c == NULL) return 0;
    size_t bound = libdeflate_zlib_compress_bound(c, len);
    unsigned char *out = (unsigned char *)malloc(bound);
    size_t n = out != NULL ? libdeflate_zlib_compress(c, d, len, out, bound) : 0;
    free(out);
    libdeflate_free_compressor(c);
    return n;
}

uint32_t png_crc(uint32_t crc, const unsigned char *d, size_t len) {
    return d == NULL || len == 0 ? crc : libdeflate_crc32(crc, d, len);
}
#else
// Without libdeflate, stb_image_write's compressor (a private copy of the
// writer, of which only the compressor is used here).
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

unsigned char *zlib_stb_compress(unsigned char *data, int data_len, int *out_len, int quality) {
    return stbi_zlib_compress(data, data_len, out_len, quality);
}

int png_deflate_level(void) { return 0; }

size_t zlib_deflated_size(const unsigned char *d, size_t len) {
    if (len > (size_t)INT32_MAX) return 0;
    int n = 0;
    unsigned char *z = stbi_zlib_compress((unsigned char *)d, (int)len, &n, 1);
    free(z);
    return z != NULL ? (size_t)n : 0;
}

// The CRC of PNG chunks, a byte at a time, from a table built at compile
// time.
struct CrcTable {
    uint32_t v[256];
};

static constexpr CrcTable make_crc_table() {
    CrcTable t = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t.v[i] = c;
    }
    return t;
}

static constexpr CrcTable CRC_TABLE = make_crc_table();

uint32_t png_crc(uint32_t crc, const unsigned char *d, size_t len) {
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) c = CRC_TABLE.v[(c ^ d[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}
#endif

unsigned char *zlib_deflate_at(const unsigned char *d, size_t len, int level, size_t *out_len) {
    *out_len = 0;
    if (len > (size_t)INT32_MAX) return NULL;
    int n = 0;
    // The compressor only reads the data. stb's level 8 (its default) when
    // stb compresses; libdeflate's level is its own.
#ifdef TRIMLET_USE_LIBDEFLATE
    unsigned char *z = level > 0 ? compress_at(d, (int)len, &n, level)
                                 : zlib_stb_compress((unsigned char *)d, (int)len, &n, 8);
#else
    (void)level;
    unsigned char *z = zlib_stb_compress((unsigned char *)d, (int)len, &n, 8);
#endif
    if (z != NULL) *out_len = (size_t)n;
    return z;
}

unsigned char *zlib_deflate(const unsigned char *d, size_t len, size_t *out_len) {
    return zlib_deflate_at(d, len, 0, out_len);
}
