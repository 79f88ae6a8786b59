// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Inflate: a zlib stream of PNG image data decoded into one block, for the
// PNG decoder's fast path (codecs/png.cpp).
//
// It is strict on purpose. stb_image's inflater has the last word on PNG
// data, so a stream is taken here only where stb_image would take it and
// give the same bytes; anything else is refused (INFLATE_REFUSED) and the
// PNG decoder reads the file the slower way, as it did before. Refused
// here: a code that is over-subscribed, a length or distance symbol that
// deflate reserves (286, 287; 30, 31) or one the code leaves unassigned, a
// distance reaching before the start, bits that run out, and a Huffman code
// begun with fewer than 16 bits of data left (stb_image's reader refuses
// that too). Allowed, as stb_image allows them: incomplete codes, any
// window size in the zlib header, no Adler-32 check.
//
// The reader keeps 56 to 63 bits at hand, refilled eight bytes at a time
// (one load, however many bits are left); codes are looked up in a table
// of their first bits (11 for literals and lengths, 8 for distances), long
// codes through a second table behind their entry.

#include "base/zlib.h"

#include <stdlib.h>
#include <string.h>

namespace {

// A table entry: the bits to take in bits 0-5 (the code and, for a length
// or distance, its extra bits; for a link to a second table, the first
// table's bits), the code's length in bits 6-9, the extra bits' count in
// bits 10-13 (for a link: the second table's bits), the kind in bits 14-15
// and the value in bits 16-30 (a length or distance base, a second table's
// start). A literal's entry has bit 31 set, the literal in bits 16-23 and
// its code's length in bits 24-27; where the first table's bits hold a
// second literal's code as well, bit 30 is set, the second literal is in
// bits 8-15 and the bits to take are both codes'.
enum { K_LENGTH = 0, K_END = 1, K_LINK = 2, K_BAD = 3 };
const uint32_t LITERAL = 0x80000000u, PAIR = 0x40000000u;
const uint32_t BAD_ENTRY = (uint32_t)K_BAD << 14;

inline uint32_t entry(unsigned kind, unsigned value, unsigned extra) {
    return (uint32_t)value << 16 | (uint32_t)kind << 14 | (uint32_t)extra << 10;
}
inline int is_literal(uint32_t e) { return (int32_t)e < 0; }
inline unsigned take_bits(uint32_t e) { return e & 63; }
inline unsigned code_bits(uint32_t e) { return is_literal(e) ? (e >> 24) & 15 : (e >> 6) & 15; }
inline unsigned extra_bits(uint32_t e) { return (e >> 10) & 15; }
inline unsigned kind_of(uint32_t e) { return (e >> 14) & 3; }
inline unsigned value_of(uint32_t e) { return (e >> 16) & 0x7fff; }
inline unsigned literal_of(uint32_t e) { return (e >> 16) & 255; }
// With the code's length filled in.
inline uint32_t with_code(uint32_t e, unsigned len) {
    if (is_literal(e)) return e | (uint32_t)len << 24 | len;
    return e | (uint32_t)len << 6 | (uint32_t)(len + (kind_of(e) == K_LENGTH ? extra_bits(e) : 0));
}

const int LIT_BITS = 11, DIST_BITS = 8, CLEN_BITS = 7;
// The first table and room for second tables of 2^(15 - bits) entries, one
// per symbol at most.
const int LIT_TABLE = (1 << LIT_BITS) + 288 * (1 << (15 - LIT_BITS));
const int DIST_TABLE = (1 << DIST_BITS) + 32 * (1 << (15 - DIST_BITS));

const unsigned short LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned char LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned short DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const unsigned char DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order the code length code's lengths are stored in.
const unsigned char CLEN_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What a symbol means, without its code.
uint32_t literal_symbol(unsigned s) {
    if (s < 256) return LITERAL | (uint32_t)s << 16;
    if (s == 256) return entry(K_END, 0, 0);
    if (s < 286) return entry(K_LENGTH, LENGTH_BASE[s - 257], LENGTH_EXTRA[s - 257]);
    return BAD_ENTRY;
}
uint32_t distance_symbol(unsigned s) { return s < 30 ? entry(K_LENGTH, DIST_BASE[s], DIST_EXTRA[s]) : BAD_ENTRY; }
uint32_t clen_symbol(unsigned s) { return LITERAL | (uint32_t)s << 16; }

// Fills table (first table of `bits` bits, second tables after it) for the
// n code lengths at lens; 0 for an over-subscribed code. Entries of codes an
// incomplete code leaves out are K_BAD. With `pairs`, a first-table entry of
// a literal whose bits hold the next literal's code as well takes both.
int build_table(uint32_t *table, int bits, const unsigned char *lens, int n, uint32_t (*symbol)(unsigned),
                int pairs) {
    unsigned count[16] = {0}, offs[16];
    for (int i = 0; i < n; ++i) count[lens[i]]++;
    count[0] = 0;
    int left = 1, max_len = 0;
    for (int len = 1; len <= 15; ++len) {
        left = (left << 1) - (int)count[len];
        if (left < 0) return 0;
        if (count[len] != 0) max_len = len;
    }
    unsigned short sorted[288];
    offs[1] = 0;
    for (int len = 1; len < 15; ++len) offs[len + 1] = offs[len] + count[len];
    for (int i = 0; i < n; ++i) {
        if (lens[i] != 0) sorted[offs[lens[i]]++] = (unsigned short)i;
    }
    size_t size = (size_t)1 << bits;
    for (size_t i = 0; i < size; ++i) table[i] = BAD_ENTRY;
    int sub_bits = max_len > bits ? max_len - bits : 0;
    size_t next_sub = size, sub_size = (size_t)1 << sub_bits;
    unsigned code = 0;  // canonical, first bit highest
    int k = 0;
    for (int len = 1; len <= max_len; ++len, code <<= 1) {
        for (unsigned c = 0; c < count[len]; ++c, ++code, ++k) {
            unsigned rev = 0;  // the code as it arrives: first bit lowest
            for (int b = 0; b < len; ++b) rev |= ((code >> b) & 1u) << (len - 1 - b);
            uint32_t e = with_code(symbol(sorted[k]), (unsigned)len);
            if (len <= bits) {
                for (size_t i = rev; i < size; i += (size_t)1 << len) table[i] = e;
                continue;
            }
            size_t first = rev & (size - 1);
            if (kind_of(table[first]) != K_LINK) {
                table[first] = entry(K_LINK, (unsigned)next_sub, (unsigned)sub_bits) | (uint32_t)bits;
                for (size_t i = 0; i < sub_size; ++i) table[next_sub + i] = BAD_ENTRY;
                next_sub += sub_size;
            }
            uint32_t *sub = table + value_of(table[first]);
            for (size_t i = rev >> bits; i < sub_size; i += (size_t)1 << (len - bits)) sub[i] = e;
        }
    }
    for (size_t i = 0; pairs && i < size; ++i) {
        // The next code's bits are i's above this code's, then bits not
        // known here: its entry at i >> len holds for every value of them
        // when its code is no longer than the known bits. (That entry may
        // be a pair already; its first literal is the one wanted.)
        uint32_t e = table[i];
        unsigned len = take_bits(e);
        if (!is_literal(e) || len >= (unsigned)bits) continue;
        uint32_t next = table[i >> len];
        unsigned next_len = code_bits(next);
        if (!is_literal(next) || len + next_len > (unsigned)bits) continue;
        table[i] = (e & ~(uint32_t)63) | PAIR | (uint32_t)literal_of(next) << 8 | (len + next_len);
    }
    return 1;
}

enum { S_HEADER, S_CODES, S_STORED, S_DONE };

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Moves to the next segment with data; 0 at the end of the stream's data.
int next_segment(Inflate *z) {
    while (z->later > 0) {
        const unsigned char *d = NULL;
        size_t n = 0;
        if (!z->next(z->user, &d, &n) || n > z->later) {
            z->later = 0;
            return 0;
        }
        z->later -= n;
        z->p = d;
        z->end = d + n;
        if (n > 0) return 1;
    }
    return 0;
}

inline void refill(Inflate *z) {
    if (z->end - z->p >= 8) {
        z->buf |= load64(z->p) << z->n;
        z->p += (63 - z->n) >> 3;
        z->n |= 56;
        return;
    }
    while (z->n <= 55 && (z->p < z->end || next_segment(z))) {
        z->buf |= (uint64_t)*z->p++ << z->n;
        z->n += 8;
    }
}

// Takes k (at most 32) bits; 0 when the data has fewer.
inline int take(Inflate *z, unsigned k, unsigned *v) {
    if (z->n < k) refill(z);
    if (z->n < k) return 0;
    *v = (unsigned)(z->buf & ((1ull << k) - 1));
    z->buf >>= k;
    z->n -= k;
    return 1;
}

// The entry of the next code in table (first table of `bits` bits), its
// code taken; BAD_ENTRY when the data runs short.
inline uint32_t decode(Inflate *z, const uint32_t *table, int bits) {
    if (z->n < 32) {
        refill(z);
        // stb_image's reader refuses a code begun with under 16 bits left
        // (all the data is at hand when fewer than 32 are).
        if (z->n < 16) return BAD_ENTRY;
    }
    uint32_t e = table[z->buf & ((1u << bits) - 1)];
    if (!is_literal(e) && kind_of(e) == K_LINK) {
        e = table[value_of(e) + ((z->buf >> bits) & ((1u << extra_bits(e)) - 1))];
    }
    unsigned len = code_bits(e);  // of a pair, the first code alone
    if (len > z->n) return BAD_ENTRY;
    z->buf >>= len;
    z->n -= len;
    return e;
}

int read_dynamic_codes(Inflate *z) {
    unsigned hlit, hdist, hclen;
    if (!take(z, 5, &hlit) || !take(z, 5, &hdist) || !take(z, 4, &hclen)) return 0;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    unsigned char clen_lens[19] = {0};
    for (unsigned i = 0; i < hclen; ++i) {
        unsigned v;
        if (!take(z, 3, &v)) return 0;
        clen_lens[CLEN_ORDER[i]] = (unsigned char)v;
    }
    uint32_t clen_table[1 << CLEN_BITS];
    if (!build_table(clen_table, CLEN_BITS, clen_lens, 19, clen_symbol, 0)) return 0;
    unsigned char lens[288 + 32];
    unsigned total = hlit + hdist, i = 0;
    while (i < total) {
        uint32_t e = decode(z, clen_table, CLEN_BITS);
        if (!is_literal(e)) return 0;
        unsigned sym = literal_of(e), repeat, fill = 0, v;
        if (sym < 16) {
            lens[i++] = (unsigned char)sym;
            continue;
        }
        if (sym == 16) {
            if (i == 0 || !take(z, 2, &v)) return 0;
            fill = lens[i - 1];
            repeat = 3 + v;
        } else if (sym == 17) {
            if (!take(z, 3, &v)) return 0;
            repeat = 3 + v;
        } else {
            if (!take(z, 7, &v)) return 0;
            repeat = 11 + v;
        }
        if (repeat > total - i) return 0;
        memset(lens + i, (int)fill, repeat);
        i += repeat;
    }
    uint32_t *lit = z->tables, *dist = z->tables + LIT_TABLE;
    return build_table(lit, LIT_BITS, lens, (int)hlit, literal_symbol, 1) &&
           build_table(dist, DIST_BITS, lens + hlit, (int)hdist, distance_symbol, 0);
}

void fixed_codes(Inflate *z) {
    unsigned char lens[288 + 32];
    memset(lens, 8, 144);
    memset(lens + 144, 9, 112);
    memset(lens + 256, 7, 24);
    memset(lens + 280, 8, 8);
    memset(lens + 288, 5, 32);
    build_table(z->tables, LIT_BITS, lens, 288, literal_symbol, 1);
    build_table(z->tables + LIT_TABLE, DIST_BITS, lens + 288, 32, distance_symbol, 0);
}

// Copies len bytes from dist back; room is the space from out on.
inline void copy_match(unsigned char *out, size_t dist, size_t len, size_t room) {
    const unsigned char *src = out - dist;
    if (dist >= 8 && room >= len + 16) {
        // Eight bytes at a time, the first sixteen whatever the length; up
        // to fifteen bytes past the match are written and later overwritten.
        unsigned char *stop = out + len;
        memcpy(out, src, 8);
        memcpy(out + 8, src + 8, 8);
        out += 16;
        src += 16;
        while (out < stop) {
            memcpy(out, src, 8);
            out += 8;
            src += 8;
        }
    } else if (dist == 1) {
        memset(out, *src, len);
    } else {
        for (size_t i = 0; i < len; ++i) out[i] = src[i];
    }
}

// A match of length bytes from dist back, as far as room allows; the rest
// is left for the next call.
inline int put_match(Inflate *z, unsigned char **out, unsigned char *out_end, size_t length, size_t dist) {
    size_t room = (size_t)(out_end - *out);
    size_t now = length < room ? length : room;
    copy_match(*out, dist, now, room);
    *out += now;
    z->left = length - now;
    z->dist = dist;
    return z->left == 0;
}

// Writes a literal entry's literal, or its pair, and takes its bits. The
// second byte is written either way (the fast loop has room; a single
// literal's is written over next).
inline void put_literals(uint32_t e, uint64_t *buf, unsigned *n, unsigned char **out) {
    *buf >>= take_bits(e);
    *n -= take_bits(e);
    (*out)[0] = (unsigned char)(e >> 16);
    (*out)[1] = (unsigned char)(e >> 8);
    *out += 1 + ((e & PAIR) != 0);
}

// The fast part of a block's codes: while the segment has 8 bytes more and
// out has room for the longest match (and a copy's overrun), symbols are
// read with no other checks, the state kept in locals. 1 at the block's
// end, 0 refused, -1 when the careful loop must take the next symbol.
int inflate_fast(Inflate *z, const unsigned char *window, unsigned char **out_at, unsigned char *out_end) {
    const uint32_t *lit = z->tables, *dist = z->tables + LIT_TABLE;
    const unsigned char *p = z->p, *end = z->end;
    uint64_t buf = z->buf;
    unsigned n = z->n;
    unsigned char *out = *out_at;
    int result = -1;
    const unsigned LIT_MASK = (1u << LIT_BITS) - 1, DIST_MASK = (1u << DIST_BITS) - 1;
    while (end - p >= 8 && out_end - out >= 258 + 16) {
        // 56 bits or more at hand: three literal codes (45), or a length
        // code and its extra bits (20 at most) and a distance code and its
        // extra bits (28).
        // The next code's entry is looked up from the bits at hand while
        // the refill loads, and again after it if they were too few.
        uint32_t e = lit[buf & LIT_MASK];
        unsigned had = n;
        buf |= load64(p) << n;
        p += (63 - n) >> 3;
        n |= 56;
        if (had < LIT_BITS) e = lit[buf & LIT_MASK];
        if (is_literal(e)) {
            // Up to three entries of literals (45 bits at most) from the
            // bits at hand.
            put_literals(e, &buf, &n, &out);
            e = lit[buf & LIT_MASK];
            if (!is_literal(e)) continue;
            put_literals(e, &buf, &n, &out);
            e = lit[buf & LIT_MASK];
            if (is_literal(e)) put_literals(e, &buf, &n, &out);
            continue;
        }
        if (kind_of(e) == K_LINK) {
            e = lit[value_of(e) + ((buf >> LIT_BITS) & ((1u << extra_bits(e)) - 1))];
            if (is_literal(e)) {
                put_literals(e, &buf, &n, &out);
                continue;
            }
        }
        if (kind_of(e) != K_LENGTH) {
            if (kind_of(e) == K_END) {
                buf >>= take_bits(e);
                n -= take_bits(e);
                result = 1;
            } else {
                result = 0;
            }
            break;
        }
        uint64_t saved = buf;
        buf >>= take_bits(e);
        n -= take_bits(e);
        size_t length = value_of(e) + (unsigned)((saved >> code_bits(e)) & ((1u << extra_bits(e)) - 1));
        e = dist[buf & DIST_MASK];
        if (kind_of(e) == K_LINK) e = dist[value_of(e) + ((buf >> DIST_BITS) & ((1u << extra_bits(e)) - 1))];
        if (kind_of(e) != K_LENGTH) {
            result = 0;
            break;
        }
        saved = buf;
        buf >>= take_bits(e);
        n -= take_bits(e);
        size_t distance = value_of(e) + (unsigned)((saved >> code_bits(e)) & ((1u << extra_bits(e)) - 1));
        if (distance > (size_t)(out - window)) {
            result = 0;
            break;
        }
        copy_match(out, distance, length, (size_t)(out_end - out));
        out += length;
    }
    z->p = p;
    z->buf = buf;
    z->n = n;
    *out_at = out;
    return result;
}

// The codes of a block to its end: 1, INFLATE_FULL, or 0 (refused).
int inflate_codes(Inflate *z, const unsigned char *window, unsigned char **out_at, unsigned char *out_end) {
    const uint32_t *lit = z->tables, *dist = z->tables + LIT_TABLE;
    if (z->held != 0) {
        if (*out_at == out_end) return INFLATE_FULL;
        *(*out_at)++ = (unsigned char)z->held;
        z->held = 0;
    }
    if (z->left > 0 && !put_match(z, out_at, out_end, z->left, z->dist)) return INFLATE_FULL;
    for (;;) {
        int fast = inflate_fast(z, window, out_at, out_end);
        if (fast >= 0) return fast;
        // One symbol with every check: near the end of a segment or of out.
        uint32_t e = decode(z, lit, LIT_BITS);
        if (is_literal(e)) {
            if (*out_at == out_end) {
                z->held = 0x100 | (unsigned char)(e >> 16);  // written first next time
                return INFLATE_FULL;
            }
            *(*out_at)++ = (unsigned char)(e >> 16);
            continue;
        }
        if (kind_of(e) == K_END) return 1;
        unsigned extra, length, distance;
        if (kind_of(e) != K_LENGTH || !take(z, extra_bits(e), &extra)) return 0;
        length = value_of(e) + extra;
        e = decode(z, dist, DIST_BITS);
        if (kind_of(e) != K_LENGTH || !take(z, extra_bits(e), &extra)) return 0;
        distance = value_of(e) + extra;
        if (distance > (size_t)(*out_at - window)) return 0;
        if (!put_match(z, out_at, out_end, length, distance)) return INFLATE_FULL;
    }
}

// What is left of a stored block: 1 at its end, INFLATE_FULL or 0.
int inflate_stored(Inflate *z, unsigned char **out_at, unsigned char *out_end) {
    unsigned char *out = *out_at;
    // Whole bytes still at hand first, then the segments.
    while (z->left > 0 && z->n >= 8 && out < out_end) {
        *out++ = (unsigned char)z->buf;
        z->buf >>= 8;
        z->n -= 8;
        z->left--;
    }
    // None are at hand now (or none are wanted): the bits above, read
    // ahead from where the segment is, go stale as it moves on.
    if (z->n == 0) z->buf = 0;
    while (z->left > 0 && out < out_end) {
        if (z->p == z->end && !next_segment(z)) break;
        size_t now = (size_t)(z->end - z->p);
        if (now > z->left) now = z->left;
        if (now > (size_t)(out_end - out)) now = (size_t)(out_end - out);
        memcpy(out, z->p, now);
        out += now;
        z->p += now;
        z->left -= now;
    }
    *out_at = out;
    if (z->left == 0) return 1;
    return out == out_end ? INFLATE_FULL : 0;
}

}  // namespace

int inflate_begin(Inflate *z, const unsigned char *first, size_t n, size_t later,
                  int (*next)(void *user, const unsigned char **d, size_t *n), void *user) {
    memset(z, 0, sizeof *z);
    z->p = first;
    z->end = first + n;
    z->later = later;
    z->next = next;
    z->user = user;
    z->state = S_HEADER;
    // The zlib header as stb_image checks it: deflate, no preset dictionary.
    unsigned cmf, flg;
    if (!take(z, 8, &cmf) || !take(z, 8, &flg) || (cmf * 256 + flg) % 31 != 0 || (flg & 32) || (cmf & 15) != 8) {
        return INFLATE_REFUSED;
    }
    z->tables = (uint32_t *)malloc((size_t)(LIT_TABLE + DIST_TABLE) * sizeof *z->tables);
    return z->tables != NULL ? 1 : INFLATE_NO_MEMORY;
}

void inflate_free(Inflate *z) {
    free(z->tables);
    z->tables = NULL;
}

int inflate_more(Inflate *z, const unsigned char *window, unsigned char **out, unsigned char *out_end) {
    for (;;) {
        int got;
        if (z->state == S_DONE) return INFLATE_END;
        if (z->state == S_HEADER) {
            unsigned type, len, nlen;
            if (!take(z, 1, &type)) return INFLATE_REFUSED;
            z->final_block = (int)type;
            if (!take(z, 2, &type)) return INFLATE_REFUSED;
            if (type == 0) {
                z->buf >>= z->n & 7;  // to the next whole byte
                z->n -= z->n & 7;
                if (!take(z, 16, &len) || !take(z, 16, &nlen) || nlen != (len ^ 0xffffu)) return INFLATE_REFUSED;
                z->left = len;
                z->state = S_STORED;
            } else if (type == 1) {
                if (!z->fixed) fixed_codes(z);
                z->fixed = 1;
                z->state = S_CODES;
            } else if (type == 2) {
                z->fixed = 0;
                if (!read_dynamic_codes(z)) return INFLATE_REFUSED;
                z->state = S_CODES;
            } else {
                return INFLATE_REFUSED;
            }
            continue;
        }
        got = z->state == S_STORED ? inflate_stored(z, out, out_end) : inflate_codes(z, window, out, out_end);
        if (got != 1) return got == INFLATE_FULL ? INFLATE_FULL : INFLATE_REFUSED;
        z->state = z->final_block ? S_DONE : S_HEADER;
    }
}
