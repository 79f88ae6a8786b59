// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Compact PNG forms: the smallest PNG colour type and bit depth that holds a
// picture's RGBA exactly (png_compact), found in one pass over its pixels,
// and the picture's rows packed into that form in their own block.

#include "codecs/parts.h"

#include <string.h>

// The colour table: at most PNG_PALETTE_MAX colours (one more marks
// "too many"), hashed into twice as many slots.
static const int SLOTS = 2 * PNG_PALETTE_MAX;

// The fewest pixels a colour of the palette must have on average.
static const size_t PALETTE_PIXELS = 4;

static inline uint32_t pixel_at(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

static inline int slot_of(uint32_t colour) { return (int)((colour * 2654435761u) >> 23) & (SLOTS - 1); }

// The slot holding colour, or the empty slot where it would go.
static inline int find_slot(const PngForm *f, uint32_t colour) {
    int s = slot_of(colour);
    while (f->used[s] && f->key[s] != colour) s = (s + 1) & (SLOTS - 1);
    return s;
}

// Adds colour to the table (in the order first seen); 0 when the table
// already holds PNG_PALETTE_MAX others.
static int add_colour(PngForm *f, uint32_t colour) {
    int s = find_slot(f, colour);
    if (f->used[s]) return 1;
    if (f->colours == PNG_PALETTE_MAX) return 0;
    f->used[s] = 1;
    f->key[s] = colour;
    f->index[s] = (unsigned char)f->colours;
    memcpy(f->palette[f->colours], &colour, 4);
    ++f->colours;
    return 1;
}

// The palette with its colours that are not opaque first (the tRNS chunk
// then lists only those), the slots' indexes following them.
static void order_palette(PngForm *f) {
    unsigned char moved[PNG_PALETTE_MAX][4];
    unsigned char to[PNG_PALETTE_MAX];
    int n = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < f->colours; ++i) {
            if ((f->palette[i][3] == 255) != (pass == 1)) continue;
            memcpy(moved[n], f->palette[i], 4);
            to[i] = (unsigned char)n++;
        }
        if (pass == 0) f->trns = n;
    }
    memcpy(f->palette, moved, sizeof moved[0] * (size_t)f->colours);
    for (int s = 0; s < SLOTS; ++s) {
        if (f->used[s]) f->index[s] = to[f->index[s]];
    }
}

void png_form(const Image *img, PngForm *f) {
    memset(f, 0, sizeof *f);
    const unsigned char *p = img->px, *end = img->px + (size_t)img->w * (size_t)img->h * 4;
    int opaque = 1, grey = 1, few = 1;
    uint32_t last = pixel_at(p) ^ 1u;  // not the first pixel
    for (; p < end; p += 4) {
        uint32_t v = pixel_at(p);
        if (v == last) continue;  // runs of one colour cost one compare
        last = v;
        opaque &= p[3] == 255;
        grey &= p[0] == p[1] && p[1] == p[2];
        if (few) {
            few = add_colour(f, v);
        } else if (!opaque && !grey) {
            break;  // 8-bit RGBA, whatever the rest holds
        }
    }
    // A palette, unless the picture is opaque grey of many levels, which
    // grey holds in as many bytes without the PLTE chunk, or has too few
    // pixels to pay for the palette's 3 or 4 bytes a colour (each index
    // saves 2 or 3).
    int pays = (size_t)img->w * (size_t)img->h >= (size_t)f->colours * PALETTE_PIXELS;
    if (few && pays && !(grey && opaque && f->colours > 16)) {
        f->color = 3;
        f->depth = f->colours <= 2 ? 1 : f->colours <= 4 ? 2 : f->colours <= 16 ? 4 : 8;
        order_palette(f);
        return;
    }
    f->colours = 0;
    f->depth = 8;
    f->color = grey ? (opaque ? 0 : 4) : (opaque ? 2 : 6);
}

int png_form_channels(const PngForm *f) {
    static const int CHANNELS[7] = {1, 0, 3, 1, 2, 0, 4};
    return CHANNELS[f->color];
}

size_t png_form_row_bytes(const PngForm *f, int w) {
    return ((size_t)w * (size_t)png_form_channels(f) * (size_t)f->depth + 7) / 8;
}

// Every packed byte is written at or before the first byte of RGBA it is
// made from, so rows pack in place from the top, left to right.
void png_form_pack(Image *img, const PngForm *f) {
    if (f->color == 6) return;
    size_t stride = (size_t)img->w * 4, out_stride = png_form_row_bytes(f, img->w);
    for (size_t y = 0; y < (size_t)img->h; ++y) {
        const unsigned char *s = img->px + y * stride;
        unsigned char *d = img->px + y * out_stride;
        int w = img->w;
        switch (f->color) {
        case 0:
            for (int i = 0; i < w; ++i) d[i] = s[i * 4];
            break;
        case 2:
            for (int i = 0; i < w; ++i, s += 4, d += 3) {
                unsigned char r = s[0], g = s[1], b = s[2];
                d[0] = r;
                d[1] = g;
                d[2] = b;
            }
            break;
        case 4:
            for (int i = 0; i < w; ++i, s += 4, d += 2) {
                unsigned char v = s[0], a = s[3];
                d[0] = v;
                d[1] = a;
            }
            break;
        default: {  // 3: indexes, depth bits each, the leftmost in the high bits
            int per_byte = 8 / f->depth, filled = 0;
            unsigned acc = 0, index = 0;
            uint32_t last = pixel_at(s) ^ 1u;
            for (int i = 0; i < w; ++i, s += 4) {
                uint32_t v = pixel_at(s);
                if (v != last) {
                    last = v;
                    index = f->index[find_slot(f, v)];
                }
                acc = acc << f->depth | index;
                if (++filled == per_byte) {
                    *d++ = (unsigned char)acc;
                    acc = 0;
                    filled = 0;
                }
            }
            if (filled) *d = (unsigned char)(acc << (f->depth * (per_byte - filled)));
            break;
        }
        }
    }
}
