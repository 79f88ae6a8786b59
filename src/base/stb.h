// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// stb_image compiled in: its decoder, its inflater, and its own view of a file.
#ifndef TRIMLET_BASE_STB_H
#define TRIMLET_BASE_STB_H

#include <stddef.h>

// ---------------------------------------------------------------------------
// stb.cpp: stb_image, and its own view of a file
//
// The screening must see a file exactly as stb_image will, so it asks the
// decoder's own header parsers. They are private to stb_image (the stbi__
// names of stb 2.27) and are reached only through these wrappers, so that an
// update of stb has one place to look.

// Which of stb_image's probes takes the file, among those the screening
// treats specially, tried in the decoder's order.
enum StbKind { STB_OTHER, STB_BMP, STB_PSD, STB_PIC, STB_HDR, STB_TGA };
int stb_kind(const unsigned char *d, size_t len);
// Whether stb_image's JPEG probe takes the file (0xFF fill bytes, then the
// start-of-image marker).
int stb_is_jpeg(const unsigned char *d, size_t len);
// Whether any of the decoder's format probes takes the file: 0 is what
// stbi_load refuses as "unknown image type". The probes read only the first
// STB_PROBE_BYTES bytes, so that many (or the whole file, if shorter) decide.
static const size_t STB_PROBE_BYTES = 4096;
int stb_recognised(const unsigned char *d, size_t len);
// stbi_info: the size the decoder's header parser reads, as it stores it (a
// top-down BMP's height is negative); 0 when it refuses.
int stb_info(const unsigned char *d, size_t len, int *w, int *h);
// A binary PGM/PPM's header: size, channels, bits per sample and where the
// samples start; 0 when the decoder would refuse it.
int stb_pnm_header(const unsigned char *d, size_t len, int *w, int *h, int *channels,
                   int *bits, size_t *data);
// A Radiance file's header: size and where the pixel data starts.
int stb_hdr_header(const unsigned char *d, size_t len, int *w, int *h, size_t *data);
// Whether a*b*c*d + add fits the decoder's int arithmetic (stbi__mad4sizes_valid).
int stb_sizes_valid(int a, int b, int c, int d, int add);
// stbi_load_from_memory to 4 channels; NULL with *why set to the decoder's
// reason ("unknown error" when it gives none or an empty one).
unsigned char *stb_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why);
// The class of a decoder's short reason (stb_image's texts, and the
// screening's and readers' reasons, which use the same words): unknown types
// and unsupported variants TRIMLET_ERR_UNSUPPORTED, "too large"
// TRIMLET_ERR_TOO_LARGE, "outofmem" TRIMLET_ERR_NO_MEMORY, anything else
// TRIMLET_ERR_CORRUPT.
int reason_status(const char *why);
// Inflates a zlib stream (stb_image's decoder) into a malloc'd block of at
// most limit bytes and stores its length; NULL when the stream is corrupt,
// would inflate past limit, or memory runs out.
unsigned char *zlib_inflate(const unsigned char *d, size_t len, size_t limit, size_t *out_len);

#endif
