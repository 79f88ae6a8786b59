// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The bounded TIFF directory walk (tiffdir.h).
#include "meta/tiffdir.h"

#include "base/bytes.h"

static size_t type_size(unsigned type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;      // BYTE ASCII SBYTE UNDEFINED
    case 3: case 8: return 2;                      // SHORT SSHORT
    case 4: case 9: case 11: case 13: return 4;    // LONG SLONG FLOAT IFD
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;  // RATIONAL ... LONG8 SLONG8 IFD8
    default: return 0;
    }
}

int tiffdir_open(const unsigned char *d, size_t n, int bigtiff, TiffDir *t) {
    if (d == NULL || n < 8) return 0;
    if (d[0] == 'I' && d[1] == 'I') {
        t->big = 0;
    } else if (d[0] == 'M' && d[1] == 'M') {
        t->big = 1;
    } else {
        return 0;
    }
    unsigned magic = load_u16(d + 2, t->big);
    t->d = d;
    t->n = n;
    t->bigtiff = magic == 43;
    if (magic == 42) {
        t->ifd0 = load_u32(d + 4, t->big);
        return 1;
    }
    if (!bigtiff || !t->bigtiff || n < 16 || load_u16(d + 4, t->big) != 8) return 0;
    t->ifd0 = load_uint(d + 8, 8, t->big);
    return 1;
}

int tiffdir_ifd(const TiffDir *t, uint64_t off, uint64_t *count, size_t *first) {
    size_t head = t->bigtiff ? 8 : 2, entry = t->bigtiff ? 20 : 12;
    if (off < 8 || !bytes_fit(t->n, off, head)) return 0;
    uint64_t c = load_uint(t->d + off, (int)head, t->big);
    if (c > (t->n - off - head) / entry) return 0;
    *count = c;
    *first = (size_t)off + head;
    return 1;
}

void tiffdir_entry(const TiffDir *t, size_t first, uint64_t i, TiffEntry *e) {
    size_t esz = t->bigtiff ? 20 : 12, word = t->bigtiff ? 8 : 4;
    e->at = first + (size_t)i * esz;
    const unsigned char *p = t->d + e->at;
    e->tag = load_u16(p, t->big);
    e->type = load_u16(p + 2, t->big);
    e->count = load_uint(p + 4, (int)word, t->big);
    e->located = 0;
    e->value = NULL;
    e->size = 0;
    size_t ts = type_size(e->type);
    if (ts == 0 || e->count > t->n / ts) return;
    size_t size = (size_t)e->count * ts;
    const unsigned char *field = p + 4 + word;
    if (size <= word) {
        e->value = field;
    } else {
        uint64_t off = load_uint(field, (int)word, t->big);
        if (!bytes_fit(t->n, off, size)) return;
        e->value = t->d + off;
    }
    e->size = size;
    e->located = 1;
}

uint64_t tiffdir_next(const TiffDir *t, uint64_t off) {
    uint64_t count;
    size_t first;
    if (!tiffdir_ifd(t, off, &count, &first)) return 0;
    size_t word = t->bigtiff ? 8 : 4;
    size_t end = first + (size_t)count * (t->bigtiff ? 20 : 12);
    return bytes_fit(t->n, end, word) ? load_uint(t->d + end, (int)word, t->big) : 0;
}

int tiffdir_find(const TiffDir *t, uint64_t off, unsigned tag, TiffEntry *e) {
    uint64_t count;
    size_t first;
    if (!tiffdir_ifd(t, off, &count, &first)) return 0;
    for (uint64_t i = 0; i < count; ++i) {
        tiffdir_entry(t, first, i, e);
        if (e->located && e->tag == tag) return 1;
    }
    return 0;
}

int tiffdir_uint(const TiffDir *t, const TiffEntry *e, uint64_t *v) {
    if (!e->located || e->count < 1) return 0;
    if (e->type == 3) *v = load_u16(e->value, t->big);
    else if (e->type == 4 || e->type == 13) *v = load_u32(e->value, t->big);
    else if (e->type == 16 || e->type == 18) *v = load_uint(e->value, 8, t->big);
    else return 0;
    return 1;
}
