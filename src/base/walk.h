// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The block structure of hostile files, walked and written: PNG chunks,
// JPEG segments and RIFF (WebP) chunks, each located and checked against the bytes there are
// before anything in it is read (the TIFF directory walk is meta/tiffdir.h).
// The walks are shared; what a caller does at a chunk or segment that is cut
// short or damaged (stop, skip it, give up on the file, or read on as a
// decoder would) is its own policy.
#ifndef TRIMLET_BASE_WALK_H
#define TRIMLET_BASE_WALK_H

#include "base/bytes.h"
#include "base/sink.h"

// ---------------------------------------------------------------------------
// PNG chunks: a 4-byte length, a 4-byte type, the data and a CRC

// A chunk type as a number, as png_chunk_next gives it ("IHDR" 0x49484452).
static inline uint32_t png_type(const char *t) { return load_be32((const unsigned char *)t); }

// One chunk. A chunk that does not lie wholly inside the data is not
// complete: its length and type are there when its 8-byte header is (name
// not NULL), else 0.
struct PngChunk {
    size_t at;                  // where it starts (its length field)
    size_t left;                // the bytes from there to the end of the data
    uint32_t length, type;      // as stored
    const unsigned char *name;  // its four type bytes; NULL when the header is cut
    const unsigned char *data;  // its `length` bytes of data (then the CRC); NULL unless complete
    int complete;               // header, data and CRC lie inside the data
};

// A walk over the chunks of a PNG file of n bytes at d, after its signature.
struct PngChunks {
    const unsigned char *d;
    size_t n, at;
};

PngChunks png_chunks(const unsigned char *d, size_t n);
// Reads the chunk where the walk is into *c and returns c->complete. The
// walk moves past a complete chunk, and to the end of the data past any
// other (so the next chunk read has no header).
int png_chunk_next(PngChunks *w, PngChunk *c);

// Writes a chunk to sink: its data is head (head_n bytes) then data (n
// bytes), either of which may be empty.
void png_put_chunk(Sink *sink, const char *type, const unsigned char *head, size_t head_n,
                   const unsigned char *data, size_t n);
// Stores a chunk of n bytes of data in memory: 12 + n bytes at out.
void png_store_chunk(unsigned char *out, const char *type, const unsigned char *data, size_t n);

// ---------------------------------------------------------------------------
// JPEG segments: a marker (0xFF, any fill bytes 0xFF, a code), then for most
// codes a 2-byte length that counts itself and the data after it

// What may lie between where a search starts and the marker it finds.
enum {
    JPEG_STRICT = 0,         // nothing: a byte other than 0xFF there is no marker
    JPEG_SKIP_STRAY = 1,     // bytes up to the next 0xFF (stray bytes) are skipped
    JPEG_SKIP_STUFFED = 2,   // and 0xFF 0x00 as well, as data (libjpeg's way)
    JPEG_SKIP_RESTARTS = 4,  // and restart markers: entropy-coded data after a scan header
};

// One marker and its segment.
struct JpegSegment {
    size_t at;        // its 0xFF (the last of any fill bytes before the code)
    unsigned marker;  // the code
    size_t skipped;   // the bytes passed over before it (a skipped marker with its fill bytes)
    int stuffed;      // 0xFF 0x00 was among them
    // The whole segment from at: 2 for the codes without a length (TEM,
    // RST0..7, SOI, EOI), else 2 + its length field; 0 when that field is
    // cut, under 2 or runs past the end. The data after the length field.
    size_t len;
    const unsigned char *data;
    size_t size;
};

// Finds the next marker from `from` in the n bytes at d, passing over what
// `how` allows (JPEG_*), and fills s->at and s->marker; 0 when the data
// ends first. s->skipped and s->stuffed say what was passed over, found or
// not; the segment's length is not read.
int jpeg_find_marker(const unsigned char *d, size_t n, size_t from, int how, JpegSegment *s);

// A walk over the segments of a JPEG file (from: after SOI).
struct JpegSegments {
    const unsigned char *d;
    size_t n, at;
    int how;
};

// The next marker and its segment's length; 0 when the data ends before a
// marker (s->skipped and s->stuffed still set). The walk moves past the
// segment, or to the end of the data when its length is bad (s->len 0).
int jpeg_segment_next(JpegSegments *w, JpegSegment *s);

// ---------------------------------------------------------------------------
// RIFF chunks (WebP): a 4-byte type, a 4-byte little-endian length, the
// data, and a pad byte after data of odd length

// One chunk: its type and length are there when its 8-byte header is (type
// not NULL); complete when its data is too (its pad byte perhaps not).
struct RiffChunk {
    size_t at;                  // where it starts (its type)
    size_t left;                // the bytes from there to the end of the data
    uint32_t length;            // as stored
    const unsigned char *type;  // its four type bytes; NULL when the header is cut
    const unsigned char *data;  // its `length` bytes of data; NULL unless complete
    int complete;
};

// A walk over the chunks of the n bytes at d from at.
struct RiffChunks {
    const unsigned char *d;
    size_t n, at;
};

// Reads the chunk where the walk is into *c and returns c->complete. The
// walk moves past a complete chunk and its pad byte (to the end of the data
// when the pad byte is missing), and to the end of the data past any other.
int riff_chunk_next(RiffChunks *w, RiffChunk *c);

#endif
