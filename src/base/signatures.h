// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Formats recognised by their first bytes.
#ifndef TRIMLET_BASE_SIGNATURES_H
#define TRIMLET_BASE_SIGNATURES_H

#include "base/bytes.h"

#include <stddef.h>

// ---------------------------------------------------------------------------
// Signatures: the one place a JPEG or PNG file is recognised by its first
// bytes (the screening asks stb_image's own probes instead, see stb.cpp).

// A JPEG file: the start-of-image marker and the next marker's 0xFF.
static inline int is_jpeg_file(const unsigned char *d, size_t n) {
    return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}
static const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
static inline int is_png_file(const unsigned char *d, size_t n) {
    if (n < sizeof PNG_SIGNATURE) return 0;
    for (size_t i = 0; i < sizeof PNG_SIGNATURE; ++i) {
        if (d[i] != PNG_SIGNATURE[i]) return 0;
    }
    return 1;
}

// The formats read by codecs of their own (see Codec), by their first bytes.
// WebP: a RIFF file of form WEBP.
static inline int is_webp_file(const unsigned char *d, size_t n) {
    return n >= 12 && d[0] == 'R' && d[1] == 'I' && d[2] == 'F' && d[3] == 'F' && d[8] == 'W' &&
           d[9] == 'E' && d[10] == 'B' && d[11] == 'P';
}
// HEIF (HEIC, AVIF): an ISO media file whose first box is ftyp with a HEIF
// or AVIF brand, major or compatible.
static inline int is_heif_file(const unsigned char *d, size_t n) {
    if (n < 16 || d[4] != 'f' || d[5] != 't' || d[6] != 'y' || d[7] != 'p') return 0;
    size_t box = load_be32(d);
    if (box < 16 || box > n) box = n;
    static const char BRANDS[][5] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                     "mif1", "msf1", "avif", "avis"};
    for (size_t p = 8; p + 4 <= box; p += p == 8 ? 8 : 4) {  // major brand, then the compatible ones
        for (const char *b : BRANDS) {
            if (d[p] == b[0] && d[p + 1] == b[1] && d[p + 2] == b[2] && d[p + 3] == b[3]) return 1;
        }
    }
    return 0;
}
// TIFF: classic or BigTIFF, either byte order.
static inline int is_tiff_file(const unsigned char *d, size_t n) {
    if (n < 8) return 0;
    return (d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
           (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43));
}
// Any of the formats above.
static inline int is_codec_file(const unsigned char *d, size_t n) {
    return is_webp_file(d, n) || is_heif_file(d, n) || is_tiff_file(d, n);
}

#endif
