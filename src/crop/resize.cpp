// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Scaling a crop down: the output size the resize option gives, and the
// Lanczos 3 filter that makes the pixels.
//
// The filter works in the image's own (sRGB-encoded) values, in floats, with
// colour premultiplied by alpha while it runs, so that transparent pixels lend
// their colour to nothing; the result is divided back. It runs separably:
// each row to the output's width into a block of floats, then each output row
// from the rows of that block its taps reach. Taps that would fall outside the
// source are left out and the rest renormalised (the edge pixels count more).
// The inner loops run over contiguous floats with one weight each, which the
// compiler vectorises.

#include "crop/crop.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Sizes

void resize_size(int w, int h, int rw, int rh, int *ow, int *oh) {
    *ow = w;
    *oh = h;
    if (w < 1 || h < 1 || (rw <= 0 && rh <= 0)) return;
    // The width sets the scale when rw / w <= rh / h (a free side never does).
    int64_t W = w, H = h, RW = rw, RH = rh;
    int by_width = rh <= 0 || (rw > 0 && RW * H <= RH * W);
    if (by_width) {
        if (rw >= w) return;  // never enlarged
        int64_t side = (2 * H * RW + W) / (2 * W);  // h * rw / w, halves up
        *ow = rw;
        *oh = side < 1 ? 1 : (int)side;
    } else {
        if (rh >= h) return;
        int64_t side = (2 * W * RH + H) / (2 * H);
        *ow = side < 1 ? 1 : (int)side;
        *oh = rh;
    }
}

// ---------------------------------------------------------------------------
// The filter

static const double LANCZOS_LOBES = 3.0;
static const double PI = 3.14159265358979323846;

static double sinc(double x) {
    if (x == 0) return 1.0;
    x *= PI;
    return sin(x) / x;
}

static double lanczos3(double x) {
    if (x <= -LANCZOS_LOBES || x >= LANCZOS_LOBES) return 0.0;
    return sinc(x) * sinc(x / LANCZOS_LOBES);
}

// The taps of one axis: for output pixel i, count[i] weights starting at
// source pixel first[i], at weight + i * max.
struct Taps {
    int *first;
    int *count;
    float *weight;
    int max;
};

static void free_taps(Taps *t) {
    free(t->first);
    free(t->count);
    free(t->weight);
}

// Taps mapping the source span [from, from + span) (in source pixels, of a
// source `size` pixels long) onto out pixels. When shrinking, the kernel is
// stretched by the scale so that it filters as well as it interpolates.
static int make_taps(int size, double from, double span, int out, Taps *t) {
    double scale = span / out;
    double stretch = scale > 1 ? scale : 1;
    double support = LANCZOS_LOBES * stretch;
    t->max = (int)ceil(support) * 2 + 1;
    t->first = (int *)malloc((size_t)out * sizeof(int));
    t->count = (int *)malloc((size_t)out * sizeof(int));
    t->weight = (float *)malloc((size_t)out * (size_t)t->max * sizeof(float));
    if (t->first == NULL || t->count == NULL || t->weight == NULL) {
        free_taps(t);
        return 0;
    }
    for (int i = 0; i < out; ++i) {
        double centre = from + (i + 0.5) * scale;  // in source pixels
        int lo = (int)floor(centre - support + 0.5), hi = (int)ceil(centre + support - 0.5);
        if (lo < 0) lo = 0;
        if (hi > size) hi = size;
        if (hi - lo > t->max) hi = lo + t->max;
        float *w = t->weight + (size_t)i * t->max;
        double sum = 0;
        for (int j = lo; j < hi; ++j) {
            w[j - lo] = (float)lanczos3((j + 0.5 - centre) / stretch);
            sum += w[j - lo];
        }
        if (sum != 0) {
            for (int j = lo; j < hi; ++j) w[j - lo] = (float)(w[j - lo] / sum);
        }
        t->first[i] = lo;
        t->count[i] = hi - lo;
    }
    return 1;
}

// One source row to floats, colour premultiplied by alpha.
static void premultiply_row(const unsigned char *p, int w, float *o) {
    for (int x = 0; x < w; ++x, p += 4, o += 4) {
        float a = p[3] * (1.0f / 255.0f);
        o[0] = p[0] * a;
        o[1] = p[1] * a;
        o[2] = p[2] * a;
        o[3] = p[3];
    }
}

static inline unsigned char clamp_round(float v) {
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return (unsigned char)(v + 0.5f);
}

// One output row from premultiplied floats: colour divided by alpha again.
static void unpremultiply_row(const float *s, int w, unsigned char *p) {
    for (int x = 0; x < w; ++x, s += 4, p += 4) {
        unsigned char a = clamp_round(s[3]);
        p[3] = a;
        if (a == 0) {
            p[0] = p[1] = p[2] = 0;
            continue;
        }
        float k = 255.0f / s[3];
        p[0] = clamp_round(s[0] * k);
        p[1] = clamp_round(s[1] * k);
        p[2] = clamp_round(s[2] * k);
    }
}

// Output pixels of the pass across: each the sum of n source pixels from s,
// weighted by w, into m. Each channel is summed in the same order, with the
// same float products and sums, by the vector and the plain loops alike, so
// they give the same bits; the vector form keeps a pixel's four channels in
// one register, and works on four output pixels at once so that their sums,
// each waiting on its last, run side by side.
#if defined(__GNUC__)
typedef float Pixel4 __attribute__((vector_size(16)));
static inline Pixel4 load4(const float *s) {
    Pixel4 v;
    memcpy(&v, s, sizeof v);
    return v;
}
// The rest of output pixel x's sum from tap j on.
static inline Pixel4 sum_from(const Taps *t, const float *row, int x, int j, Pixel4 a) {
    const float *w = t->weight + (size_t)x * t->max, *s = row + (size_t)t->first[x] * 4;
    for (; j < t->count[x]; ++j) a += w[j] * load4(s + (size_t)j * 4);
    return a;
}
static void across(const Taps *t, const float *row, int x0, int x1, float *m) {
    int x = x0;
    for (; x + 3 < x1; x += 4) {
        const float *w0 = t->weight + (size_t)x * t->max, *w1 = w0 + t->max, *w2 = w1 + t->max, *w3 = w2 + t->max;
        const float *s0 = row + (size_t)t->first[x] * 4, *s1 = row + (size_t)t->first[x + 1] * 4,
                    *s2 = row + (size_t)t->first[x + 2] * 4, *s3 = row + (size_t)t->first[x + 3] * 4;
        int all = t->count[x];
        for (int k = 1; k < 4; ++k) all = t->count[x + k] < all ? t->count[x + k] : all;
        Pixel4 a0 = {0, 0, 0, 0}, a1 = {0, 0, 0, 0}, a2 = {0, 0, 0, 0}, a3 = {0, 0, 0, 0};
        int j = 0;
        for (; j < all; ++j) {
            a0 += w0[j] * load4(s0 + (size_t)j * 4);
            a1 += w1[j] * load4(s1 + (size_t)j * 4);
            a2 += w2[j] * load4(s2 + (size_t)j * 4);
            a3 += w3[j] * load4(s3 + (size_t)j * 4);
        }
        a0 = sum_from(t, row, x, j, a0);
        a1 = sum_from(t, row, x + 1, j, a1);
        a2 = sum_from(t, row, x + 2, j, a2);
        a3 = sum_from(t, row, x + 3, j, a3);
        memcpy(m + (size_t)x * 4, &a0, sizeof a0);
        memcpy(m + (size_t)x * 4 + 4, &a1, sizeof a1);
        memcpy(m + (size_t)x * 4 + 8, &a2, sizeof a2);
        memcpy(m + (size_t)x * 4 + 12, &a3, sizeof a3);
    }
    for (; x < x1; ++x) {
        Pixel4 a = sum_from(t, row, x, 0, Pixel4{0, 0, 0, 0});
        memcpy(m + (size_t)x * 4, &a, sizeof a);
    }
}
#else
static void across(const Taps *t, const float *row, int x0, int x1, float *m) {
    for (int x = x0; x < x1; ++x) {
        const float *w = t->weight + (size_t)x * t->max, *s = row + (size_t)t->first[x] * 4;
        float a0 = 0, a1 = 0, a2 = 0, a3 = 0;
        for (int j = 0; j < t->count[x]; ++j, s += 4) {
            a0 += w[j] * s[0];
            a1 += w[j] * s[1];
            a2 += w[j] * s[2];
            a3 += w[j] * s[3];
        }
        m[x * 4] = a0;
        m[x * 4 + 1] = a1;
        m[x * 4 + 2] = a2;
        m[x * 4 + 3] = a3;
    }
}
#endif

int resize_area(const Image *src, double sx, double sy, double sw, double sh, int ow, int oh,
                Image *out, Failure *err) {
    out->w = ow;
    out->h = oh;
    out->px = NULL;
    Taps tx, ty;
    memset(&tx, 0, sizeof tx);
    memset(&ty, 0, sizeof ty);
    size_t mid_row = (size_t)ow * 4;
    // The block between the passes is the largest; on a 32-bit system its
    // size may not fit a size_t.
    uint64_t mid_bytes = (uint64_t)ow * 4 * (uint64_t)src->h * sizeof(float);
    int fits = mid_bytes <= (uint64_t)SIZE_MAX && (uint64_t)mid_row * (uint64_t)oh <= (uint64_t)SIZE_MAX;
    float *row = (float *)malloc((size_t)src->w * 4 * sizeof(float));
    float *mid = fits ? (float *)malloc((size_t)mid_bytes) : NULL;
    float *acc = (float *)malloc(mid_row * sizeof(float));
    out->px = fits ? (unsigned char *)pixels_malloc((size_t)ow, (size_t)oh) : NULL;
    int ok = row != NULL && mid != NULL && acc != NULL && out->px != NULL &&
             make_taps(src->w, sx, sw, ow, &tx) && make_taps(src->h, sy, sh, oh, &ty);
    if (ok) {
        // Rows across: only the source rows some output row reaches, and
        // of them only the columns some output pixel reaches.
        int y_lo = ty.first[0], y_hi = ty.first[oh - 1] + ty.count[oh - 1];
        int x_lo = tx.first[0], x_hi = 0;
        for (int x = 0; x < ow; ++x) {
            if (tx.first[x] < x_lo) x_lo = tx.first[x];
            if (tx.first[x] + tx.count[x] > x_hi) x_hi = tx.first[x] + tx.count[x];
        }
        for (int y = y_lo; y < y_hi; ++y) {
            premultiply_row(src->px + ((size_t)y * (size_t)src->w + (size_t)x_lo) * 4, x_hi - x_lo,
                            row + (size_t)x_lo * 4);
            float *m = mid + (size_t)y * mid_row;
            across(&tx, row, 0, ow, m);
        }
        // Then down.
        for (int y = 0; y < oh; ++y) {
            memset(acc, 0, mid_row * sizeof(float));
            const float *w = ty.weight + (size_t)y * ty.max;
            for (int j = 0; j < ty.count[y]; ++j) {
                const float *m = mid + (size_t)(ty.first[y] + j) * mid_row;
                float wj = w[j];
                for (size_t k = 0; k < mid_row; ++k) acc[k] += wj * m[k];
            }
            unpremultiply_row(acc, ow, out->px + (size_t)y * mid_row);
        }
    }
    free(row);
    free(mid);
    free(acc);
    free_taps(&tx);
    free_taps(&ty);
    if (!ok) {
        free(out->px);
        out->px = NULL;
        return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d resize", ow, oh);
    }
    return 1;
}

int resize_image(Image *img, int ow, int oh, Failure *err) {
    if (ow == img->w && oh == img->h) return 1;
    Image out;
    if (!resize_area(img, 0, 0, img->w, img->h, ow, oh, &out, err)) return 0;
    free(img->px);
    *img = out;
    return 1;
}
