// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Classic files stb_image refuses or misreads, read here instead (JPEG
// headers with stray bytes are mended as they are read: jpegmend.cpp,
// declared in codecs.h): BMP with RLE or a palette before
// direct-colour pixels (bmp.cpp), the Netpbm forms stb_image does not read
// (pnm.cpp), GIFs without a colour table or with an overfull LZW table
// (gifstill.cpp).

#ifndef TRIMLET_CODECS_CLASSIC_H
#define TRIMLET_CODECS_CLASSIC_H

#include "codecs/parts.h"

// bmp.cpp: a BMP that stb_image refuses but the format allows (RLE8, RLE4,
// direct colour with a palette before the pixels). bmp_takes says from the
// header alone; bmp_header gives its size (0 with *why set when refused);
// bmp_decode decodes it to RGBA, every count bounded (NULL with *why set).
int bmp_takes(const unsigned char *d, size_t len);
int bmp_header(const unsigned char *d, size_t len, int *w, int *h, const char **why);
unsigned char *bmp_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why);

// pnm.cpp: the Netpbm forms P1 (plain bitmap), P2, P3 (plain grey and
// colour) and P4 (binary bitmap), which stb_image does not read.
static inline int is_pnm_extra(const unsigned char *d, size_t n) {
    return n >= 3 && d[0] == 'P' && d[1] >= '1' && d[1] <= '4' &&
           (d[2] == ' ' || d[2] == '\t' || d[2] == '\n' || d[2] == '\r' || d[2] == '#');
}
int pnm_header(const unsigned char *d, size_t len, int *w, int *h, const char **why);
unsigned char *pnm_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why);

// gifstill.cpp: a GIF stb_image refuses for a reason browsers read past (gif_takes
// says from stb_image's reason): no colour table, an LZW table kept full.
int gif_takes(const char *why);
unsigned char *gif_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why);

#endif
