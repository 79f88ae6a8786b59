// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The floor every other file stands on: the picture and rectangle records, an
// input's bytes, the one failure idiom, and large blocks.
//
// One failure idiom throughout: a function that can fail returns int, 1 on
// success and 0 on failure; on failure it has written exactly one message and
// its class (a trimlet_status) with fail() into the Failure record it was
// given, and released everything it held. The class is set where the failure
// happens, by the stage that knows what went wrong; nobody above reads the
// text to learn it.
//
// Nothing here or in any header of src/ is exported: the public interface is
// include/trimlet.h alone. The folders are floors (src/layers.txt): base,
// meta, codecs, crop, api; a file includes its own folder's headers and
// lower ones.
#ifndef TRIMLET_BASE_BASE_H
#define TRIMLET_BASE_BASE_H

#include "trimlet.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__) || defined(__clang__)
#define TRIMLET_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TRIMLET_PRINTF(f, a)
#endif

// ---------------------------------------------------------------------------
// Records

// A decoded or cropped picture: w x h pixels of 8-bit RGBA, rows top to
// bottom with no padding. Whoever holds the record owns px (free()).
struct Image {
    int w;
    int h;
    unsigned char *px;
};

// A rectangle in pixels; inside its image and at least 1x1 once a rule has
// chosen it.
struct Rect {
    int x, y, w, h;
};

// The largest width or height accepted from a decoded file.
static const int MAX_SIDE = 32768;

// An input file's bytes, read whole or borrowed from the caller.
struct Input {
    const unsigned char *data;
    size_t size;
    unsigned char *owned;  // the block to free, NULL when borrowed
    const char *name;      // the path for messages, or "<memory>"
    long long max_pixels;  // refuse images of more pixels than this; 0: no such limit
    // 1: a region decode stops after the region's last row, and damage
    // below it goes unseen (TRIMLET_VERIFY_REGION); 0: the file is decoded
    // to its end for the verdict.
    int region_verdict;
    // 1 when the bytes are a copy whose JPEG header was mended
    // (jpeg_mend_input): stray bytes between its segments left out.
    int mended;
};

// Photo metadata found in an input (photo.cpp). Blocks are malloc'd and owned

// A failure: its class and its one line of text.
struct Failure {
    int status;                    // a trimlet_status; TRIMLET_OK until something fails
    char text[TRIMLET_ERROR_SIZE];
};

// Sets err's class and formats its one-line message (always NUL-terminated,
// truncated at 511 characters) and returns 0, so a failure reads
// `return fail(err, TRIMLET_ERR_..., "...", ...);`. An argument may point
// into err->text.
int fail(Failure *err, int status, const char *fmt, ...) TRIMLET_PRINTF(3, 4);
// The seven's process-wide buffer.
char *legacy_err(void);

// malloc for a large block (a picture, a file, PNG data), with transparent
// huge pages asked for where the system offers them (memory.cpp). Released
// with free() like any other block.
void *block_malloc(size_t n);
// block_malloc for a picture of w x h RGBA pixels, with room for the PNG
// writer's filter bytes (one a row) after them; NULL when the size does not
// fit a size_t.
void *pixels_malloc(size_t w, size_t h);

// ---------------------------------------------------------------------------
// pixels.cpp

// Copies the w x h rectangle at (x, y) out of a source whose rows are src_w
// pixels wide. On allocation failure px is NULL and the message is
// "out of memory for <w>x<h> crop".
Image sub_image(int src_w, const unsigned char *src, int x, int y, int w, int h, Failure *err);
// Composites RGBA over the colour bg into a new w x h x 3 block, rounding to
// nearest; NULL when it cannot be allocated. One row: flatten_row.
unsigned char *flatten(const Image *img, const unsigned char bg[3]);
void flatten_row(const unsigned char *rgba, int w, const unsigned char bg[3], unsigned char *rgb);

#endif
