// SPDX-License-Identifier: MIT
// The floor: stb_image and stb_image_write compiled plainly (default
// allocator, their own file access), with the PNG data compressed the way the
// library compresses it, so that only the library's own work separates a
// call from its floor.
#include <stdio.h>
#include <stdlib.h>

#include "stages.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#ifdef TRIMLET_USE_LIBDEFLATE
#include <libdeflate.h>

static int s_level = 6;

static unsigned char *zlib_at_level(unsigned char *data, int data_len,
                                    int *out_len, int quality) {
    (void)quality;
    struct libdeflate_compressor *c = libdeflate_alloc_compressor(s_level);
    if (c == NULL) return NULL;
    size_t bound = libdeflate_zlib_compress_bound(c, (size_t)data_len);
    unsigned char *out = (unsigned char *)malloc(bound);
    size_t n = out ? libdeflate_zlib_compress(c, data, (size_t)data_len, out, bound) : 0;
    libdeflate_free_compressor(c);
    if (n == 0) {
        free(out);
        return NULL;
    }
    *out_len = (int)n;
    return out;
}
#define STBIW_ZLIB_COMPRESS zlib_at_level
#endif

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

unsigned char *floor_decode(const char *path, int *w, int *h) {
    int n = 0;
    return stbi_load(path, w, h, &n, 4);
}

unsigned char *floor_decode_memory(const unsigned char *data, size_t size,
                                   int *w, int *h) {
    int n = 0;
    return stbi_load_from_memory(data, (int)size, w, h, &n, 4);
}

int floor_encode(const char *path, BenchFormat fmt, int w, int h,
                 const unsigned char *px) {
#ifdef TRIMLET_USE_LIBDEFLATE
    s_level = stage_png_level();
#endif
    if (fmt == FMT_PNG) return stbi_write_png(path, w, h, 4, px, 0);
    if (fmt == FMT_JPEG) return stbi_write_jpg(path, w, h, 3, px, 90);
    return stbi_write_bmp(path, w, h, 3, px);
}

unsigned char *png_libdeflate(const unsigned char *rgba, int w, int h,
                              int level, int *len) {
#ifdef TRIMLET_USE_LIBDEFLATE
    s_level = level;
    return stbi_write_png_to_mem(rgba, 0, w, h, 4, len);
#else
    (void)rgba, (void)w, (void)h, (void)level, (void)len;
    return NULL;
#endif
}
