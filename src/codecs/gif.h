// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// What the GIF files share among themselves: the LZW decoder a frame's
// pixels come through (giflzw.cpp), and what the writer (gifwrite.cpp)
// copies from the file the reader (gif.cpp) has open.
#ifndef TRIMLET_CODECS_GIF_H
#define TRIMLET_CODECS_GIF_H

#include "codecs/codecs.h"

#include <stdint.h>

// ---------------------------------------------------------------------------
// giflzw.cpp

// Where a frame's decoded pixels go: row by row into line (the frame's
// width), each full row placed (deinterlaced, clipped to the canvas) into
// raw->index. Pixels beyond the frame's last are ignored, as browsers do.
struct GifRows {
    GifRaw *raw;
    unsigned char *line;
    int fw, fh, top, interlace;  // the frame's size and top edge as stored
    int row, col;                // the stored row being filled, and how far
};

// The decoder's state across a frame's data sub-blocks: each code's prefix
// code, last byte and length, the stack a string that does not fit the row
// is spelled out on, and the bits and table between blocks.
struct GifLzw {
    int min, size, next, prev, have, ended;
    unsigned char first;
    uint32_t bits;
    uint16_t prefix[4096], length[4096];
    unsigned char suffix[4096], stack[4097];
};

// Starts a frame whose minimum code size is min (1..11).
void gif_lzw_start(GifLzw *z, int min);
// Decodes the codes in the n bytes at d (one data sub-block) into rows;
// after the end code the rest is ignored. NULL, or why the frame is
// damaged: a code may name an entry of the table, or the one being made,
// nothing beyond. A table full at 4096 entries stays as it is until the
// next clear code.
const char *gif_lzw_feed(GifLzw *z, const unsigned char *d, size_t n, GifRows *rows);

// ---------------------------------------------------------------------------
// gif.cpp, for gifwrite.cpp

// What the writer copies from the file the reader has open: the global
// colour table, colour resolution and background index, and the
// extensions before the first image (per extension its label, then its
// sub-blocks, each a length byte and data, then a 0).
struct GifScreen {
    const GifPalette *global;
    int resolution, background;
    const unsigned char *ext;
    size_t ext_len;
};
void gif_screen(const GifReader *g, GifScreen *s);

#endif
