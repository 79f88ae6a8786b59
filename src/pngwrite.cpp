// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Writing PNG: 8-bit RGBA, non-interlaced, one filter type for the whole
// image chosen by a trial on a sample of its rows, the filtered rows
// deflated in one piece (zlib.cpp) and written to the sink as chunks, with
// the photo metadata's iCCP and eXIf after IHDR. See docs/performance-png.md
// for the measurements behind the filter choice and the deflate level.

#include "internal.h"

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

// The filter type for the whole image: each candidate filters a sample of
// rows (bands of SAMPLE_ROWS rows spread evenly down the image, at most
// SAMPLE_CAP bytes, so that each filter sees its rows' real neighbours), and
// the one whose sample deflates smallest at the fast level wins. A small
// image is tried whole.
static const int SAMPLE_ROWS = 4;
static const size_t SAMPLE_CAP = (size_t)1 << 20;

static int choose_filter(const Image *img, unsigned char *scratch, size_t row_bytes) {
    size_t stride = (size_t)img->w * 4;
    size_t bands = SAMPLE_CAP / (row_bytes * SAMPLE_ROWS);
    if (bands == 0) bands = 1;
    size_t step = (size_t)img->h / bands;
    if (step < SAMPLE_ROWS) step = SAMPLE_ROWS;
    static const int CANDIDATES[] = {FILTER_NONE, FILTER_SUB, FILTER_UP, FILTER_PAETH};
    int best = FILTER_PAETH;
    size_t best_size = (size_t)-1;
    for (int type : CANDIDATES) {
        size_t used = 0;
        for (size_t y0 = 0; y0 < (size_t)img->h; y0 += step) {
            for (size_t y = y0; y < y0 + SAMPLE_ROWS && y < (size_t)img->h; ++y) {
                const unsigned char *cur = img->px + y * stride;
                filter_row(type, cur, y > 0 ? cur - stride : NULL, stride, scratch + used);
                used += row_bytes;
            }
        }
        size_t size = zlib_deflated_size(scratch, used);
        if (size != 0 && size < best_size) {
            best_size = size;
            best = type;
        }
    }
    return best;
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

int png_write(const Image *img, const Metadata *meta, Sink *sink) {
    size_t stride = (size_t)img->w * 4, row_bytes = stride + 1;
    if (img->w < 1 || img->h < 1 || row_bytes > (size_t)-1 / (size_t)img->h) return 0;
    size_t total = row_bytes * (size_t)img->h;
    unsigned char *filtered = (unsigned char *)malloc(total);
    if (filtered == NULL) return 0;
    int type = choose_filter(img, filtered, row_bytes);
    for (int y = 0; y < img->h; ++y) {
        const unsigned char *cur = img->px + (size_t)y * stride;
        filter_row(type, cur, y > 0 ? cur - stride : NULL, stride, filtered + (size_t)y * row_bytes);
    }
    size_t z_n = 0;
    unsigned char *z = zlib_deflate(filtered, total, &z_n);
    free(filtered);
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
