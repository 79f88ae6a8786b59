// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Deflate for PNG output and its chunks' CRC.
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

#endif
