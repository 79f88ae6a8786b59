// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// PNG through the library's own inflater (non-interlaced, 1 to 8 bits) or
// libspng (linked dynamically): decoding the whole image, or only the rows
// and columns a crop keeps, row by row.
//
// Decoding here is a fast path, not the only one, and it must give exactly
// the pixels stb_image gives. The rows are inflated and unfiltered in the
// file's own format (libspng: SPNG_FMT_PNG); the conversion to RGBA is done here, the
// way stb_image converts: 16-bit samples by their high byte, grey copied to
// R, G and B, low bit depths of grey scaled up, palettes and tRNS expanded,
// no gamma. The chunks are walked here first, as stb_image walks them, and
// every file stb_image would refuse or read in some unusual way is declined
// (png_decode returns DECODE_DECLINED); so is every file libspng refuses. The caller then
// decodes the file with stb_image as before, whose verdict and message
// stand. libspng is made as lenient as stb_image where stb_image is: chunk
// CRCs and the zlib Adler-32 are not checked.
//
// Built without libspng (TRIMLET_USE_LIBSPNG undefined), png_decode declines
// every file.

#include "codecs/parts.h"
#include "base/walk.h"
#include "base/zlib.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBSPNG

static int png_takes(const Input *in) { return is_png_file(in->data, in->size); }

#include <spng.h>

// What libspng may hold for ancillary chunks (text, profiles): one chunk, and
// all of them together. A file over these is declined, and stb_image (which
// skips such chunks) decodes it.
static const size_t CHUNK_LIMIT = (size_t)16 << 20;
static const size_t CHUNK_CACHE_LIMIT = (size_t)64 << 20;

// ---------------------------------------------------------------------------
// The file as stb_image sees it

// What the conversion needs from the chunks, read as stb_image 2.27 reads
// them.
struct PngLayout {
    int w, h, depth, color, interlace;
    int has_trans;             // grey or RGB with a tRNS colour
    unsigned char tc8[3];      // that colour at 8 bits (depth <= 8), as stb scales it
    unsigned tc16[3];          // and at 16 bits
    unsigned char pal[256][4]; // RGBA; entries past the palette stay 0, as in stb_image
    int cut_short;             // the data ends before IEND (read_layout's to_region)
};

// Walks the chunks up to IEND and fills *L. Returns 0 (the file is left to
// stb_image) for anything stb_image refuses from the chunks alone, and for
// the unusual orders it reads in its own way: CgBI, a second IHDR, PLTE or
// tRNS, PLTE or tRNS after the image data, image data split by other chunks,
// no IEND.
//
// With `to_region` (TRIMLET_VERIFY_REGION), data that ends inside the image
// data or after it, before IEND, ends the walk there: the rows a region
// needs may all be in what is left.
static int read_layout(const unsigned char *d, size_t len, int to_region, PngLayout *L, const char **why) {
    memset(L, 0, sizeof *L);
    *why = "chunks stb_image reads its own way";
    PngChunks walk = png_chunks(d, len);
    int seen_ihdr = 0, pal_len = 0, seen_trns = 0, idat = 0;  // idat: 1 in the data, 2 after it
    const uint32_t IHDR = png_type("IHDR"), PLTE = png_type("PLTE"), TRNS = png_type("tRNS"),
                   IDAT = png_type("IDAT"), IEND = png_type("IEND");
    static const unsigned char DEPTH_SCALE[17] = {0, 0xff, 0x55, 0, 0x11, 0, 0, 0, 0x01,
                                                  0, 0,    0,    0, 0,    0, 0, 0};
    for (;;) {
        PngChunk chunk;
        int complete = png_chunk_next(&walk, &chunk);
        uint32_t n = chunk.length, type = chunk.type;
        const unsigned char *c = chunk.data;
        if (!complete) {
            int in_data = idat != 0 || (type == IDAT && seen_ihdr && chunk.left > 8);
            L->cut_short = 1;
            return to_region && in_data && !(L->color == 3 && pal_len == 0);
        }
        if (type != IHDR && !seen_ihdr) return 0;
        if (type == IDAT) {
            if (idat == 2) return 0;
            idat = 1;
        } else if (idat == 1) {
            idat = 2;
        }
        if (type == IHDR) {
            if (seen_ihdr || n != 13) return 0;
            seen_ihdr = 1;
            uint32_t w = load_be32(c), h = load_be32(c + 4);
            L->depth = c[8];
            L->color = c[9];
            L->interlace = c[12];
            if (w == 0 || h == 0 || w > (uint32_t)MAX_SIDE || h > (uint32_t)MAX_SIDE) return 0;
            L->w = (int)w;
            L->h = (int)h;
            int d8 = L->depth;
            if (d8 != 1 && d8 != 2 && d8 != 4 && d8 != 8 && d8 != 16) return 0;
            if (L->color > 6 || (L->color != 3 && (L->color & 1)) || (L->color == 3 && d8 == 16)) return 0;
            if ((L->color != 0 && L->color != 3) && d8 < 8) return 0;  // libspng's own rule
            if (c[10] != 0 || c[11] != 0 || L->interlace > 1) return 0;
            int n_comp = L->color == 3 ? 4 : (L->color & 2 ? 3 : 1) + (L->color & 4 ? 1 : 0);
            if ((1 << 30) / L->w / n_comp < L->h) return 0;  // stb_image: "too large"
        } else if (type == PLTE) {
            if (pal_len != 0 || idat != 0 || n > 256 * 3 || n % 3 != 0) return 0;
            pal_len = (int)(n / 3);
            for (int i = 0; i < pal_len; ++i) {
                L->pal[i][0] = c[i * 3];
                L->pal[i][1] = c[i * 3 + 1];
                L->pal[i][2] = c[i * 3 + 2];
                L->pal[i][3] = 255;
            }
        } else if (type == TRNS) {
            if (seen_trns || idat != 0) return 0;
            seen_trns = 1;
            if (L->color == 3) {
                if (pal_len == 0 || n > (uint32_t)pal_len) return 0;
                for (uint32_t i = 0; i < n; ++i) L->pal[i][3] = c[i];
            } else {
                int comps = L->color == 2 ? 3 : 1;
                if ((L->color & 4) || n != (uint32_t)comps * 2) return 0;
                L->has_trans = 1;
                for (int k = 0; k < comps; ++k) {
                    unsigned v = load_u16(c + k * 2, 1);
                    L->tc16[k] = v;
                    L->tc8[k] = (unsigned char)((v & 255) * DEPTH_SCALE[L->depth]);
                }
            }
        } else if (type == IEND) {
            if (idat == 0 || (L->color == 3 && pal_len == 0)) return 0;
            return 1;
        } else if (type != IDAT && !(type & (1u << 29))) {
            return 0;  // an unknown critical chunk, CgBI among them
        }
    }
}

// ---------------------------------------------------------------------------
// Converting rows

// A sample of a row packed at depth bits (1, 2, 4 or 8), pixel i.
static inline unsigned packed(const unsigned char *row, int depth, int i) {
    if (depth == 8) return row[i];
    int per_byte = 8 / depth;
    int shift = 8 - depth * (i % per_byte + 1);
    return (unsigned)(row[i / per_byte] >> shift) & ((1u << depth) - 1);
}

// A 16-bit sample as libspng leaves it (host byte order).
static inline unsigned sample16(const unsigned char *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// Converts pixels x0 .. x0+w-1 of a row in the file's format to RGBA.
static void convert_row(const PngLayout *L, const unsigned char *row, int x0, int w, unsigned char *o) {
    int color = L->color, depth = L->depth;
    if (depth == 16) {
        int comps = (color & 2 ? 3 : 1) + (color & 4 ? 1 : 0);
        const unsigned char *p = row + (size_t)x0 * (size_t)comps * 2;
        for (int i = 0; i < w; ++i, p += comps * 2, o += 4) {
            unsigned r = sample16(p), g = r, b = r, a = 0xffff;
            if (color == 2 || color == 6) {
                g = sample16(p + 2);
                b = sample16(p + 4);
            }
            if (color == 4) a = sample16(p + 2);
            if (color == 6) a = sample16(p + 6);
            if (L->has_trans && r == L->tc16[0] && (color == 0 || (g == L->tc16[1] && b == L->tc16[2]))) a = 0;
            o[0] = (unsigned char)(r >> 8);
            o[1] = (unsigned char)(g >> 8);
            o[2] = (unsigned char)(b >> 8);
            o[3] = (unsigned char)(a >> 8);
        }
        return;
    }
    switch (color) {
    case 0: {
        static const unsigned char SCALE[9] = {0, 0xff, 0x55, 0, 0x11, 0, 0, 0, 0x01};
        unsigned scale = SCALE[depth];
        for (int i = 0; i < w; ++i, o += 4) {
            unsigned char v = (unsigned char)(packed(row, depth, x0 + i) * scale);
            o[0] = o[1] = o[2] = v;
            o[3] = L->has_trans && v == L->tc8[0] ? 0 : 255;
        }
        break;
    }
    case 2: {
        const unsigned char *p = row + (size_t)x0 * 3;
        if (!L->has_trans) {
            // Four bytes at a time (the fourth, the next pixel's, written
            // over), the last pixel alone.
            int i = 0;
            for (; i + 1 < w; ++i, p += 3, o += 4) {
                memcpy(o, p, 4);
                o[3] = 255;
            }
            for (; i < w; ++i, p += 3, o += 4) {
                o[0] = p[0];
                o[1] = p[1];
                o[2] = p[2];
                o[3] = 255;
            }
            break;
        }
        for (int i = 0; i < w; ++i, p += 3, o += 4) {
            o[0] = p[0];
            o[1] = p[1];
            o[2] = p[2];
            o[3] = p[0] == L->tc8[0] && p[1] == L->tc8[1] && p[2] == L->tc8[2] ? 0 : 255;
        }
        break;
    }
    case 3:
        for (int i = 0; i < w; ++i, o += 4) memcpy(o, L->pal[packed(row, depth, x0 + i)], 4);
        break;
    case 4: {
        const unsigned char *p = row + (size_t)x0 * 2;
        for (int i = 0; i < w; ++i, p += 2, o += 4) {
            o[0] = o[1] = o[2] = p[0];
            o[3] = p[1];
        }
        break;
    }
    default:  // 6
        memcpy(o, row + (size_t)x0 * 4, (size_t)w * 4);
        break;
    }
}

// ---------------------------------------------------------------------------
// Decoding

struct DecodeJob {
    spng_ctx *ctx;
    const Input *in;
    size_t at;           // what the stream has given of the file (read_stream)
    PngLayout layout;
    unsigned char *px;   // the output block
    unsigned char *raw;  // one row, or the whole image when interlaced, in the file's format
    const char *why;
    int no_memory;  // the failure is memory's, not the file's
};

// ---------------------------------------------------------------------------
// The fast path: the image data inflated a chunk at a time into a block of
// rows (base/inflate.cpp), each row unfiltered and converted once whole. The inflater takes only streams
// stb_image reads the same way, and the filters here are stb_image's, so
// the pixels are stb_image's; anything else goes to libspng as before.

// Unfilters a row of n bytes, raw, into out against the row above, prev
// (zeros above the first); bpp is a constant in each call of unfilter_row.
static inline void unfilter_bpp(int type, unsigned char *out, const unsigned char *raw, const unsigned char *prev,
                                size_t n, size_t bpp) {
    size_t first = bpp < n ? bpp : n;
    switch (type) {
    case 1:
        memcpy(out, raw, first);
        for (size_t i = bpp; i < n; ++i) out[i] = (unsigned char)(raw[i] + out[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) out[i] = (unsigned char)(raw[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < first; ++i) out[i] = (unsigned char)(raw[i] + (prev[i] >> 1));
        for (size_t i = bpp; i < n; ++i) out[i] = (unsigned char)(raw[i] + ((out[i - bpp] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < first; ++i) out[i] = (unsigned char)(raw[i] + prev[i]);
        for (size_t i = bpp; i < n; ++i) out[i] = (unsigned char)(raw[i] + png_paeth(out[i - bpp], prev[i], prev[i - bpp]));
        break;
    default:  // none
        memcpy(out, raw, n);
        break;
    }
}

static void unfilter_row(int type, unsigned char *out, const unsigned char *raw, const unsigned char *prev, size_t n,
                         size_t bpp) {
    switch (bpp) {
    case 4: unfilter_bpp(type, out, raw, prev, n, 4); break;
    case 3: unfilter_bpp(type, out, raw, prev, n, 3); break;
    case 2: unfilter_bpp(type, out, raw, prev, n, 2); break;
    default: unfilter_bpp(type, out, raw, prev, n, 1); break;
    }
}

// The IDAT chunks after the first, for the inflater (they are consecutive:
// read_layout declines files where they are not).
static int next_idat(void *user, const unsigned char **d, size_t *n) {
    PngChunk c;
    if (!png_chunk_next((PngChunks *)user, &c) || c.type != png_type("IDAT")) return 0;
    *d = c.data;
    *n = c.length;
    return 1;
}

// Deflate's window: what the inflater may reach back to.
static const size_t WINDOW = 32768;

// r's rows through the inflater (base/inflate.cpp), unfiltered and converted
// row by row, into job->px: 1 done, 0 declined (libspng reads the file as
// before), -1 out of memory. With `to_region`, inflating stops after r's
// last row.
static int decode_inflated(DecodeJob *job, const Input *in, Rect r, int to_region) {
    const PngLayout *L = &job->layout;
    // 16-bit samples would need their bytes swapped for convert_row; a cut
    // file needs a reader that stops where it ends.
    if (L->interlace || L->cut_short || L->depth == 16) return 0;
    int comps = L->color == 3 ? 1 : (L->color & 2 ? 3 : 1) + (L->color & 4 ? 1 : 0);
    size_t row_bytes = ((size_t)L->w * (size_t)comps * (size_t)L->depth + 7) / 8, stride = row_bytes + 1;
    size_t bpp = L->depth == 8 ? (size_t)comps : 1, rows = to_region ? (size_t)(r.y + r.h) : (size_t)L->h;
    // The image data: its first chunk, and the bytes of all.
    const uint32_t IDAT = png_type("IDAT");
    PngChunks walk = png_chunks(in->data, in->size), rest = walk;
    PngChunk c;
    const unsigned char *first = NULL;
    size_t first_n = 0, total = 0;
    while (png_chunk_next(&walk, &c) && (c.type == IDAT || first == NULL)) {
        if (c.type != IDAT) continue;
        if (first == NULL) {
            first = c.data;
            first_n = c.length;
            rest = walk;
        }
        total += c.length;
    }
    if (first == NULL) return 0;
    // The block: the window and a row, then room for 256 KiB more (or a
    // row, if wider); then the row above and the row being unfiltered.
    size_t span = stride > ((size_t)1 << 18) ? stride : (size_t)1 << 18;
    size_t cap = WINDOW + stride + span;
    unsigned char *block = (unsigned char *)malloc(cap + 2 * row_bytes);
    if (block == NULL) return -1;
    unsigned char *prev = block + cap, *cur = prev + row_bytes;
    memset(prev, 0, row_bytes);
    Inflate z;
    int got = inflate_begin(&z, first, first_n, total - first_n, next_idat, &rest);
    if (got != 1) {
        free(block);
        return got == INFLATE_NO_MEMORY ? -1 : 0;
    }
    size_t fill = 0, at = 0, y = 0, left = rows * stride;
    int ok = 0;
    for (;;) {
        unsigned char *out = block + fill, *stop = block + (cap - fill > left ? fill + left : cap);
        got = inflate_more(&z, block, &out, stop);
        left -= (size_t)(out - (block + fill));
        fill = (size_t)(out - block);
        for (; fill - at >= stride && y < rows; at += stride, ++y) {
            const unsigned char *row = block + at;
            if (row[0] > 4) break;  // stb_image: "invalid filter"
            unfilter_row(row[0], cur, row + 1, prev, row_bytes, bpp);
            if ((int)y >= r.y && (int)y < r.y + r.h) convert_row(L, cur, r.x, r.w, job->px + (y - (size_t)r.y) * (size_t)r.w * 4);
            unsigned char *t = prev;
            prev = cur;
            cur = t;
        }
        if (y == rows) {
            // All rows are in. With the whole file's verdict, the stream
            // must end here, with nothing more to write.
            if (!to_region && got != INFLATE_END) got = inflate_more(&z, block, &out, out);
            ok = to_region || got == INFLATE_END;
            break;
        }
        if (got != INFLATE_FULL || fill - at >= stride) break;  // ended early, refused, a bad filter
        // Keep the window and the row begun; move them to the start.
        size_t from = fill > WINDOW ? fill - WINDOW : 0;
        if (from > at) from = at;
        memmove(block, block + from, fill - from);
        fill -= from;
        at -= from;
    }
    inflate_free(&z);
    free(block);
    return ok;
}

// ---------------------------------------------------------------------------
// Decoding through libspng

// The rows of r, row by row: rows before r and after it are inflated and
// unfiltered into the one row and dropped, so the data is read to its end;
// with `to_region`, inflating stops after r's last row.
static int decode_rows(DecodeJob *job, Rect r, size_t row_bytes, int to_region) {
    const PngLayout *L = &job->layout;
    // Rows as wide as the image land straight in the output block where
    // their RGBA needs no conversion here: 8-bit RGBA as the file has it,
    // and 8-bit RGB without tRNS expanded by libspng (alpha 255, as
    // stb_image gives). The rest go through the one row and convert_row.
    int fmt = SPNG_FMT_PNG, direct = 0;
    if (r.x == 0 && r.w == L->w && L->depth == 8 && (L->color == 6 || (L->color == 2 && !L->has_trans))) {
        direct = 1;
        if (L->color == 2) {
            fmt = SPNG_FMT_RGBA8;
            row_bytes = (size_t)L->w * 4;
        }
    }
    size_t out_row = (size_t)r.w * 4;
    int ret = spng_decode_image(job->ctx, NULL, 0, fmt, SPNG_DECODE_PROGRESSIVE);
    for (int y = 0; ret == 0; ++y) {
        int inside = y >= r.y && y < r.y + r.h;
        unsigned char *out = inside ? job->px + (size_t)(y - r.y) * out_row : NULL;
        ret = spng_decode_row(job->ctx, direct && inside ? out : job->raw, row_bytes);
        if (ret != 0 && ret != SPNG_EOI) break;
        if (inside && !direct) convert_row(L, job->raw, r.x, r.w, out);
        if (ret == SPNG_EOI) return y == L->h - 1;
        if (to_region && y == r.y + r.h - 1) return 1;
    }
    job->why = spng_strerror(ret);
    return 0;
}

// An interlaced image: the whole of it in the file's format, then r's rows
// converted.
static int decode_interlaced(DecodeJob *job, Rect r) {
    size_t size = 0;
    int ret = spng_decoded_image_size(job->ctx, SPNG_FMT_PNG, &size);
    if (ret == 0) {
        // Zeroed: libspng merges the passes' pixels of low bit depths into
        // their bytes, which must start out clear.
        job->raw = (unsigned char *)calloc(1, size);
        if (job->raw == NULL) {
            job->why = "out of memory";
            job->no_memory = 1;
            return 0;
        }
        ret = spng_decode_image(job->ctx, job->raw, size, SPNG_FMT_PNG, 0);
    }
    if (ret != 0) {
        job->why = spng_strerror(ret);
        return 0;
    }
    size_t stride = size / (size_t)job->layout.h;
    for (int y = 0; y < r.h; ++y) {
        convert_row(&job->layout, job->raw + (size_t)(r.y + y) * stride, r.x, r.w,
                    job->px + (size_t)y * (size_t)r.w * 4);
    }
    return 1;
}

// The file as a stream, for a file that ends early: libspng refuses a
// buffer whose last chunk runs past its end before reading any of it, but
// reads a stream only as far as the rows asked for need.
static int read_stream(spng_ctx *ctx, void *user, void *dest, size_t length) {
    (void)ctx;
    DecodeJob *job = (DecodeJob *)user;
    if (length > job->in->size - job->at) return SPNG_IO_EOF;
    memcpy(dest, job->in->data + job->at, length);
    job->at += length;
    return 0;
}

static int decode_body(DecodeJob *job, const Input *in, const Rect *region, Rect *r) {
    int to_region = in->region_verdict && region != NULL;
    if (!read_layout(in->data, in->size, to_region, &job->layout, &job->why)) return 0;
    const PngLayout *L = &job->layout;
    Rect whole = {0, 0, L->w, L->h};
    *r = region != NULL ? *region : whole;
    if (r->x < 0 || r->y < 0 || r->w < 1 || r->h < 1 || r->x > L->w - r->w || r->y > L->h - r->h) {
        job->why = "region outside the image";
        return 0;
    }
    job->px = (unsigned char *)pixels_malloc((size_t)r->w, (size_t)r->h);
    if (job->px == NULL) {
        job->why = "out of memory";
        job->no_memory = 1;
        return 0;
    }
    int fast = decode_inflated(job, in, *r, to_region);
    if (fast != 0) {
        job->why = "out of memory";
        job->no_memory = fast < 0;
        return fast > 0;
    }
    job->ctx = spng_ctx_new(SPNG_CTX_IGNORE_ADLER32);
    if (job->ctx == NULL) {
        job->why = "out of memory";
        job->no_memory = 1;
        return 0;
    }
    spng_set_crc_action(job->ctx, SPNG_CRC_USE, SPNG_CRC_USE);
    spng_set_image_limits(job->ctx, (uint32_t)MAX_SIDE, (uint32_t)MAX_SIDE);
    spng_set_chunk_limits(job->ctx, CHUNK_LIMIT, CHUNK_CACHE_LIMIT);
    job->in = in;
    int ret = L->cut_short ? spng_set_png_stream(job->ctx, read_stream, job)
                           : spng_set_png_buffer(job->ctx, in->data, in->size);
    spng_ihdr ihdr;
    if (ret == 0) ret = spng_get_ihdr(job->ctx, &ihdr);
    if (ret != 0) {
        job->why = spng_strerror(ret);
        return 0;
    }
    if ((int)ihdr.width != L->w || (int)ihdr.height != L->h || ihdr.bit_depth != L->depth ||
        ihdr.color_type != L->color || ihdr.interlace_method != L->interlace) {
        job->why = "header read two ways";
        return 0;
    }
    if (L->interlace) return decode_interlaced(job, *r);
    int comps = L->color == 3 ? 1 : (L->color & 2 ? 3 : 1) + (L->color & 4 ? 1 : 0);
    size_t row_bytes = ((size_t)L->w * (size_t)comps * (size_t)L->depth + 7) / 8;
    // Room for a row of RGBA too (decode_rows may ask libspng for that).
    job->raw = (unsigned char *)malloc(row_bytes > (size_t)L->w * 4 ? row_bytes : (size_t)L->w * 4);
    if (job->raw == NULL) {
        job->why = "out of memory";
        job->no_memory = 1;
        return 0;
    }
    return decode_rows(job, *r, row_bytes, to_region);
}

int png_decode(const Input *in, const Rect *region, Image *out, const char **why) {
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    if (!png_takes(in)) {
        if (why != NULL) *why = "not a PNG file";
        return DECODE_DECLINED;
    }
    DecodeJob job;
    memset(&job, 0, sizeof job);
    Rect r = {0, 0, 0, 0};
    int ok = decode_body(&job, in, region, &r);
    if (job.ctx != NULL) spng_ctx_free(job.ctx);
    free(job.raw);
    if (!ok) {
        free(job.px);
        if (why != NULL) *why = job.why;
        return job.no_memory ? DECODE_NO_MEMORY : DECODE_DECLINED;
    }
    out->w = r.w;
    out->h = r.h;
    out->px = job.px;
    return 1;
}

#else  // no libspng: stb_image decodes every PNG

int png_decode(const Input *in, const Rect *region, Image *out, const char **why) {
    (void)in;
    (void)region;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    if (why != NULL) *why = "built without libspng";
    return DECODE_DECLINED;
}

#endif

// ---------------------------------------------------------------------------
// The PNG codec: screened and sized as stb_image reads it, decoded by libspng
// in front of stb_image.

static int png_sniff(const unsigned char *d, size_t n) { return PNG_SPNG && is_png_file(d, n); }

static int png_open(Reader *r, Failure *err) { return screen_input(r->in, &r->w, &r->h, err); }

static int png_read(Reader *r, const Rect *region, int denom, Image *out, Failure *err) {
    (void)denom;
    (void)err;
    return png_decode(r->in, region, out, NULL);
}

const Codec PNG_CODEC = {"png", png_sniff, READ_REGION, png_open, png_read, NULL, NULL, NULL, NULL};
