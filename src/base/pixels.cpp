// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Pixel blocks: copying a rectangle out, flattening alpha onto a colour.

#include "base/base.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Flattening alpha for JPEG and BMP

// Composites one RGBA pixel over an opaque background colour into three
// bytes, rounding to nearest.
static inline void flatten_px(const unsigned char *s, const unsigned char bg[3],
                              unsigned char *d) {
    unsigned a = s[3], rest = 255u - a;
    d[0] = (unsigned char)((s[0] * a + bg[0] * rest + 127u) / 255u);
    d[1] = (unsigned char)((s[1] * a + bg[1] * rest + 127u) / 255u);
    d[2] = (unsigned char)((s[2] * a + bg[2] * rest + 127u) / 255u);
}

// Opaque pixels keep their colour, and most images are opaque throughout, so
// pixels go four at a time: when all four alphas are 255 the colours are
// moved with four overlapping 4-byte copies, each one's fourth byte
// overwritten by the next (the last one's by the next group, which is why a
// group is taken only while a pixel follows it). Other groups and the last
// pixels are composited one by one.
static void flatten_run(const unsigned char *s, size_t n, const unsigned char bg[3],
                        unsigned char *d) {
    size_t i = 0;
    for (; i + 4 < n; i += 4, s += 16, d += 12) {
        if ((s[3] & s[7] & s[11] & s[15]) == 255) {
            memcpy(d, s, 4);
            memcpy(d + 3, s + 4, 4);
            memcpy(d + 6, s + 8, 4);
            memcpy(d + 9, s + 12, 4);
        } else {
            flatten_px(s, bg, d);
            flatten_px(s + 4, bg, d + 3);
            flatten_px(s + 8, bg, d + 6);
            flatten_px(s + 12, bg, d + 9);
        }
    }
    for (; i < n; ++i, s += 4, d += 3) flatten_px(s, bg, d);
}

void flatten_row(const unsigned char *rgba, int w, const unsigned char bg[3],
                 unsigned char *rgb) {
    flatten_run(rgba, (size_t)w, bg, rgb);
}

unsigned char *flatten(const Image *img, const unsigned char bg[3]) {
    size_t n = (size_t)img->w * (size_t)img->h;
    unsigned char *rgb = (unsigned char *)malloc(n ? n * 3 : 1);
    if (rgb == NULL) return NULL;
    flatten_run(img->px, n, bg, rgb);
    return rgb;
}

Image sub_image(int src_w, const unsigned char *src, int x, int y, int w, int h, Failure *err) {
    Image out = {w, h, NULL};
    size_t row_bytes = (size_t)w * 4;
    out.px = (unsigned char *)pixels_malloc((size_t)w, (size_t)h);
    if (out.px == NULL) {
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d crop", w, h);
        return out;
    }
    for (int r = 0; r < h; ++r) {
        size_t from = ((size_t)(y + r) * (size_t)src_w + (size_t)x) * 4;
        memcpy(out.px + (size_t)r * row_bytes, src + from, row_bytes);
    }
    return out;
}
