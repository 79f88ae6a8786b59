// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// BMP files stb_image refuses but the format allows
//
// RLE8 and RLE4 compression (Windows tools still write them), decoded here:
// runs, literal runs, end of line, end of bitmap and delta. Pixels a stream
// leaves unset (by a delta, an early end of line or end of bitmap) are
// transparent black, as the BMP suite expects. Every count is checked
// against the picture before a pixel is written: a run or delta past its
// row or past the picture, or data ending before the end-of-bitmap code
// with rows still to fill, is corrupt. A top-down RLE file (negative
// height) is refused, as the format has none.
//
// Direct-colour files (16, 24, 32 bits) with a palette or any gap between
// the header and the pixels, which stb_image calls a bad offset: the gap is
// cut out of a copy of the file and stb_image decodes the copy, so the
// pixels are exactly those of the same file without the gap.

#include "codecs/classic.h"
#include "base/bytes.h"
#include "base/stb.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>


// What the header says, for the files this reader takes.
struct BmpHead {
    int rle;          // 8 or 4: RLE8, RLE4; 0: direct colour with a gap
    int w, h;         // h as stored: negative for top-down
    uint32_t offset;  // where the pixels start
    uint32_t hsz;     // the info header's size
    size_t header_end;  // where stb_image expects the pixels of a gapless file
    uint32_t colours;   // palette entries the header names (0: all)
};

// Reads the header of a file this reader takes; 0 for any other file.
static int head_of(const unsigned char *d, size_t len, BmpHead *b) {
    if (len < 54 || d[0] != 'B' || d[1] != 'M') return 0;
    b->offset = load_u32(d + 10, 0);
    b->hsz = load_u32(d + 14, 0);
    if (b->hsz != 40 && b->hsz != 56 && b->hsz != 108 && b->hsz != 124) return 0;
    if (len < 14 + (size_t)b->hsz || load_u16(d + 26, 0) != 1) return 0;
    b->w = (int)load_u32(d + 18, 0);
    b->h = (int)load_u32(d + 22, 0);
    unsigned bpp = load_u16(d + 28, 0);
    uint32_t compress = load_u32(d + 30, 0);
    b->colours = load_u32(d + 46, 0);
    b->header_end = 14 + (size_t)b->hsz;
    if ((compress == 1 && bpp == 8) || (compress == 2 && bpp == 4)) {
        b->rle = (int)bpp;
        return 1;
    }
    b->rle = 0;
    if (bpp != 16 && bpp != 24 && bpp != 32) return 0;
    if (compress != 0 && !(compress == 3 && bpp != 24)) return 0;
    if (compress == 3 && (b->hsz == 40 || b->hsz == 56)) b->header_end += 12;  // the masks
    // Only a gap stb_image refuses, and pixels inside the file.
    return b->offset > b->header_end && b->offset < len;
}

int bmp_takes(const unsigned char *d, size_t len) {
    BmpHead b;
    return head_of(d, len, &b);
}

// The header of a file this reader takes, with its size checked; 0 with
// *why set when refused.
static int checked_head(const unsigned char *d, size_t len, BmpHead *b, int *w, int *h, const char **why) {
    *w = 0;
    *h = 0;
    memset(b, 0, sizeof *b);
    if (!head_of(d, len, b)) {
        *why = "not BMP";
        return 0;
    }
    if (b->w <= 0 || b->h == 0 || b->h == INT_MIN) {
        *why = "bad BMP";
        return 0;
    }
    if (b->rle && b->h < 0) {
        *why = "top-down RLE";
        return 0;
    }
    *w = b->w;
    *h = b->h < 0 ? -b->h : b->h;
    return 1;
}

int bmp_header(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    BmpHead b;
    return checked_head(d, len, &b, w, h, why);
}

// The palette as RGBA: entries the file does not hold stay opaque black.
static void read_palette(const unsigned char *d, size_t len, const BmpHead *b, unsigned char pal[256][4]) {
    for (int i = 0; i < 256; ++i) {
        pal[i][0] = pal[i][1] = pal[i][2] = 0;
        pal[i][3] = 255;
    }
    size_t at = 14 + (size_t)b->hsz;
    size_t end = b->offset < len ? b->offset : len;
    size_t n = b->colours != 0 && b->colours < 256 ? b->colours : (size_t)1 << b->rle;
    for (size_t i = 0; i < n && at + 4 <= end; ++i, at += 4) {
        pal[i][0] = d[at + 2];
        pal[i][1] = d[at + 1];
        pal[i][2] = d[at];
    }
}

// Decodes the RLE stream into px (w x h, zeroed: transparent black). Rows
// are stored bottom up. Returns NULL or the reason the data is refused.
static const char *decode_rle(const unsigned char *d, size_t len, const BmpHead *b, int w, int h,
                              unsigned char *px) {
    unsigned char pal[256][4];
    read_palette(d, len, b, pal);
    size_t p = b->offset;
    long x = 0, y = 0;  // y counts from the bottom row
    int four = b->rle == 4;
    for (;;) {
        if (y >= h) return NULL;  // every row is done: what follows is ignored
        if (p > len || len - p < 2) return "truncated";
        unsigned count = d[p], value = d[p + 1];
        p += 2;
        unsigned char *row = px + (size_t)(h - 1 - y) * (size_t)w * 4;
        if (count > 0) {  // a run of one index (RLE4: two, alternating)
            if (count > (unsigned long)(w - x)) return "RLE past the row";
            for (unsigned i = 0; i < count; ++i, ++x) {
                unsigned idx = four ? (i & 1 ? value & 15 : value >> 4) : value;
                memcpy(row + (size_t)x * 4, pal[idx], 4);
            }
        } else if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of bitmap
            return NULL;
        } else if (value == 2) {  // delta: right and up
            if (len - p < 2) return "truncated";
            x += d[p];
            y += d[p + 1];
            p += 2;
            if (x > w || y > h || (y == h && x > 0)) return "RLE past the picture";
        } else {  // a literal run of value indices, padded to 16 bits
            size_t bytes = four ? (value + 1) / 2 : value;
            if (len - p < bytes) return "truncated";
            if (value > (unsigned long)(w - x)) return "RLE past the row";
            for (unsigned i = 0; i < value; ++i, ++x) {
                unsigned idx = four ? (i & 1 ? d[p + i / 2] & 15 : d[p + i / 2] >> 4) : d[p + i];
                memcpy(row + (size_t)x * 4, pal[idx], 4);
            }
            p += bytes + (bytes & 1);
            if (p > len) p = len;
        }
    }
}

// A copy of the file without the gap before its pixels, for stb_image.
static unsigned char *decode_gapless(const unsigned char *d, size_t len, const BmpHead *b, int *w, int *h,
                                     const char **why) {
    size_t pixels = len - b->offset;
    size_t n = b->header_end + pixels;
    unsigned char *copy = (unsigned char *)malloc(n);
    if (copy == NULL) {
        *why = "outofmem";
        return NULL;
    }
    memcpy(copy, d, b->header_end);
    memcpy(copy + b->header_end, d + b->offset, pixels);
    copy[10] = (unsigned char)(b->header_end & 255);
    copy[11] = (unsigned char)(b->header_end >> 8 & 255);
    copy[12] = copy[13] = 0;
    // The same screening as any BMP: rows the data cannot hold.
    *why = screen_pixels(copy, n, *w, *h);
    unsigned char *px = *why == NULL ? stb_decode(copy, n, w, h, why) : NULL;
    free(copy);
    return px;
}

unsigned char *bmp_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    BmpHead b;
    if (!checked_head(d, len, &b, w, h, why)) return NULL;
    if (!b.rle) return decode_gapless(d, len, &b, w, h, why);
    if (!stb_sizes_valid(*w, *h, 4, 1, 0)) {
        *why = "too large";
        return NULL;
    }
    size_t bytes = (size_t)*w * (size_t)*h * 4;
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)*w, (size_t)*h);
    if (px == NULL) {
        *why = "outofmem";
        return NULL;
    }
    memset(px, 0, bytes);
    *why = decode_rle(d, len, &b, *w, *h, px);
    if (*why != NULL) {
        free(px);
        return NULL;
    }
    return px;
}
