// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The Netpbm forms stb_image does not read: P1 (plain bitmap), P2 and P3
// (plain grey and colour, samples as decimal text) and P4 (binary bitmap).
// Comments (from '#' to the end of the line) are allowed between any two
// tokens, in the header and among the samples. Samples are mapped to 8 bits
// as stb_image and decode.cpp map the binary forms: with a maxval up to 255
// a sample is its own 8-bit value, above that (16-bit samples) its high
// byte, so a plain file gives exactly the pixels of its binary twin. In a
// bitmap 1 is black. A sample above the maxval, a token that is not a
// number, or fewer samples than the picture needs is corrupt. The header's
// size is checked against the data before anything is allocated: a plain
// sample takes at least two bytes (one for P1), a P4 row its bytes.

#include "codecs/classic.h"
#include "base/stb.h"

#include <stdlib.h>
#include <string.h>

static int space(unsigned c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Skips white space and comments from *p.
static void skip_gaps(const unsigned char *d, size_t len, size_t *p) {
    while (*p < len) {
        if (space(d[*p])) {
            ++*p;
        } else if (d[*p] == '#') {
            while (*p < len && d[*p] != '\n' && d[*p] != '\r') ++*p;
        } else {
            return;
        }
    }
}

// Reads a decimal number of at most 9 digits after any gaps; -1 when there
// is none (or the digits go on), -2 when the data has ended.
static long number(const unsigned char *d, size_t len, size_t *p) {
    skip_gaps(d, len, p);
    if (*p >= len) return -2;
    long v = 0;
    int digits = 0;
    while (*p < len && d[*p] >= '0' && d[*p] <= '9') {
        if (++digits > 9) return -1;
        v = v * 10 + (d[*p] - '0');
        ++*p;
    }
    return digits == 0 ? -1 : v;
}

struct PnmHead {
    int kind;  // 1..4
    int w, h;
    long maxval;  // 1 for the bitmaps
    size_t data;  // where the samples start
};

static int read_head(const unsigned char *d, size_t len, PnmHead *ph, const char **why) {
    if (!is_pnm_extra(d, len)) {
        *why = "unknown image type";
        return 0;
    }
    ph->kind = d[1] - '0';
    size_t p = 2;
    long w = number(d, len, &p), h = number(d, len, &p);
    long maxval = ph->kind == 2 || ph->kind == 3 ? number(d, len, &p) : 1;
    if (w < 0 || h < 0 || maxval < 0) {
        *why = w == -2 || h == -2 || maxval == -2 ? "truncated" : "bad PNM header";
        return 0;
    }
    if (maxval > 65535) {
        *why = "max value > 65535";
        return 0;
    }
    if (w == 0 || h == 0 || maxval == 0) {
        *why = "bad PNM header";
        return 0;
    }
    if (w > (1 << 24) || h > (1 << 24)) {
        *why = "too large";
        return 0;
    }
    // One white space character ends the header.
    if (p < len && !space(d[p])) {
        *why = "bad PNM header";
        return 0;
    }
    ph->w = (int)w;
    ph->h = (int)h;
    ph->maxval = maxval;
    ph->data = p + 1;
    return 1;
}

int pnm_header(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    PnmHead ph;
    *w = 0;
    *h = 0;
    if (!read_head(d, len, &ph, why)) return 0;
    *w = ph.w;
    *h = ph.h;
    // The least data the picture takes.
    unsigned long long count = (unsigned long long)ph.w * (unsigned long long)ph.h;
    unsigned long long need = ph.kind == 4 ? ((unsigned long long)ph.w + 7) / 8 * (unsigned long long)ph.h
                              : ph.kind == 1 ? count
                                             : count * (ph.kind == 3 ? 3 : 1) * 2 - 1;
    unsigned long long have = ph.data < len ? len - ph.data : 0;
    if (have < need) {
        *why = "truncated";
        return 0;
    }
    return 1;
}

// The next plain sample, as 8 bits; -1 with *why set when there is none.
static int plain_sample(const unsigned char *d, size_t len, size_t *p, const PnmHead *ph, const char **why) {
    long v;
    if (ph->kind == 1) {  // one digit, white space optional
        skip_gaps(d, len, p);
        v = *p < len && (d[*p] == '0' || d[*p] == '1') ? d[(*p)++] - '0' : *p < len ? -1 : -2;
    } else {
        v = number(d, len, p);
    }
    if (v < 0) {
        *why = v == -2 ? "too few samples" : "bad sample";
        return -1;
    }
    if (v > ph->maxval) {
        *why = "sample above maxval";
        return -1;
    }
    if (ph->kind == 1) return v ? 0 : 255;
    return (int)(ph->maxval > 255 ? v >> 8 : v);
}

unsigned char *pnm_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    PnmHead ph;
    if (!pnm_header(d, len, w, h, why) || !read_head(d, len, &ph, why)) return NULL;
    if (!stb_sizes_valid(ph.w, ph.h, 4, 1, 0)) {
        *why = "too large";
        return NULL;
    }
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)ph.w, (size_t)ph.h);
    if (px == NULL) {
        *why = "outofmem";
        return NULL;
    }
    size_t count = (size_t)ph.w * (size_t)ph.h;
    unsigned char *o = px;
    if (ph.kind == 4) {
        size_t stride = ((size_t)ph.w + 7) / 8;
        for (int y = 0; y < ph.h; ++y) {
            const unsigned char *row = d + ph.data + (size_t)y * stride;
            for (int x = 0; x < ph.w; ++x, o += 4) {
                o[0] = o[1] = o[2] = (row[x >> 3] >> (7 - (x & 7)) & 1) ? 0 : 255;
                o[3] = 255;
            }
        }
        return px;
    }
    size_t p = ph.data;
    for (size_t i = 0; i < count; ++i, o += 4) {
        for (int c = 0; c < (ph.kind == 3 ? 3 : 1); ++c) {
            int v = plain_sample(d, len, &p, &ph, why);
            if (v < 0) {
                free(px);
                return NULL;
            }
            o[c] = (unsigned char)v;
        }
        if (ph.kind != 3) o[1] = o[2] = o[0];
        o[3] = 255;
    }
    return px;
}
