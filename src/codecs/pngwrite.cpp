// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Writing PNG: 8-bit RGBA (or, compact, the form pngform.cpp chooses),
// non-interlaced, one filter type for the whole image chosen by a trial on a
// sample of its rows (the effort option may fix it or choose per row), the
// rows filtered in the picture's own block and deflated in one piece
// (zlib.cpp), then written to the sink as chunks, with the photo metadata's
// iCCP and eXIf after IHDR.
// See docs/performance-png.md for the measurements behind the filter
// choice, the deflate level and the filtering in place.

#include "codecs/parts.h"
#include "base/walk.h"
#include "base/zlib.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Filters (the PNG filter types on 4-byte pixels)

enum { FILTER_NONE, FILTER_SUB, FILTER_UP, FILTER_AVERAGE, FILTER_PAETH, FILTER_COUNT };

// Filters one row of n bytes of bpp-byte pixels (prev NULL for the first
// row, read as zeros) into out, which receives the filter byte and then the
// n filtered bytes.
static inline void filter_bpp(int type, const unsigned char *cur, const unsigned char *prev, size_t n,
                              size_t bpp, unsigned char *out) {
    *out++ = (unsigned char)type;
    size_t first = n < bpp ? n : bpp;
    if (prev == NULL) {
        // Up and Paeth are Sub, Average is half of the left byte, on the
        // first row.
        if (type == FILTER_UP) type = FILTER_NONE;
        if (type == FILTER_PAETH) type = FILTER_SUB;
    }
    switch (type) {
    case FILTER_NONE:
        memcpy(out, cur, n);
        break;
    case FILTER_SUB:
        memcpy(out, cur, first);
        for (size_t i = bpp; i < n; ++i) out[i] = (unsigned char)(cur[i] - cur[i - bpp]);
        break;
    case FILTER_UP:
        for (size_t i = 0; i < n; ++i) out[i] = (unsigned char)(cur[i] - prev[i]);
        break;
    case FILTER_AVERAGE:
        for (size_t i = 0; i < n; ++i) {
            int a = i >= bpp ? cur[i - bpp] : 0, b = prev != NULL ? prev[i] : 0;
            out[i] = (unsigned char)(cur[i] - ((a + b) >> 1));
        }
        break;
    default:  // Paeth
        for (size_t i = 0; i < first; ++i) out[i] = (unsigned char)(cur[i] - prev[i]);
        for (size_t i = bpp; i < n; ++i) {
            out[i] = (unsigned char)(cur[i] - png_paeth(cur[i - bpp], prev[i], prev[i - bpp]));
        }
        break;
    }
}

// filter_bpp with the pixel size a constant in each call, so that each
// loop is compiled for its size.
static void filter_row(int type, const unsigned char *cur, const unsigned char *prev, size_t n,
                       size_t bpp, unsigned char *out) {
    switch (bpp) {
    case 4: filter_bpp(type, cur, prev, n, 4, out); break;
    case 3: filter_bpp(type, cur, prev, n, 3, out); break;
    case 2: filter_bpp(type, cur, prev, n, 2, out); break;
    default: filter_bpp(type, cur, prev, n, 1, out); break;
    }
}

// The rows of a picture as the filters see them: h rows of `stride` bytes
// (packed pixels of bpp bytes, 1 below 8 bits) from px.
struct Rows {
    unsigned char *px;
    size_t stride, bpp, h;
};

// The filter type for the whole image, by trial: each candidate filters a
// sample of rows into scratch and the one whose sample deflates smallest at
// the fast level wins. The sample is bands of SAMPLE_ROWS rows spread evenly
// down the image (at most SAMPLE_CAP bytes in all, so that each filter sees
// its rows' real neighbours; a small image is tried whole), tried in two
// rounds: every candidate on every fourth band, then those within a tenth
// of the best on the other bands as well, their two sizes added. A
// screenshot, where None wins by far, is settled in the first round; on a
// photo None drops out there, while Sub, Up and Paeth, within a few per
// cent of each other, need the whole sample to be ranked as the whole
// image ranks them. The candidates are None, Sub, Up and Paeth, and Average
// too when with_average. -1 when scratch cannot be had.
// The quick trial (the compact forms at effort 0) samples at most
// QUICK_CAP bytes and keeps for the second round only the candidates within
// a twentieth of the best: on the benchmark's photos it picks what the full
// trial picks (Average on the 7 MP PNG, Up on the 12 MP JPEG's pixels, where
// the first round ranks Sub ahead) in about 60 % of the time.
static const int SAMPLE_ROWS = 4;
static const size_t SAMPLE_CAP = (size_t)1 << 20, QUICK_CAP = (size_t)3 << 18;

struct Sample {
    const Rows *rows;
    size_t row_bytes, step;
    unsigned char *scratch;
};

// The deflated size, filtered with type, of round one's bands (first: every
// fourth band, from the first) or of the others (first: 0); 0 when deflate
// fails or there are no such bands.
static size_t trial(const Sample *sm, int type, int first) {
    size_t stride = sm->rows->stride, h = sm->rows->h, used = 0, band = 0;
    for (size_t y0 = 0; y0 < h; y0 += sm->step, ++band) {
        if ((band % 4 == 0) != (first != 0)) continue;
        for (size_t y = y0; y < y0 + SAMPLE_ROWS && y < h; ++y) {
            const unsigned char *cur = sm->rows->px + y * stride;
            filter_row(type, cur, y > 0 ? cur - stride : NULL, stride, sm->rows->bpp, sm->scratch + used);
            used += sm->row_bytes;
        }
    }
    return used != 0 ? zlib_deflated_size(sm->scratch, used) : 0;
}

// The index of the smallest of n sizes (the first of equals).
static int smallest(const size_t *size, int n) {
    int best = 0;
    for (int i = 1; i < n; ++i) {
        if (size[i] < size[best]) best = i;
    }
    return best;
}

static int choose_filter(const Rows *img, size_t row_bytes, int with_average, int quick) {
    size_t bands = (quick ? QUICK_CAP : SAMPLE_CAP) / (row_bytes * SAMPLE_ROWS);
    if (bands == 0) bands = 1;
    Sample sm = {img, row_bytes, img->h / bands, NULL};
    if (sm.step < SAMPLE_ROWS) sm.step = SAMPLE_ROWS;
    // Room for every band, which is more than either round needs.
    size_t rows = (img->h + sm.step - 1) / sm.step * SAMPLE_ROWS;
    if (rows > img->h) rows = img->h;
    sm.scratch = (unsigned char *)malloc(rows * row_bytes);
    if (sm.scratch == NULL) return -1;
    static const int CANDIDATES[] = {FILTER_NONE, FILTER_SUB, FILTER_UP, FILTER_PAETH, FILTER_AVERAGE};
    const int n = with_average ? 5 : 4;
    size_t size[5];
    for (int i = 0; i < n; ++i) {
        size[i] = trial(&sm, CANDIDATES[i], 1);
        if (size[i] == 0) size[i] = (size_t)-1;  // out of memory: never chosen
    }
    int best = smallest(size, n);
    // The second round, when the first had more than one band, for the
    // candidates within a tenth (quick: a twentieth) of the best, if there
    // is more than one.
    size_t near = size[best] != (size_t)-1 ? size[best] + size[best] / (quick ? 20 : 10) : 0;
    int contenders = 0;
    for (int i = 0; i < n; ++i) contenders += size[i] <= near;
    if (sm.step < img->h && contenders > 1) {
        for (int i = 0; i < n; ++i) {
            if (size[i] > near) {
                size[i] = (size_t)-1;
                continue;
            }
            size_t rest = trial(&sm, CANDIDATES[i], 0);
            size[i] = rest != 0 ? size[i] + rest : (size_t)-1;
        }
        best = smallest(size, n);
    }
    free(sm.scratch);
    return CANDIDATES[best];
}

// Filter choices beside the five types: one type for the whole image by
// trial (choose_filter) or by the quick trial, each row's own (best_row), or
// Up for the rows that repeat the row above and None for the others (8-bit
// palettes: a screenshot's repeated rows then deflate as runs of zeros,
// 3 % smaller than unfiltered; below 8 bits it gains nothing).
static const int TRIAL = -2, PER_ROW = -3, QUICK_TRIAL = -4, REPEATS_UP = -5;

// The filter for one row when each row has its own (PER_ROW): the one
// whose output, read as signed bytes, has the smallest sum of magnitudes.
// rows holds FILTER_COUNT row buffers; returns the winner's.
static const unsigned char *best_row(const unsigned char *cur, const unsigned char *prev, size_t n, size_t bpp,
                                     unsigned char *rows) {
    size_t best = 0, best_sum = (size_t)-1;
    for (int type = 0; type < FILTER_COUNT; ++type) {
        unsigned char *out = rows + (size_t)type * (n + 1);
        filter_row(type, cur, prev, n, bpp, out);
        size_t sum = 0;
        for (size_t i = 1; i <= n && sum < best_sum; ++i) sum += out[i] < 128 ? out[i] : 256 - out[i];
        if (sum < best_sum) {
            best_sum = sum;
            best = (size_t)type;
        }
    }
    return rows + best * (n + 1);
}

// Filters the whole image with type (or PER_ROW) in its own block, which
// grows by the filter bytes (one a row): row y moves from y * stride to
// y * row_bytes, the rows from the bottom up so that each is filtered while
// the row above it is still whole. A row goes through a row-sized buffer,
// where the filter runs on data that does not overlap its output (and
// vectorises), and is then moved into place. Returns 0, with the rows
// untouched, when memory runs out.
static int filter_in_place(Image *img, const Rows *rows, int type, size_t row_bytes) {
    size_t stride = rows->stride;
    size_t buffers = type == PER_ROW ? FILTER_COUNT : 1;
    unsigned char *row = (unsigned char *)malloc(row_bytes * buffers);
    unsigned char *grown = row != NULL ? (unsigned char *)realloc(img->px, row_bytes * rows->h) : NULL;
    if (grown == NULL) {
        free(row);
        return 0;
    }
    img->px = grown;
    for (size_t y = rows->h; y-- > 0;) {
        const unsigned char *cur = grown + y * stride, *prev = y > 0 ? cur - stride : NULL;
        const unsigned char *out = row;
        if (type == PER_ROW) {
            out = best_row(cur, prev, stride, rows->bpp, row);
        } else if (type == REPEATS_UP) {
            int up = prev != NULL && memcmp(cur, prev, stride) == 0;
            filter_row(up ? FILTER_UP : FILTER_NONE, cur, prev, stride, rows->bpp, row);
        } else {
            filter_row(type, cur, prev, stride, rows->bpp, row);
        }
        memmove(grown + y * row_bytes, out, row_bytes);
    }
    free(row);
    return 1;
}

// What each effort (trimlet_options.effort) asks of the PNG writer: the
// filter (TRIAL: one for the image by trial; PER_ROW; or one fixed type)
// and libdeflate's level (0: zlib.cpp's PNG level, 3). Effort 0, 1.2's
// writer, and effort 4 are the same.
struct PngEffort {
    int filter, level;
};
static const PngEffort PNG_EFFORT[11] = {
    {TRIAL, 0}, {FILTER_UP, 1}, {TRIAL, 1}, {TRIAL, 2},  {TRIAL, 3},      {TRIAL, 4},
    {TRIAL, 6}, {TRIAL, 8},     {TRIAL, 10}, {TRIAL, 11}, {PER_ROW, 12},
};

// Effort 0 on the compact forms other than 8-bit RGBA, whose bytes are free
// to differ from 1.2's: the quick trial and level 2, which on the 7 MP
// photo's crops writes 0.5 % more than the full trial at level 3 in about
// 20 % less of the writer's time (still 2 % under ImageMagick's files); an
// 8-bit palette at level 5, 9 % smaller than level 3 on the benchmark's
// screenshot for 4 ms more on its 2 MP (a palette is a byte a pixel at
// most, so a slower level costs less than on RGB). Below 8 bits level 5 is
// no smaller, so there level 3 stays. docs/performance.md has the
// measurements.
static const PngEffort COMPACT_DEFAULT = {QUICK_TRIAL, 2};
static const int PALETTE8_DEFAULT_LEVEL = 5;

// ---------------------------------------------------------------------------
// Chunks

// The largest IDAT chunk written; longer data is split.
static const size_t IDAT_MAX = (size_t)1 << 30;

// The PLTE and tRNS chunks of a palette form.
static void put_palette(Sink *sink, const PngForm *f) {
    unsigned char plte[PNG_PALETTE_MAX * 3], trns[PNG_PALETTE_MAX];
    for (int i = 0; i < f->colours; ++i) {
        memcpy(plte + i * 3, f->palette[i], 3);
        trns[i] = f->palette[i][3];
    }
    png_put_chunk(sink, "PLTE", NULL, 0, plte, (size_t)f->colours * 3);
    if (f->trns > 0) png_put_chunk(sink, "tRNS", NULL, 0, trns, (size_t)f->trns);
}

int png_write(Image *img, const Metadata *meta, int effort, int compact, Sink *sink) {
    if (img->w < 1 || img->h < 1) return 0;
    PngForm *form = NULL;
    int color = 6, depth = 8;
    Rows rows = {img->px, (size_t)img->w * 4, 4, (size_t)img->h};
    if (compact) {
        form = (PngForm *)malloc(sizeof *form);
        if (form == NULL) return 0;
        png_form(img, form);
        png_form_pack(img, form);
        color = form->color;
        depth = form->depth;
        rows.stride = png_form_row_bytes(form, img->w);
        rows.bpp = (size_t)(png_form_channels(form) * depth + 7) / 8;
    }
    size_t row_bytes = rows.stride + 1;
    // 8-bit RGBA is written as 1.2 wrote it, so that its bytes stay 1.2's;
    // the compact forms try Average as well, which wins on smooth photos (a
    // photo's RGB crop: 4 % smaller than with Up), and have their own
    // effort 0.
    int own = compact && !(color == 6 && depth == 8);
    if (effort < 0 || effort > 10) effort = 0;
    PngEffort how = own && effort == 0 ? COMPACT_DEFAULT : PNG_EFFORT[effort];
    // Palettes and grey below 8 bits deflate best unfiltered (an 8-bit
    // palette with its repeated rows as Up).
    int type = how.filter;
    if (depth < 8 || color == 3) {
        type = color == 3 && depth == 8 ? REPEATS_UP : (int)FILTER_NONE;
        if (effort == 0) how.level = color == 3 && depth == 8 ? PALETTE8_DEFAULT_LEVEL : 0;
    }
    int ok = row_bytes <= (size_t)-1 / (size_t)img->h;
    if (ok && (type == TRIAL || type == QUICK_TRIAL)) {
        type = choose_filter(&rows, row_bytes, own, type == QUICK_TRIAL);  // -1: no memory
    }
    if (!ok || type == -1 || !filter_in_place(img, &rows, type, row_bytes)) {
        free(form);
        return 0;
    }
    size_t z_n = 0;
    unsigned char *z = zlib_deflate_at(img->px, row_bytes * (size_t)img->h, how.level, &z_n);
    if (z == NULL) {
        free(form);
        return 0;
    }

    // Signature and IHDR; png_with_metadata adds iCCP and eXIf after them.
    unsigned char head[sizeof PNG_SIGNATURE + 25];
    memcpy(head, PNG_SIGNATURE, sizeof PNG_SIGNATURE);
    unsigned char ihdr[13];
    store_be32(ihdr, (uint32_t)img->w);
    store_be32(ihdr + 4, (uint32_t)img->h);
    ihdr[8] = (unsigned char)depth;
    ihdr[9] = (unsigned char)color;
    ihdr[10] = ihdr[11] = ihdr[12] = 0;  // deflate, adaptive filters, no interlace
    png_store_chunk(head + sizeof PNG_SIGNATURE, "IHDR", ihdr, sizeof ihdr);
    if (!png_with_metadata(head, sizeof head, meta, sink)) {
        free(z);
        free(form);
        return 0;
    }
    if (color == 3) put_palette(sink, form);
    free(form);
    for (size_t at = 0; at < z_n; at += IDAT_MAX) {
        png_put_chunk(sink, "IDAT", NULL, 0, z + at, z_n - at < IDAT_MAX ? z_n - at : IDAT_MAX);
    }
    free(z);
    png_put_chunk(sink, "IEND", NULL, 0, NULL, 0);
    return !sink->failed;
}
