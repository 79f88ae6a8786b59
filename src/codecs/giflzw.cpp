// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// A GIF frame's LZW data decoded into rows of palette indexes (gif.h). The
// decoder is our own rather than giflib's, which takes a code beyond the
// next free table entry without complaint and gives garbage pixels. Rows
// come in the file's order: an interlaced frame's are placed by its passes.

#include "codecs/gif.h"

#include <string.h>

// The row of the frame's stored row i (of h) under interlacing: passes
// start at 0, 4, 2, 1 with steps 8, 8, 4, 2.
static int interlaced_row(int i, int h) {
    static const int START[4] = {0, 4, 2, 1}, STEP[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        int n = h > START[p] ? (h - START[p] + STEP[p] - 1) / STEP[p] : 0;
        if (i < n) return START[p] + i * STEP[p];
        i -= n;
    }
    return 0;
}

// Places the filled row and starts the next.
static void row_done(GifRows *r) {
    int y = r->interlace ? interlaced_row(r->row, r->fh) : r->row;
    // The frame starts at raw->x (a left edge is never negative), so its
    // part on the canvas is the row's first raw->w pixels.
    int cy = r->top + y - r->raw->y;
    if (r->raw->w > 0 && cy >= 0 && cy < r->raw->h) {
        memcpy(r->raw->index + (size_t)cy * r->raw->w, r->line, (size_t)r->raw->w);
    }
    r->col = 0;
    ++r->row;
}

static void put_pixel(GifRows *r, unsigned char v) {
    if (r->row >= r->fh) return;  // beyond the last pixel: ignored, as browsers do
    r->line[r->col++] = v;
    if (r->col >= r->fw) row_done(r);
}

void gif_lzw_start(GifLzw *z, int min) {
    int clear = 1 << min;
    z->min = min;
    z->size = min + 1;
    z->next = clear + 2;
    z->prev = -1;
    z->have = 0;
    z->ended = 0;
    z->first = 0;
    z->bits = 0;
    for (int i = 0; i < clear; ++i) {
        z->prefix[i] = 0xFFFF;
        z->suffix[i] = (unsigned char)i;
        z->length[i] = 1;
    }
}

const char *gif_lzw_feed(GifLzw *z, const unsigned char *d, size_t n, GifRows *rows) {
    // The state in locals while the block is decoded (stores to the tables
    // would otherwise make the compiler reload it).
    const int clear = 1 << z->min, end = clear + 1;
    int size = z->size, next = z->next, prev = z->prev, have = z->have, ended = z->ended;
    unsigned char first = z->first;
    uint32_t bits = z->bits;
    const char *why = NULL;
    for (size_t k = 0; k < n && !ended && why == NULL; ++k) {
        bits |= (uint32_t)d[k] << have;
        have += 8;
        while (have >= size) {
            int code = (int)(bits & ((1u << size) - 1));
            bits >>= size;
            have -= size;
            if (code == clear) {
                size = z->min + 1;
                next = clear + 2;
                prev = -1;
                continue;
            }
            if (code == end) {
                ended = 1;
                break;
            }
            // A code may name an entry of the table, or the one being
            // made (KwKwK); nothing beyond.
            if (code > next || (prev < 0 && code >= clear) || (code == next && next >= 4096)) {
                why = "has an LZW code beyond its table";
                break;
            }
            int c = code, len = code == next ? z->length[prev] + 1 : z->length[code];
            if (rows->row < rows->fh && rows->col + len <= rows->fw) {
                // The string fits the row: spelled out backwards in place.
                unsigned char *o = rows->line + rows->col + len - 1;
                if (code == next) {
                    *o-- = first;
                    c = prev;
                }
                for (; c >= clear; c = z->prefix[c]) *o-- = z->suffix[c];
                *o = (unsigned char)c;
                first = (unsigned char)c;
                rows->col += len;
                if (rows->col == rows->fw) row_done(rows);
            } else {
                int top = 0;
                if (code == next) {
                    z->stack[top++] = first;
                    c = prev;
                }
                while (c >= clear) {
                    z->stack[top++] = z->suffix[c];
                    c = z->prefix[c];
                }
                z->stack[top++] = (unsigned char)c;
                first = (unsigned char)c;
                while (top > 0) put_pixel(rows, z->stack[--top]);
            }
            if (prev >= 0 && next < 4096) {
                z->prefix[next] = (uint16_t)prev;
                z->suffix[next] = first;
                z->length[next] = (uint16_t)(z->length[prev] + 1);
                ++next;
            }
            // Codes widen once the table holds 1 << size entries, checked
            // after every code as giflib and stb_image do: with code size 1
            // the first code after a clear already fills it.
            if (next == 1 << size && size < 12) ++size;
            prev = code;
        }
    }
    z->size = size;
    z->next = next;
    z->prev = prev;
    z->have = have;
    z->ended = ended;
    z->first = first;
    z->bits = bits;
    return why;
}
