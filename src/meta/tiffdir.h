// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// TIFF directories read from hostile bytes: the header of a TIFF structure
// (a TIFF file, or the Exif block of a JPEG, PNG or WebP, which is one), its
// IFDs and their entries, each located and checked against the bytes there
// are before anything is read. Classic TIFF and BigTIFF, either byte order.
// The walk is shared; what a caller does with a damaged entry or chain (skip
// it, or give up on the whole block) is its own policy.
#ifndef TRIMLET_META_TIFFDIR_H
#define TRIMLET_META_TIFFDIR_H

#include <stddef.h>
#include <stdint.h>

struct TiffDir {
    const unsigned char *d;
    size_t n;
    int big;      // "MM": big-endian
    int bigtiff;  // 8-byte offsets and counts, 20-byte entries
    uint64_t ifd0;
};

// One IFD entry. `at` is the entry's offset in the block. When `located`,
// its value (count values of the type) lies inside the block at `value`,
// `size` bytes long; an entry of a type not known, or whose value lies
// outside the block, is not located.
struct TiffEntry {
    unsigned tag, type;
    uint64_t count;
    size_t at;
    int located;
    const unsigned char *value;
    size_t size;
};

// Reads the header of the TIFF structure of n bytes at d; with bigtiff 0,
// BigTIFF is refused. 0 when it is none.
int tiffdir_open(const unsigned char *d, size_t n, int bigtiff, TiffDir *t);
// The IFD at off: its entry count and where its first entry is; 0 when its
// count or its entries do not lie inside the block.
int tiffdir_ifd(const TiffDir *t, uint64_t off, uint64_t *count, size_t *first);
// Entry i of the IFD whose entries start at first (from tiffdir_ifd).
void tiffdir_entry(const TiffDir *t, size_t first, uint64_t i, TiffEntry *e);
// The offset of the IFD after the one at off (which tiffdir_ifd accepted),
// 0 when there is none or the block ends before it says.
uint64_t tiffdir_next(const TiffDir *t, uint64_t off);
// The first entry of tag in the IFD at off that is located, or 0.
int tiffdir_find(const TiffDir *t, uint64_t off, unsigned tag, TiffEntry *e);
// An integer entry's first value (SHORT, LONG, LONG8 or IFD types); 0 for
// other types or no value.
int tiffdir_uint(const TiffDir *t, const TiffEntry *e, uint64_t *v);

#endif
