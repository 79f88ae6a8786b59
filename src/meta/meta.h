// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Photo metadata: the EXIF orientation, ICC profile and Exif block read from
// an input and written into an output.
#ifndef TRIMLET_META_META_H
#define TRIMLET_META_META_H

#include "base/base.h"
#include "base/sink.h"

// by the record; NULL/0 when absent.
struct Metadata {
    int orientation;         // EXIF Orientation 1..8; 1 when absent or malformed
    unsigned char *icc;      // the ICC profile, byte for byte
    size_t icc_size;
    unsigned char *exif;     // the Exif block as a TIFF structure ("II*\0" or "MM\0*" ...)
    size_t exif_size;
};

// Where encoded bytes go: a file or a growing memory block. Small writes are
// gathered in buf. A failure is remembered (failed, and the system's errno
// in error_no where there is one) and every later write is dropped; the

// ---------------------------------------------------------------------------
// photo.cpp

// Finds the photo metadata of a JPEG, PNG or WebP input; other formats have
// none.
// With want_orientation, m->orientation is the EXIF Orientation (1 when
// absent or malformed); with want_blocks, m->icc and m->exif are copies of
// the ICC profile and the Exif block (a TIFF structure, without JPEG's
// "Exif\0\0"), NULL when absent, malformed or when memory runs out. Never
// fails and never reads outside in's bytes; release with release_metadata.
void read_metadata(const Input *in, int want_orientation, int want_blocks, Metadata *m);
void release_metadata(Metadata *m);
// A TIFF file's metadata (tiffmeta.cpp), as read_metadata reads the other
// formats': the Orientation of its first IFD, its ICC profile, and an Exif
// block rebuilt from its own tags. Never fails and never reads outside the
// n bytes at d.
void read_tiff_metadata(const unsigned char *d, size_t n, int want_orientation, int want_blocks, Metadata *m);
// Sets m->orientation to 1 and, when m->exif has an Orientation entry, makes
// that entry SHORT 1: for output whose pixels were turned upright.
void set_orientation_one(Metadata *m);

// Makes the Orientation entry of a JPEG file's Exif block (its first APP1
// "Exif" segment) SHORT 1, in place, leaving the file's length as it is: for
// a file whose coefficients were turned upright. Anything else is untouched.
void jpeg_orientation_one(unsigned char *jpg, size_t len);

// Writes the PNG file png (len bytes, IHDR first, as stb_image_write makes
// it) to sink with meta's ICC profile (iCCP) and Exif block (eXIf) inserted
// after IHDR. meta NULL or empty: the file as it is. Returns 0, having
// written nothing, when memory to deflate the profile runs out.
int png_with_metadata(const unsigned char *png, size_t len, const Metadata *meta, Sink *sink);
// Writes meta's Exif block as an APP1 "Exif" segment (left out when larger
// than a segment holds) and its ICC profile as APP2 "ICC_PROFILE" segments
// of at most 65519 profile bytes each, numbered 1..count, to sink.
void write_jpeg_metadata(const Metadata *meta, Sink *sink);
// Writes the JPEG file jpg to sink with write_jpeg_metadata's segments
// inserted after SOI and the JFIF APP0 segment when there is one.
void jpeg_with_metadata(const unsigned char *jpg, size_t len, const Metadata *meta, Sink *sink);

#endif
