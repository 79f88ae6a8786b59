// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// What the TIFF codec's files share: one file open through libtiff
// (tifffile.cpp) and the layout of its pixels (tifflayout.cpp), read by
// tiff.cpp.
#ifndef TRIMLET_CODECS_TIFFPARTS_H
#define TRIMLET_CODECS_TIFFPARTS_H

#include "codecs/parts.h"

#ifdef TRIMLET_USE_LIBTIFF

#include <tiffio.h>

// One open file: the input, libtiff's read position in it and the first
// error libtiff reported.
struct TiffFile {
    const Input *in;
    uint64_t pos;
    int errors;
    char why[256];
    TIFF *tif;
    TIFFCIELabToRGB *lab;  // CIELab files: libtiff's conversion to sRGB
};

// tifffile.cpp

// Opens the input's first directory. Returns 0 with the message set.
int tiff_open(const Input *in, TiffFile *f, Failure *err);
void tiff_close_file(TiffFile *f);
// A failure of libtiff's: its first error's text, or what the caller says
// when libtiff gave none. Closes the file.
int tiff_fail(TiffFile *f, const char *otherwise, Failure *err);
// A refusal of the caller's own (status, why). Closes the file.
int tiff_refuse(TiffFile *f, int status, const char *why, Failure *err);

// tifflayout.cpp

enum TiffColour { GREY, RGB, PALETTE, CMYK, LAB };

// The layout of the pixels.
struct Layout {
    uint32_t w, h;
    int colour;           // a TiffColour
    int white_is_zero;    // grey stored min-is-white
    int colours;          // colour samples per pixel (1, 3 or 4)
    int alpha;            // index of the alpha sample, or -1
    int premultiplied;    // alpha is associated
    int spp;              // samples per pixel, extra ones included
    int bits;             // bits per sample: 1, 2, 4, 8 or 16
    int separate;         // one plane per sample
    int tiled;
    uint32_t block_w, block_h;  // a tile's size, or the width and rows of a strip
    uint16_t *map[3];     // the palette (red, green, blue), libtiff's
    int map_8bit;         // the palette's entries are 8-bit values, not 16-bit
    int signed_samples;   // SampleFormat 2: offset by half the range (-128 -> 0, 127 -> 255)
    TIFFCIELabToRGB *lab; // LAB: the conversion (owned by the TiffFile)
    int rgba;             // read through libtiff's RGBA interface (read_rgba)
};

// What the conversion cannot take (0, the message set, the file closed), or
// 1 with *l filled.
int read_layout(TiffFile *f, Layout *l, Failure *err);

#endif

#endif
