// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Deflate for PNG output and its chunks' CRC; inflate for PNG input.
#ifndef TRIMLET_BASE_ZLIB_H
#define TRIMLET_BASE_ZLIB_H

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// zlib.cpp

// The libdeflate level PNG data is compressed at; 0 when stb_image_write's own
// compressor is built in.
int png_deflate_level(void);
// Deflates d into a malloc'd zlib stream with the PNG encoder's compressor
// (libdeflate when built with it, else stb_image_write's) and stores its
// length; NULL when memory runs out.
unsigned char *zlib_deflate(const unsigned char *d, size_t len, size_t *out_len);
// zlib_deflate at libdeflate's level 1..12 (0: the PNG level above; stb's
// compressor, built without libdeflate, has its one level).
unsigned char *zlib_deflate_at(const unsigned char *d, size_t len, int level, size_t *out_len);
// stb_image_write's hook for compressing PNG data (STBIW_ZLIB_COMPRESS):
// libdeflate where built, else stb's own compressor. A malloc'd stream, or
// NULL when memory runs out.
unsigned char *zlib_stb_compress(unsigned char *data, int data_len, int *out_len, int quality);

// The size d deflates to at the compressor's fastest level, for comparing
// filters; 0 when memory runs out.
size_t zlib_deflated_size(const unsigned char *d, size_t len);
// Continues the CRC-32 of PNG chunks (start with crc 0).
uint32_t png_crc(uint32_t crc, const unsigned char *d, size_t len);

// ---------------------------------------------------------------------------
// inflate.cpp

enum { INFLATE_NO_MEMORY = -1, INFLATE_REFUSED = 0, INFLATE_END = 1, INFLATE_FULL = 2 };

// A zlib stream inflated piece by piece. Its data comes in segments (a PNG's
// IDAT chunks); the output goes into the caller's block, which keeps the
// last 32 KiB written (deflate's window) before the next piece.
struct Inflate {
    const unsigned char *p, *end;  // the segment being read
    size_t later;                  // the data's bytes in the segments after it
    int (*next)(void *user, const unsigned char **d, size_t *n);  // the next segment; 0 if none
    void *user;
    uint64_t buf;  // bits at hand: the next n, then later bits or zeros
    unsigned n;
    int state, final_block, fixed;
    size_t left, dist;  // what is left of a stored block or a match
    unsigned held;      // 0x100 | a literal decoded when there was no room
    uint32_t *tables;
};

// Starts a stream whose first segment is n bytes at first, with `later` more
// bytes in the segments `next` gives. 1; INFLATE_REFUSED for a zlib header
// stb_image refuses; INFLATE_NO_MEMORY. After a 1, inflate_free ends it.
int inflate_begin(Inflate *z, const unsigned char *first, size_t n, size_t later,
                  int (*next)(void *user, const unsigned char **d, size_t *n), void *user);
// Inflates into *out .. out_end and moves *out past what it wrote; window is
// where the block's output starts (at least 32 KiB before *out, or all the
// output so far). INFLATE_END: the final block has ended. INFLATE_FULL: there
// is more to write than room (the next call goes on). INFLATE_REFUSED: a
// stream stb_image might read otherwise or refuse (inflate.cpp lists them).
int inflate_more(Inflate *z, const unsigned char *window, unsigned char **out, unsigned char *out_end);
void inflate_free(Inflate *z);

#endif
