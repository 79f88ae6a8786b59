// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// A TIFF file's photo metadata, read from its own IFD0 without libtiff (so
// it never fails a crop, and reads nothing outside the input's bytes): the
// Orientation, the ICC profile, and an Exif block rebuilt from the file's
// tags for output that carries one.
#include "meta/meta.h"
#include "meta/tiffdir.h"
#include "base/bytes.h"

#include <stdlib.h>
#include <string.h>

// The Exif block rebuilt: a classic TIFF structure in the file's byte order
// whose IFD0 holds the file's Orientation, its description, make, model,
// software, date, artist, copyright and resolution tags, and pointers to
// copies of the file's Exif IFD and GPS IFD with every entry (but the
// pointers inside them and the maker note, whose offsets cannot be carried).
// Values are copied as they are, in the file's byte order.
static const unsigned IFD0_TAGS[] = {270, 271, 272, 274, 282, 283, 296, 305, 306, 315, 33432};
static const unsigned TAG_EXIF_IFD = 34665, TAG_GPS_IFD = 34853;
static const unsigned TAG_INTEROP_IFD = 40965, TAG_MAKER_NOTE = 37500;
// The largest block built (what a JPEG's APP1 segment holds).
static const size_t EXIF_MAX = 65527;

struct Block {
    unsigned char d[EXIF_MAX];
    size_t n;
    int big;
    int full;
};

static void put(Block *b, size_t at, uint64_t v, int bytes) { store_uint(b->d + at, v, bytes, b->big); }

// Reserves n bytes (word aligned) at the end; returns where, or 0 when full.
static size_t reserve(Block *b, size_t n) {
    size_t at = b->n + (b->n & 1);
    if (at > EXIF_MAX || n > EXIF_MAX - at) {
        b->full = 1;
        return 0;
    }
    memset(b->d + b->n, 0, at + n - b->n);
    b->n = at + n;
    return at;
}

// Writes the IFD of the given entries (value of a pointer entry: 0, patched
// by the caller) at the end of the block; returns the offset of each entry's
// value field through fields, and the IFD's offset.
static size_t write_ifd(Block *b, const TiffEntry *e, int count, size_t *fields) {
    size_t at = reserve(b, 2 + (size_t)count * 12 + 4);
    if (at == 0) return 0;
    put(b, at, (uint64_t)count, 2);
    for (int i = 0; i < count; ++i) {
        size_t p = at + 2 + (size_t)i * 12;
        // Only classic TIFF's types come here (BigTIFF's 8-byte integers do
        // not exist in Exif), so the count fits its 4 bytes.
        put(b, p, e[i].tag, 2);
        put(b, p + 2, e[i].type, 2);
        put(b, p + 4, e[i].count, 4);
        fields[i] = p + 8;
        if (e[i].size <= 4) {
            memcpy(b->d + p + 8, e[i].value, e[i].size);
        } else {
            size_t v = reserve(b, e[i].size);
            if (v == 0) return 0;
            memcpy(b->d + v, e[i].value, e[i].size);
            put(b, p + 8, v, 4);
        }
    }
    return at;
}

// The entries of the IFD at off to copy into an Exif sub-IFD, in order.
static int copyable_entries(const TiffDir *t, uint64_t off, TiffEntry *out, int max) {
    uint64_t count;
    size_t first;
    if (!tiffdir_ifd(t, off, &count, &first)) return 0;
    int k = 0;
    for (uint64_t i = 0; i < count && k < max; ++i) {
        TiffEntry e;
        tiffdir_entry(t, first, i, &e);
        if (!e.located) continue;
        if (e.type > 12 || e.tag == TAG_INTEROP_IFD || e.tag == TAG_MAKER_NOTE || e.tag == TAG_EXIF_IFD ||
            e.tag == TAG_GPS_IFD || e.size > 0xFFFFFFFFu) {
            continue;
        }
        out[k++] = e;
    }
    return k;
}

// Writes a copied sub-IFD and patches the pointer at field to it.
static void write_sub_ifd(Block *b, const TiffDir *t, uint64_t off, size_t field) {
    static const int MAX_ENTRIES = 256;
    TiffEntry e[MAX_ENTRIES];
    size_t fields[MAX_ENTRIES];
    int count = copyable_entries(t, off, e, MAX_ENTRIES);
    size_t at = write_ifd(b, e, count, fields);
    if (at != 0) put(b, field, at, 4);
}

static unsigned char *build_exif(const TiffDir *t, uint64_t ifd0, size_t *size) {
    TiffEntry e[sizeof IFD0_TAGS / sizeof IFD0_TAGS[0] + 2];
    int count = 0;
    for (unsigned tag : IFD0_TAGS) {
        if (tiffdir_find(t, ifd0, tag, &e[count]) && e[count].type <= 12) ++count;
    }
    uint64_t sub[2] = {0, 0};
    int has_orientation = 0;
    for (int i = 0; i < count; ++i) has_orientation |= e[i].tag == 274;
    static const unsigned char ZERO[4] = {0, 0, 0, 0};
    const unsigned POINTERS[2] = {TAG_EXIF_IFD, TAG_GPS_IFD};
    int pointer_at[2] = {-1, -1};
    for (int k = 0; k < 2; ++k) {
        TiffEntry p;
        if (tiffdir_find(t, ifd0, POINTERS[k], &p) && tiffdir_uint(t, &p, &sub[k]) && sub[k] != 0) {
            pointer_at[k] = count;
            e[count++] = TiffEntry{POINTERS[k], 4, 1, 0, 1, ZERO, 4};
        }
    }
    if (!has_orientation && pointer_at[0] < 0 && pointer_at[1] < 0) return NULL;
    Block *b = (Block *)malloc(sizeof *b);
    if (b == NULL) return NULL;
    b->big = t->big;
    b->full = 0;
    b->n = 8;
    memcpy(b->d, t->big ? "MM\0*" : "II*\0", 4);
    put(b, 4, 8, 4);
    size_t fields[sizeof IFD0_TAGS / sizeof IFD0_TAGS[0] + 2];
    write_ifd(b, e, count, fields);
    for (int k = 0; k < 2; ++k) {
        if (pointer_at[k] >= 0 && !b->full) write_sub_ifd(b, t, sub[k], fields[pointer_at[k]]);
    }
    unsigned char *out = NULL;
    if (!b->full) {
        out = (unsigned char *)malloc(b->n);
        if (out != NULL) {
            memcpy(out, b->d, b->n);
            *size = b->n;
        }
    }
    free(b);
    return out;
}

void read_tiff_metadata(const unsigned char *d, size_t n, int want_orientation, int want_blocks, Metadata *m) {
    memset(m, 0, sizeof *m);
    m->orientation = 1;
    TiffDir t;
    if (!tiffdir_open(d, n, 1, &t)) return;
    uint64_t ifd0 = t.ifd0;
    TiffEntry e;
    uint64_t v = 0;
    if (want_orientation && tiffdir_find(&t, ifd0, 274, &e) && tiffdir_uint(&t, &e, &v) && v >= 1 && v <= 8) {
        m->orientation = (int)v;
    }
    if (!want_blocks) return;
    if (tiffdir_find(&t, ifd0, 34675, &e) && (e.type == 7 || e.type == 1) && e.size > 0) {
        m->icc = (unsigned char *)malloc(e.size);
        if (m->icc != NULL) {
            memcpy(m->icc, e.value, e.size);
            m->icc_size = e.size;
        }
    }
    m->exif = build_exif(&t, ifd0, &m->exif_size);
}
