// SPDX-License-Identifier: MIT
// The library's own stages, reached through its internal static library so
// that they can be timed one by one.
#include <stdlib.h>
#include <string.h>

#include "api/api.h"
#include "base/stb.h"
#include "base/zlib.h"
#include "codecs/parts.h"
#include "crop/crop.h"
#include "stages.h"

static Failure s_bench_err;

static Image as_image(const BenchImage *b) { return Image{b->w, b->h, b->px}; }

// The encoder spends the pixels it is given (PNG is filtered in the
// picture's block); a round of the benchmark encodes a copy, as the library
// encodes a crop of its own.
static Image spendable(int w, int h, const unsigned char *px) {
    size_t n = (size_t)w * (size_t)h * 4;
    Image im = {w, h, (unsigned char *)malloc(n ? n : 1)};
    if (im.px != NULL) memcpy(im.px, px, n);
    return im;
}

static void library_settings(Settings *set) { default_settings(set, 0); }

int stage_decode(const char *path, BenchImage *img) {
    Input in;
    Image im = {0, 0, NULL};
    int ok = read_input_file(path, 0, 0, &in, &s_bench_err);
    if (ok) {
        Reader r;
        reader_find(&in, &r);
        ok = reader_decode(&r, NULL, &im, &s_bench_err);
        reader_close(&r);
        release_input(&in);
    }
    img->w = im.w;
    img->h = im.h;
    img->px = im.px;
    return ok;
}

int stage_region(BenchRule rule, const int *p, const BenchImage *img, int rect[4]) {
    Image im = as_image(img);
    Rect r = {0, 0, 0, 0};
    int params[4] = {p[0], 0, 0, 0};
    if (rule == RULE_RECT || rule == RULE_EDGES) memcpy(params, p, sizeof params);
    int which = rule == RULE_RECT     ? TRIMLET_RECT
                : rule == RULE_ASPECT ? TRIMLET_ASPECT
                : rule == RULE_AUTO   ? TRIMLET_AUTO
                                      : TRIMLET_EDGES;
    int ok = rule_region(which, params, &im, &r, &s_bench_err);
    rect[0] = r.x;
    rect[1] = r.y;
    rect[2] = r.w;
    rect[3] = r.h;
    return ok;
}

int stage_copy(const BenchImage *src, const int rect[4], BenchImage *out) {
    Image c = sub_image(src->w, src->px, rect[0], rect[1], rect[2], rect[3], &s_bench_err);
    out->w = c.w;
    out->h = c.h;
    out->px = c.px;
    return c.px != NULL;
}

unsigned char *stage_flatten(const BenchImage *img) {
    Image im = as_image(img);
    static const unsigned char white[3] = {255, 255, 255};
    return flatten(&im, white);
}

int stage_save(const char *path, const BenchImage *img) {
    Image im = spendable(img->w, img->h, img->px);
    if (im.px == NULL) return 0;
    Settings set;
    library_settings(&set);
    Sink sink;
    memset(&sink, 0, sizeof sink);
    sink.kind = SINK_FILE;
    sink.path = path;
    int ok = encode_image(&im, format_for_path(path), &set, NULL, &sink, path, &s_bench_err);
    free(im.px);
    return sink_finish(&sink, ok);
}

const char *stage_error(void) { return s_bench_err.text; }

int stage_png_level(void) { return png_deflate_level(); }

unsigned char *png_library(const unsigned char *rgba, int w, int h, int *len) {
    Image im = spendable(w, h, rgba);
    if (im.px == NULL) return NULL;
    Settings set;
    library_settings(&set);
    Sink sink;
    memset(&sink, 0, sizeof sink);
    sink.kind = SINK_MEMORY;
    int ok = encode_image(&im, FORMAT_PNG, &set, NULL, &sink, "<memory>", &s_bench_err);
    free(im.px);
    if (!sink_finish(&sink, ok)) {
        free(sink.mem);
        return NULL;
    }
    *len = (int)sink.mem_size;
    return sink.mem;
}
