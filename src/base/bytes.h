// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Integers in file bytes, in either byte order: the one set of loads and
// stores every parser and writer of the library uses. A load reads exactly
// the bytes it names; bounds are the caller's to check first (bytes_fit).
// ByteReader, at the end, is the bounded cursor for walks that read as a
// decoder reads, past the end as zeros.
#ifndef TRIMLET_BASE_BYTES_H
#define TRIMLET_BASE_BYTES_H

#include <stddef.h>
#include <stdint.h>

// Whether `want` bytes at offset `at` lie inside a block of n bytes, without
// overflowing.
static inline int bytes_fit(size_t n, uint64_t at, uint64_t want) { return at <= n && want <= n - at; }

// The unsigned integer of `bytes` bytes (1..8) at p, big-endian when big.
static inline uint64_t load_uint(const unsigned char *p, int bytes, int big) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[big ? i : bytes - 1 - i];
    return v;
}
static inline unsigned load_u16(const unsigned char *p, int big) { return (unsigned)load_uint(p, 2, big); }
static inline uint32_t load_u32(const unsigned char *p, int big) { return (uint32_t)load_uint(p, 4, big); }
static inline uint32_t load_be32(const unsigned char *p) { return load_u32(p, 1); }

// Stores the low `bytes` bytes (1..8) of v at p, big-endian when big.
static inline void store_uint(unsigned char *p, uint64_t v, int bytes, int big) {
    for (int i = 0; i < bytes; ++i) p[big ? bytes - 1 - i : i] = (unsigned char)(v >> (8 * i));
}
static inline void store_u16(unsigned char *p, unsigned v, int big) { store_uint(p, v, 2, big); }
static inline void store_u32(unsigned char *p, uint32_t v, int big) { store_uint(p, v, 4, big); }
static inline void store_be32(unsigned char *p, uint32_t v) { store_uint(p, v, 4, 1); }

// ---------------------------------------------------------------------------
// A bounded reader: a cursor over the n bytes at d whose reads never go past
// the end. A byte beyond it reads as 0, the way stb_image reads past the end
// of its input, and the cursor moves on all the same, so a walk stays in
// step with such a decoder; bytes_left says what remains (0 once past the
// end). A position saturates rather than wrap.
struct ByteReader {
    const unsigned char *d;
    size_t n;
    size_t at;  // the next byte to read; may lie past the end
};

static inline ByteReader bytes_reader(const unsigned char *d, size_t n, size_t at) {
    ByteReader r = {d, n, at};
    return r;
}
// The byte at offset i, 0 beyond the end.
static inline unsigned bytes_at(const ByteReader *r, size_t i) { return i < r->n ? r->d[i] : 0u; }
// The unsigned integer of `bytes` bytes (1..8) at offset i, big-endian when
// big; bytes beyond the end read as 0.
static inline uint64_t bytes_uint_at(const ByteReader *r, size_t i, int bytes, int big) {
    if (bytes_fit(r->n, i, (uint64_t)bytes)) return load_uint(r->d + i, bytes, big);
    uint64_t v = 0;
    for (int k = 0; k < bytes; ++k) {
        size_t j = (size_t)(big ? k : bytes - 1 - k);
        v = v << 8 | (j <= (size_t)-1 - i ? bytes_at(r, i + j) : 0u);
    }
    return v;
}
static inline size_t bytes_left(const ByteReader *r) { return r->at < r->n ? r->n - r->at : 0; }
static inline void bytes_skip(ByteReader *r, size_t k) { r->at = k > (size_t)-1 - r->at ? (size_t)-1 : r->at + k; }
// The next byte, or the next integer of `bytes` bytes; the cursor moves past it.
static inline unsigned bytes_next(ByteReader *r) {
    unsigned v = bytes_at(r, r->at);
    bytes_skip(r, 1);
    return v;
}
static inline uint64_t bytes_uint_next(ByteReader *r, int bytes, int big) {
    uint64_t v = bytes_uint_at(r, r->at, bytes, big);
    bytes_skip(r, (size_t)bytes);
    return v;
}

#endif
