// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Integers in file bytes, in either byte order: the one set of loads and
// stores every parser and writer of the library uses. A load reads exactly
// the bytes it names; bounds are the caller's to check first (bytes_fit).
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

#endif
