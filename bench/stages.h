// SPDX-License-Identifier: MIT
// The library's own stages, callable one at a time, and the floor: stb's
// decoder and encoder with nothing around them.
#ifndef TRIMLET_BENCH_STAGES_H
#define TRIMLET_BENCH_STAGES_H

#include <stddef.h>

// Same layout as the library's Image: w x h RGBA, rows packed, px from malloc.
struct BenchImage {
    int w;
    int h;
    unsigned char *px;
};

enum BenchRule { RULE_RECT, RULE_ASPECT, RULE_AUTO, RULE_EDGES };
enum BenchFormat { FMT_PNG, FMT_JPEG, FMT_BMP };

// Library stages (each is the library's own function, compiled into the
// benchmark). Return 0 on failure, like the library.
int stage_decode(const char *path, BenchImage *img);               // load_image
int stage_region(BenchRule rule, const int *params, const BenchImage *img,
                 int rect[4]);                                      // the rule's rectangle
int stage_copy(const BenchImage *src, const int rect[4], BenchImage *out);  // sub_image
unsigned char *stage_flatten(const BenchImage *img);                // flatten_on_white
int stage_save(const char *path, const BenchImage *img);            // save_image
const char *stage_error(void);
int stage_png_level(void);  // the library's libdeflate level, 0 without libdeflate

// Floor (floor.cpp): stbi_load with 4 channels, and one stb encoder call
// writing the given pixels (4 channels for PNG, 3 for JPEG quality 90 and
// BMP) to path, PNG data compressed as the library compresses it.
unsigned char *floor_decode(const char *path, int *w, int *h);
unsigned char *floor_decode_memory(const unsigned char *data, size_t size, int *w, int *h);
int floor_encode(const char *path, BenchFormat fmt, int w, int h, const unsigned char *px);

// PNG written to memory by stb_image_write with the compressor the library
// was built with (stages.cpp), with stb's own compressor (png_stb.cpp), and
// with libdeflate at a chosen level (floor.cpp; NULL when the benchmark is
// built without libdeflate). The caller frees the result. png_library
// encodes a copy of rgba (the library's writer spends its input).
unsigned char *png_library(const unsigned char *rgba, int w, int h, int *len);
unsigned char *png_stb_own(const unsigned char *rgba, int w, int h, int *len);
unsigned char *png_libdeflate(const unsigned char *rgba, int w, int h, int level, int *len);

#endif
