// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Writing PNG: 8-bit RGBA, non-interlaced, one filter type for the whole
// image chosen by a trial on a sample of its rows, the rows filtered in the
// picture's own block and deflated in one piece (zlib.cpp), then written to
// the sink as chunks, with the photo metadata's iCCP and eXIf after IHDR.
// See docs/performance-png.md for the measurements behind the filter
// choice, the deflate level and the filtering in place.

#include "codecs/parts.h"
#include "base/zlib.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Filters (the PNG filter types on 4-byte pixels)

enum { FILTER_NONE, FILTER_SUB, FILTER_UP, FILTER_AVERAGE, FILTER_PAETH, FILTER_COUNT };

static inline unsigned char paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return (unsigned char)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters one row of n bytes (prev NULL for the first row, read as zeros)
// into out, which receives the filter byte and then the n filtered bytes.
static void filter_row(int type, const unsigned char *cur, const unsigned char *prev, size_t n,
                       unsigned char *out) {
    *out++ = (unsigned char)type;
    size_t first = n < 4 ? n : 4;
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
        for (size_t i = 4; i < n; ++i) out[i] = (unsigned char)(cur[i] - cur[i - 4]);
        break;
    case FILTER_UP:
        for (size_t i = 0; i < n; ++i) out[i] = (unsigned char)(cur[i] - prev[i]);
        break;
    case FILTER_AVERAGE:
        for (size_t i = 0; i < n; ++i) {
            int a = i >= 4 ? cur[i - 4] : 0, b = prev != NULL ? prev[i] : 0;
            out[i] = (unsigned char)(cur[i] - ((a + b) >> 1));
        }
        break;
    default:  // Paeth
        for (size_t i = 0; i < first; ++i) out[i] = (unsigned char)(cur[i] - prev[i]);
        for (size_t i = 4; i < n; ++i) {
            out[i] = (unsigned char)(cur[i] - paeth(cur[i - 4], prev[i], prev[i - 4]));
        }
        break;
    }
}

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
// image ranks them. -1 when scratch cannot be had.
static const int SAMPLE_ROWS = 4;
static const size_t SAMPLE_CAP = (size_t)1 << 20;

struct Sample {
    const Image *img;
    size_t row_bytes, step;
    unsigned char *scratch;
};

// The deflated size, filtered with type, of round one's bands (first: every
// fourth band, from the first) or of the others (first: 0); 0 when deflate
// fails or there are no such bands.
static size_t trial(const Sample *sm, int type, int first) {
    size_t stride = (size_t)sm->img->w * 4, h = (size_t)sm->img->h, used = 0, band = 0;
    for (size_t y0 = 0; y0 < h; y0 += sm->step, ++band) {
        if ((band % 4 == 0) != (first != 0)) continue;
        for (size_t y = y0; y < y0 + SAMPLE_ROWS && y < h; ++y) {
            const unsigned char *cur = sm->img->px + y * stride;
            filter_row(type, cur, y > 0 ? cur - stride : NULL, stride, sm->scratch + used);
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

static int choose_filter(const Image *img, size_t row_bytes) {
    size_t bands = SAMPLE_CAP / (row_bytes * SAMPLE_ROWS);
    if (bands == 0) bands = 1;
    Sample sm = {img, row_bytes, (size_t)img->h / bands, NULL};
    if (sm.step < SAMPLE_ROWS) sm.step = SAMPLE_ROWS;
    // Room for every band, which is more than either round needs.
    size_t rows = ((size_t)img->h + sm.step - 1) / sm.step * SAMPLE_ROWS;
    if (rows > (size_t)img->h) rows = (size_t)img->h;
    sm.scratch = (unsigned char *)malloc(rows * row_bytes);
    if (sm.scratch == NULL) return -1;
    static const int CANDIDATES[] = {FILTER_NONE, FILTER_SUB, FILTER_UP, FILTER_PAETH};
    const int n = (int)(sizeof CANDIDATES / sizeof CANDIDATES[0]);
    size_t size[n];
    for (int i = 0; i < n; ++i) {
        size[i] = trial(&sm, CANDIDATES[i], 1);
        if (size[i] == 0) size[i] = (size_t)-1;  // out of memory: never chosen
    }
    int best = smallest(size, n);
    // The second round, when the first had more than one band, for the
    // candidates within a tenth of the best, if there is more than one.
    size_t near = size[best] != (size_t)-1 ? size[best] + size[best] / 10 : 0;
    int contenders = 0;
    for (int i = 0; i < n; ++i) contenders += size[i] <= near;
    if (sm.step < (size_t)img->h && contenders > 1) {
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

// Filters the whole image with type in its own block, which grows by the
// filter bytes (one a row): row y moves from y * stride to y * row_bytes,
// the rows from the bottom up so that each is filtered while the row above
// it is still whole. A row goes through a row-sized buffer, where the
// filter runs on data that does not overlap its output (and vectorises),
// and is then moved into place. Returns 0, with img untouched, when memory
// runs out.
static int filter_in_place(Image *img, int type, size_t row_bytes) {
    size_t stride = (size_t)img->w * 4;
    unsigned char *row = (unsigned char *)malloc(row_bytes);
    unsigned char *grown = row != NULL ? (unsigned char *)realloc(img->px, row_bytes * (size_t)img->h) : NULL;
    if (grown == NULL) {
        free(row);
        return 0;
    }
    img->px = grown;
    for (size_t y = (size_t)img->h; y-- > 0;) {
        const unsigned char *cur = grown + y * stride;
        filter_row(type, cur, y > 0 ? cur - stride : NULL, stride, row);
        memmove(grown + y * row_bytes, row, row_bytes);
    }
    free(row);
    return 1;
}

// ---------------------------------------------------------------------------
// Chunks

static void put_be32(unsigned char *b, uint32_t v) {
    b[0] = (unsigned char)(v >> 24);
    b[1] = (unsigned char)(v >> 16);
    b[2] = (unsigned char)(v >> 8);
    b[3] = (unsigned char)v;
}

static void put_chunk(Sink *sink, const char *type, const unsigned char *data, size_t n) {
    unsigned char b[8];
    put_be32(b, (uint32_t)n);
    memcpy(b + 4, type, 4);
    sink_write(sink, b, 8);
    uint32_t crc = png_crc(png_crc(0, b + 4, 4), data, n);
    if (n) sink_write(sink, data, n);
    put_be32(b, crc);
    sink_write(sink, b, 4);
}

// The largest IDAT chunk written; longer data is split.
static const size_t IDAT_MAX = (size_t)1 << 30;

int png_write(Image *img, const Metadata *meta, Sink *sink) {
    size_t stride = (size_t)img->w * 4, row_bytes = stride + 1;
    if (img->w < 1 || img->h < 1 || row_bytes > (size_t)-1 / (size_t)img->h) return 0;
    int type = choose_filter(img, row_bytes);
    if (type < 0 || !filter_in_place(img, type, row_bytes)) return 0;
    size_t z_n = 0;
    unsigned char *z = zlib_deflate(img->px, row_bytes * (size_t)img->h, &z_n);
    if (z == NULL) return 0;

    // Signature and IHDR; png_with_metadata adds iCCP and eXIf after them.
    unsigned char head[sizeof PNG_SIGNATURE + 25];
    memcpy(head, PNG_SIGNATURE, sizeof PNG_SIGNATURE);
    unsigned char *ihdr = head + sizeof PNG_SIGNATURE;
    put_be32(ihdr, 13);
    memcpy(ihdr + 4, "IHDR", 4);
    put_be32(ihdr + 8, (uint32_t)img->w);
    put_be32(ihdr + 12, (uint32_t)img->h);
    ihdr[16] = 8;  // bit depth
    ihdr[17] = 6;  // RGBA
    ihdr[18] = ihdr[19] = ihdr[20] = 0;  // deflate, adaptive filters, no interlace
    put_be32(ihdr + 21, png_crc(0, ihdr + 4, 17));
    if (!png_with_metadata(head, sizeof head, meta, sink)) {
        free(z);
        return 0;
    }
    for (size_t at = 0; at < z_n; at += IDAT_MAX) {
        put_chunk(sink, "IDAT", z + at, z_n - at < IDAT_MAX ? z_n - at : IDAT_MAX);
    }
    free(z);
    put_chunk(sink, "IEND", NULL, 0);
    return 1;
}
