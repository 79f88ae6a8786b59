// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// One unit holds the whole library: the error text, decoding and encoding
// (through stb_image and stb_image_write, compiled in privately), the crop
// pipeline every crop function follows, and the four crop rules.
//
// Conventions inside this unit:
//   - Functions that can fail return 0 on failure and nonzero on success.
//   - Every failure path calls set_err exactly once, frees what it holds and
//     returns 0. Messages are lower case with no full stop; a crop rule's own
//     messages start with its short name ("rect: ", "aspect: ", ...).
//   - All memory comes from malloc/free and none survives a call.

#include "trimlet.h"

#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Decoder memory
//
// stb_image does not always write every byte of the blocks it allocates
// before they reach its output (truncated files, palette indices past the
// palette, scans that use a table never defined). Every block it allocates is
// therefore zeroed, so what it leaves unwritten reads as 0 and never as heap
// contents of the host. The unit is also built with stack variables starting
// zeroed (see CMakeLists.txt) for its stack arrays. Blocks it returns are
// still plain malloc blocks, released with free().

static void *zeroed_malloc(size_t size) { return calloc(1, size ? size : 1); }

// Grows a block with its new tail zeroed. A fresh calloc block rather than
// realloc and memset: a file may claim a chunk of gigabytes that it then
// fails to supply, and calloc leaves such a large block to the system's
// zero pages, costing nothing until written. The decoder always passes the
// size it last asked for as old_size.
static void *zeroed_realloc(void *p, size_t old_size, size_t new_size) {
    if (new_size <= old_size) return realloc(p, new_size ? new_size : 1);
    void *q = calloc(1, new_size);
    if (q == NULL) return NULL;
    if (p != NULL) memcpy(q, p, old_size);
    free(p);
    return q;
}

#define STBI_MALLOC(size) zeroed_malloc(size)
#define STBI_REALLOC_SIZED(p, old_size, new_size) \
    zeroed_realloc(p, (size_t)(old_size), (size_t)(new_size))
#define STBI_FREE(p) free(p)

// The library reads files itself (load_image), so the decoder's stdio entry
// points are left out.
#define STBI_NO_STDIO
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#ifdef TRIMLET_USE_LIBDEFLATE
#include <libdeflate.h>

// stb_image_write builds each PNG itself (it picks every row's filter and
// writes the chunks) but hands the filtered rows to this zlib compressor.
// libdeflate is both faster and tighter than stb's own compressor; the
// decoded pixels are the same either way. stb's quality argument is its own
// level scale and is ignored. Level 6 was chosen with bench/: on photo-like
// and screenshot-like crops it is 1.65-1.85x as fast as stb's compressor with
// files 32-39 % smaller; level 3 is faster still but 2-4 % larger, and levels
// from 9 up are slower than stb's own.
static const int PNG_DEFLATE_LEVEL = 6;

// Returns a malloc'd zlib stream of data (stb releases it with free), or NULL
// when memory runs out, which stb reports as an encoder failure.
static unsigned char *zlib_compress(unsigned char *data, int data_len,
                                    int *out_len, int quality) {
    (void)quality;
    struct libdeflate_compressor *c =
        libdeflate_alloc_compressor(PNG_DEFLATE_LEVEL);
    if (c == NULL) return NULL;
    size_t bound = libdeflate_zlib_compress_bound(c, (size_t)data_len);
    unsigned char *out = (unsigned char *)malloc(bound);
    size_t n = 0;
    if (out != NULL) {
        n = libdeflate_zlib_compress(c, data, (size_t)data_len, out, bound);
    }
    libdeflate_free_compressor(c);
    if (n == 0 || n > (size_t)INT32_MAX) {
        free(out);
        return NULL;
    }
    // Give back the unused tail before stb allocates the file image.
    unsigned char *fit = (unsigned char *)realloc(out, n);
    *out_len = (int)n;
    return fit != NULL ? fit : out;
}
#define STBIW_ZLIB_COMPRESS zlib_compress
#endif

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

// ---------------------------------------------------------------------------
// Error text

// The one piece of mutable state: zero-filled at load (so it reads as ""),
// never freed and never moved.
static char s_err[512];

// Formats a message into s_err. The text is formatted into a local buffer
// first, because an argument may point into s_err itself (a host can pass
// trimlet_last_error() back as a path). The terminating NUL is written here
// too, so a C runtime whose vsnprintf does not terminate on truncation still
// leaves at most 511 characters and a NUL.
static const char *set_err(const char *fmt, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

static const char *set_err(const char *fmt, ...) {
    char buf[sizeof s_err];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        buf[0] = '\0';
    }
    buf[sizeof buf - 1] = '\0';
    memcpy(s_err, buf, sizeof s_err);
    return s_err;
}

static void clear_err(void) { s_err[0] = '\0'; }

extern "C" TRIMLET_API int trimlet_init(void) {
    clear_err();
    return 1;
}

extern "C" TRIMLET_API void trimlet_cleanup(void) { clear_err(); }

extern "C" TRIMLET_API const char *trimlet_last_error(void) { return s_err; }

// ---------------------------------------------------------------------------
// Images

// A decoded or cropped picture: w x h pixels of 8-bit RGBA, rows top to
// bottom with no padding. Whoever holds the record owns px (free()).
struct Image {
    int w;
    int h;
    unsigned char *px;
};

// The largest width or height accepted from a decoded file.
static const int MAX_SIDE = 32768;

// ---------------------------------------------------------------------------
// Reading input files
//
// The input is read whole into memory, screened, and decoded from there: the
// screening below needs the bytes before stb_image sees them, and the file is
// closed before anything is decoded.

// Reads the file at path into a fresh block and stores its length in *len.
// Returns NULL on failure, with *why set to a short reason in the decoder's
// style ("can't fopen" when the file cannot be opened).
static unsigned char *read_file(const char *path, int *len, const char **why) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        *why = "can't fopen";
        return NULL;
    }
    // The size is only a hint for the first block: the loop reads until end of
    // file, so a file that is not seekable or changes size still reads whole.
    size_t cap = 65536;
    if (fseek(f, 0, SEEK_END) == 0) {
        long end = ftell(f);
        if (end >= 0 && (unsigned long)end < (unsigned long)INT_MAX) {
            cap = (size_t)end + 1;
        }
    }
    rewind(f);
    unsigned char *data = (unsigned char *)malloc(cap);
    size_t n = 0;
    *why = NULL;
    while (data != NULL) {
        n += fread(data + n, 1, cap - n, f);
        if (n < cap) break;
        if (cap > (size_t)INT_MAX) {
            *why = "file too large";
            break;
        }
        unsigned char *bigger = (unsigned char *)realloc(data, cap * 2);
        if (bigger == NULL) break;
        data = bigger;
        cap *= 2;
    }
    if (data == NULL || (*why == NULL && n == cap)) {
        *why = "outofmem";
    } else if (*why == NULL && ferror(f)) {
        *why = "can't fread";
    }
    fclose(f);
    if (*why != NULL) {
        free(data);
        return NULL;
    }
    *len = (int)n;
    return data;
}

// ---------------------------------------------------------------------------
// Screening input files
//
// stb_image 2.27 cannot be trusted with every file: a JPEG Huffman table
// whose code counts add up to more than 256 is built past the end of its
// arrays, and a Radiance run length of 0 makes its decoding loop spin
// forever. These checks find such files before the decoder sees them. They
// walk headers and segment structure only, never pixels (except the run
// bytes of a Radiance file, which are its structure). A file that passes may
// still fail in the decoder; a valid file always passes.
//
// The decoder reads past the end of its input as zeros; byte_at does too, so
// the walks below see what the decoder sees.

static inline unsigned byte_at(const unsigned char *d, size_t len, size_t i) {
    return i < len ? d[i] : 0u;
}

static inline unsigned be16_at(const unsigned char *d, size_t len, size_t i) {
    return byte_at(d, len, i) << 8 | byte_at(d, len, i + 1);
}

// stb_image takes a file for JPEG when it starts with 0xFF bytes and then
// the start-of-image marker 0xD8.
static int is_jpeg(const unsigned char *d, size_t len) {
    size_t p = 0;
    if (byte_at(d, len, 0) != 0xFF) return 0;
    while (p < len && d[p] == 0xFF) ++p;
    return byte_at(d, len, p) == 0xD8;
}

// Checks the tables of the DHT segment whose length field is at p: each
// table's 16 code counts must add up to at most 256.
static int dht_counts_ok(const unsigned char *d, size_t len, size_t p) {
    long left = (long)be16_at(d, len, p) - 2;
    p += 2;
    while (left > 0) {
        unsigned q = byte_at(d, len, p);
        if ((q >> 4) > 1 || (q & 15) > 3) return 1;  // the decoder refuses it
        long n = 0;
        for (size_t i = 1; i <= 16; ++i) n += byte_at(d, len, p + i);
        if (n > 256) return 0;
        left -= 17 + n;
        p += 17 + (size_t)n;
    }
    return 1;
}

// Follows the decoder's own path through a JPEG file and checks every DHT
// segment it could reach. Segments are skipped by their length fields; the
// entropy-coded data after a scan header is searched for its closing marker
// (0xFF followed by a byte other than 0x00, a restart marker or more 0xFF).
// Before the frame header the decoder skips stray bytes between segments,
// after it any stray byte stops it, and so does any marker it does not know.
// Returns 0 when a table would overflow.
static int jpeg_tables_ok(const unsigned char *d, size_t len) {
    size_t p = 0;
    while (p < len && d[p] == 0xFF) ++p;
    ++p;  // the start-of-image marker, checked by is_jpeg
    int in_frame = 0;
    while (p < len) {
        if (!in_frame) {
            const void *ff = memchr(d + p, 0xFF, len - p);
            if (ff == NULL) return 1;
            p = (size_t)((const unsigned char *)ff - d);
        }
        if (d[p] != 0xFF) return 1;
        while (p < len && d[p] == 0xFF) ++p;
        if (p >= len) return 1;
        unsigned m = d[p++];
        int known = m == 0xC4 || m == 0xDB || m == 0xDD ||
                    (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
        if (m == 0xC4 && !dht_counts_ok(d, len, p)) return 0;
        if (!in_frame && m >= 0xC0 && m <= 0xC2) {
            in_frame = 1;
        } else if (in_frame && m == 0xD9) {
            return 1;
        } else if (in_frame && m == 0xDA) {
            // Scan header, then entropy-coded data up to the next marker.
            p += be16_at(d, len, p);
            for (;;) {
                const void *ff = p < len ? memchr(d + p, 0xFF, len - p) : NULL;
                if (ff == NULL) return 1;
                size_t q = (size_t)((const unsigned char *)ff - d);
                size_t r = q + 1;
                while (r < len && d[r] == 0xFF) ++r;
                if (r >= len) return 1;
                if (d[r] != 0x00 && (d[r] < 0xD0 || d[r] > 0xD7)) {
                    p = r - 1;  // the 0xFF byte right before the marker
                    break;
                }
                p = r + 1;
            }
            continue;
        } else if (!(known || (in_frame && m == 0xDC))) {
            return 1;
        }
        p += be16_at(d, len, p);
    }
    return 1;
}

// Offset of the decoder's read position in the block it was started on.
static size_t read_offset(const stbi__context *s) {
    return (size_t)(s->img_buffer - s->img_buffer_original);
}

// Walks the pixel data of a Radiance file the way stb_image reads it. Returns
// "corrupt" for a run-length count of 0, which the decoder never gets past
// (this includes running out of data inside a run-length scanline, read as
// zeros), "truncated" for flat data shorter than the image, or NULL.
static const char *hdr_reason(const unsigned char *d, int len) {
    stbi__context s;
    stbi__start_mem(&s, d, len);
    int w = 0, h = 0, comp = 0;
    if (!stbi__hdr_info(&s, &w, &h, &comp)) return NULL;
    if (w <= 0 || h <= 0 || !stbi__mad4sizes_valid(w, h, 4, 4, 0)) return NULL;
    size_t n = (size_t)len, p = read_offset(&s);
    size_t flat = (size_t)w * (size_t)h * 4;
    if (w < 8 || w >= 32768) return n - p < flat ? "truncated" : NULL;
    for (int y = 0; y < h; ++y) {
        unsigned c1 = byte_at(d, n, p), c2 = byte_at(d, n, p + 1);
        unsigned hi = byte_at(d, n, p + 2);
        p += 3;
        if (c1 != 2 || c2 != 2 || (hi & 0x80)) {
            // Not run-length encoded: the decoder reads the rest of the image
            // as flat pixels, the first of which it has started.
            return p > n || n - p < flat - 3 ? "truncated" : NULL;
        }
        if ((int)(hi << 8 | byte_at(d, n, p++)) != w) return NULL;
        for (int k = 0; k < 4; ++k) {
            for (int x = 0; x < w;) {
                int count = (int)byte_at(d, n, p++);
                if (count > 128) {
                    count -= 128;
                    ++p;
                } else {
                    if (count == 0) return "corrupt";
                    p += (size_t)count;
                }
                if (count > w - x) return NULL;  // the decoder refuses it
                x += count;
            }
        }
    }
    return NULL;
}

// A binary PGM or PPM as stb_image reads it: size, samples per pixel, bytes
// per sample, and where the samples start.
struct PnmLayout {
    int w, h, channels, sample_bytes;
    size_t data;
};

static int is_pnm(const unsigned char *d, int len) {
    return len >= 2 && d[0] == 'P' && (d[1] == '5' || d[1] == '6');
}

// Reads the header with the decoder's own parser. Returns 0 when the decoder
// would refuse it.
static int pnm_layout(const unsigned char *d, int len, PnmLayout *pnm) {
    stbi__context s;
    stbi__start_mem(&s, d, len);
    int bits = stbi__pnm_info(&s, &pnm->w, &pnm->h, &pnm->channels);
    if (bits == 0 || pnm->w < 0 || pnm->h < 0) return 0;
    pnm->sample_bytes = bits / 8;
    pnm->data = read_offset(&s);
    return 1;
}

// Bytes a PNM file needs after its header.
static size_t pnm_data_size(const PnmLayout *pnm) {
    return (size_t)pnm->w * (size_t)pnm->h * (size_t)pnm->channels *
           (size_t)pnm->sample_bytes;
}

// Decodes a 16-bit PGM or PPM to RGBA. stb_image 2.27 converts such files
// with its 8-bit routine (reading past its block) and keeps the low byte of
// each sample; here each output byte is the sample's first byte in the file,
// its most significant one. Grey fills R, G and B; alpha is 255.
static unsigned char *decode_pnm16(const unsigned char *d, int len,
                                   const PnmLayout *pnm, const char **why) {
    if (!stbi__mad4sizes_valid(pnm->w, pnm->h, pnm->channels, 2, 0) ||
        !stbi__mad3sizes_valid(pnm->w, pnm->h, 4, 0)) {
        *why = "too large";
        return NULL;
    }
    if ((size_t)len - pnm->data < pnm_data_size(pnm)) {
        *why = "truncated";
        return NULL;
    }
    size_t count = (size_t)pnm->w * (size_t)pnm->h;
    unsigned char *px = (unsigned char *)malloc(count ? count * 4 : 1);
    if (px == NULL) {
        *why = "outofmem";
        return NULL;
    }
    const unsigned char *s = d + pnm->data;
    unsigned char *o = px;
    if (pnm->channels == 1) {
        for (size_t i = 0; i < count; ++i, s += 2, o += 4) {
            o[0] = o[1] = o[2] = s[0];
            o[3] = 255;
        }
    } else {
        for (size_t i = 0; i < count; ++i, s += 6, o += 4) {
            o[0] = s[0];
            o[1] = s[2];
            o[2] = s[4];
            o[3] = 255;
        }
    }
    return px;
}

// A TGA file too short for its pixels. Uncompressed pixels take at least
// their own size; a run-length packet covers at most 128 pixels with a count
// byte and one pixel. Header, palette and image ID only add to that, so every
// complete file passes.
static int tga_too_short(const unsigned char *d, int len) {
    size_t n = (size_t)len;
    unsigned type = byte_at(d, n, 2);
    size_t w = byte_at(d, n, 12) | byte_at(d, n, 13) << 8;
    size_t h = byte_at(d, n, 14) | byte_at(d, n, 15) << 8;
    size_t pixel_bytes = (byte_at(d, n, 16) + 7) / 8;
    size_t need = w * h * pixel_bytes;
    if (type >= 8) need = (w * h + 127) / 128 * (1 + pixel_bytes);
    return n < 18 || n - 18 < need;
}

// Reasons to refuse a file before its pixels are decoded, found in the
// structure of the file alone; NULL when there is none.
static const char *screen_structure(const unsigned char *d, int len) {
    if (is_jpeg(d, (size_t)len) && !jpeg_tables_ok(d, (size_t)len)) {
        return "bad DHT header";
    }
    return NULL;
}

// Entropy-coded data a JPEG of w x h pixels holds at the least: every 8x8
// block of its largest component takes at least one bit (its DC code) in
// some scan. stb_image reads missing data as zeros, so without this a few
// hundred bytes claiming 32768 x 16383 pixels cost a full decode.
static size_t jpeg_min_size(int w, int h) {
    return ((size_t)w + 7) / 8 * (((size_t)h + 7) / 8) / 8;
}

// Pixel bytes a BMP holds at the least: every row's pixels, without the
// padding that ends each row. stb_image reads missing rows as zeros.
static size_t bmp_min_size(const unsigned char *d, size_t n, int w, int h) {
    unsigned header = byte_at(d, n, 14) | byte_at(d, n, 15) << 8;
    size_t at = header == 12 ? 24 : 28;
    size_t bits = byte_at(d, n, at) | byte_at(d, n, at + 1) << 8;
    return (size_t)w * bits / 8 * (size_t)h;
}

// Pixel bytes a PSD holds at the least. The decoder reads at most four
// channels (at least one, or it would fill a large image from nothing), and
// a run-length packet covers at most 128 samples with two bytes.
static size_t psd_min_size(const unsigned char *d, size_t n, int w, int h) {
    size_t channels = be16_at(d, n, 12);
    if (channels < 1) channels = 1;
    if (channels > 4) channels = 4;
    size_t samples = (size_t)w * (size_t)h * channels;
    size_t raw = samples * (be16_at(d, n, 22) / 8);
    size_t packed = (samples + 127) / 128 * 2;
    return raw < packed ? raw : packed;
}

// Reasons to refuse a file of w x h pixels (as its header says) before
// decoding: data that cannot hold the pixels the header promises (a few
// bytes claiming a large image would otherwise cost a full decode of
// nothing), or a Radiance run that never ends. NULL when there is none.
// PNG and GIF can legitimately be tiny for their size and are left to the
// decoder.
static const char *screen_pixels(const unsigned char *d, int len, int w,
                                 int h) {
    size_t n = (size_t)len;
    if (w < 0 || h < 0) return NULL;  // the decoder refuses these itself
    if (is_jpeg(d, n)) return n < jpeg_min_size(w, h) ? "truncated" : NULL;
    PnmLayout pnm;
    if (is_pnm(d, len)) {
        if (pnm_layout(d, len, &pnm) && n - pnm.data < pnm_data_size(&pnm)) {
            return "truncated";
        }
        return NULL;
    }
    stbi__context s;
    stbi__start_mem(&s, d, len);
    if (stbi__bmp_test(&s)) {
        return n < bmp_min_size(d, n, w, h) ? "truncated" : NULL;
    }
    if (stbi__psd_test(&s)) {
        return n < psd_min_size(d, n, w, h) ? "truncated" : NULL;
    }
    // A PIC row takes at least a count and a value.
    if (stbi__pic_test(&s)) return n / 2 < (size_t)h ? "truncated" : NULL;
    if (stbi__hdr_test(&s)) return hdr_reason(d, len);
    if (stbi__tga_test(&s) && tga_too_short(d, len)) return "truncated";
    return NULL;
}

// The size a file's header gives, as the decoder stb_image picks reads it.
// stbi_info agrees with the decoders, except that it refuses PIC files of
// more than 2^28 pixels, which the PIC decoder still allocates and fills.
static int header_size(const unsigned char *d, int len, int *w, int *h) {
    int channels = 0;
    if (stbi_info_from_memory(d, len, w, h, &channels)) return 1;
    stbi__context s;
    stbi__start_mem(&s, d, len);
    if (!stbi__pic_test(&s) || len < 96) return 0;
    *w = (int)be16_at(d, (size_t)len, 92);
    *h = (int)be16_at(d, (size_t)len, 94);
    return 1;
}

// Decodes an in-memory file to RGBA. On failure returns NULL with *why set.
static unsigned char *decode_rgba(const unsigned char *d, int len, int *w,
                                  int *h, const char **why) {
    PnmLayout pnm;
    if (is_pnm(d, len) && pnm_layout(d, len, &pnm) && pnm.sample_bytes == 2) {
        unsigned char *px = decode_pnm16(d, len, &pnm, why);
        *w = pnm.w;
        *h = pnm.h;
        return px;
    }
    int channels = 0;
    unsigned char *px = stbi_load_from_memory(d, len, w, h, &channels, 4);
    if (px == NULL) {
        *why = stbi_failure_reason();
        if (*why == NULL) *why = "unknown error";
    }
    return px;
}

// Decodes path into *img as RGBA. On failure *img is {0, 0, NULL} and the
// message is set. The file's bytes and the decoded block are the only large
// blocks held, and the file's are freed as soon as decoding ends.
static int load_image(const char *path, Image *img) {
    img->w = 0;
    img->h = 0;
    img->px = NULL;
    int len = 0;
    const char *why = NULL;
    unsigned char *file = read_file(path, &len, &why);
    if (file == NULL) {
        set_err("cannot decode '%s': %s", path, why);
        return 0;
    }
    int w = 0, h = 0;
    unsigned char *px = NULL;
    why = screen_structure(file, len);
    if (why == NULL && header_size(file, len, &w, &h)) {
        // Refused on the header's word, before any pixel is allocated.
        if (w > MAX_SIDE || h > MAX_SIDE) {
            free(file);
            set_err("image too large: %dx%d", w, h);
            return 0;
        }
        why = screen_pixels(file, len, w, h);
    }
    if (why == NULL) px = decode_rgba(file, len, &w, &h, &why);
    free(file);
    if (px == NULL) {
        set_err("cannot decode '%s': %s", path, why);
        return 0;
    }
    if (w > MAX_SIDE || h > MAX_SIDE) {
        free(px);
        set_err("image too large: %dx%d", w, h);
        return 0;
    }
    img->w = w;
    img->h = h;
    img->px = px;
    return 1;
}

// Copies the w x h rectangle at (x, y) out of a source whose rows are src_w
// pixels wide. The caller guarantees the rectangle lies inside the source and
// is at least 1x1. On allocation failure px is NULL and the message is set.
static Image sub_image(int src_w, const unsigned char *src, int x, int y,
                       int w, int h) {
    Image out = {w, h, NULL};
    size_t row_bytes = (size_t)w * 4;
    out.px = (unsigned char *)malloc(row_bytes * (size_t)h);
    if (out.px == NULL) {
        set_err("out of memory for %dx%d crop", w, h);
        return out;
    }
    for (int r = 0; r < h; ++r) {
        size_t from = ((size_t)(y + r) * (size_t)src_w + (size_t)x) * 4;
        memcpy(out.px + (size_t)r * row_bytes, src + from, row_bytes);
    }
    return out;
}

// ASCII-only case-insensitive equality, independent of the C locale.
static int ext_equals(const char *a, const char *b) {
    for (;; ++a, ++b) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z') ca = (unsigned char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (unsigned char)(cb - 'A' + 'a');
        if (ca != cb) return 0;
        if (ca == '\0') return 1;
    }
}

enum OutputFormat { FORMAT_PNG, FORMAT_JPEG, FORMAT_BMP, FORMAT_TGA };

// Chooses the encoder from the text after the last dot of the whole path.
static OutputFormat format_for_path(const char *path) {
    const char *dot = strrchr(path, '.');
    if (dot == NULL) return FORMAT_PNG;
    const char *ext = dot + 1;
    if (ext_equals(ext, "jpg") || ext_equals(ext, "jpeg")) return FORMAT_JPEG;
    if (ext_equals(ext, "bmp")) return FORMAT_BMP;
    if (ext_equals(ext, "tga")) return FORMAT_TGA;
    return FORMAT_PNG;
}

// Destination of the encoder's bytes. The file is opened only when the first
// bytes leave the buffer, so an encoder that fails before producing anything
// leaves an existing file alone. Short writes are remembered and reported at
// the end, because stb_image_write's own file writers ignore them. The JPEG
// encoder hands over its output one byte at a time, so small pieces are
// gathered in buf and reach the file in large writes.
struct FileSink {
    const char *path;
    FILE *f;
    int failed;
    size_t used;
    unsigned char buf[8192];
};

// Writes size bytes at data to the file, opening it first if need be.
static void sink_put(FileSink *sink, const void *data, size_t size) {
    if (sink->failed || size == 0) return;
    if (sink->f == NULL) {
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) {
            sink->failed = 1;
            return;
        }
    }
    if (fwrite(data, 1, size, sink->f) != size) sink->failed = 1;
}

static void sink_flush(FileSink *sink) {
    sink_put(sink, sink->buf, sink->used);
    sink->used = 0;
}

static void sink_write(void *context, void *data, int size) {
    FileSink *sink = (FileSink *)context;
    if (size <= 0) return;
    size_t n = (size_t)size;
    if (n <= sizeof sink->buf - sink->used) {
        memcpy(sink->buf + sink->used, data, n);
        sink->used += n;
        return;
    }
    sink_flush(sink);
    if (n < sizeof sink->buf) {
        memcpy(sink->buf, data, n);
        sink->used = n;
    } else {
        sink_put(sink, data, n);
    }
}

// Closes the sink and folds every write failure into the encoder's result.
static int sink_finish(FileSink *sink, int encoded) {
    sink_flush(sink);
    if (encoded && !sink->failed && sink->f == NULL) {
        // An encoder that succeeded without producing a byte still owes the
        // caller a file; create it empty.
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) sink->failed = 1;
    }
    if (sink->f != NULL && fclose(sink->f) != 0) sink->failed = 1;
    sink->f = NULL;
    return sink->failed ? 0 : encoded;
}

// Composites one RGBA pixel over opaque white into three bytes, rounding to
// nearest.
static inline void flatten_px(const unsigned char *s, unsigned char *d) {
    unsigned a = s[3];
    unsigned white = 255u * (255u - a) + 127u;
    d[0] = (unsigned char)((s[0] * a + white) / 255u);
    d[1] = (unsigned char)((s[1] * a + white) / 255u);
    d[2] = (unsigned char)((s[2] * a + white) / 255u);
}

// Composites RGBA over opaque white into a new w x h x 3 block, rounding to
// nearest. Returns NULL when the block cannot be allocated.
//
// Opaque pixels keep their colour, and most images are opaque throughout, so
// pixels go four at a time: when all four alphas are 255 the colours are
// moved with four overlapping 4-byte copies, each one's fourth byte
// overwritten by the next (the last one's by the next group, which is why a
// group is taken only while a pixel follows it). Other groups and the last
// pixels are composited one by one.
static unsigned char *flatten_on_white(const Image *img) {
    size_t n = (size_t)img->w * (size_t)img->h;
    unsigned char *rgb = (unsigned char *)malloc(n * 3);
    if (rgb == NULL) return NULL;
    const unsigned char *s = img->px;
    unsigned char *d = rgb;
    size_t i = 0;
    for (; i + 4 < n; i += 4, s += 16, d += 12) {
        if ((s[3] & s[7] & s[11] & s[15]) == 255) {
            memcpy(d, s, 4);
            memcpy(d + 3, s + 4, 4);
            memcpy(d + 6, s + 8, 4);
            memcpy(d + 9, s + 12, 4);
        } else {
            flatten_px(s, d);
            flatten_px(s + 4, d + 3);
            flatten_px(s + 8, d + 6);
            flatten_px(s + 12, d + 9);
        }
    }
    for (; i < n; ++i, s += 4, d += 3) flatten_px(s, d);
    return rgb;
}

// Encodes img into path in the format its extension selects. img is neither
// changed nor freed.
static int save_image(const char *path, const Image *img) {
    FileSink sink = {path, NULL, 0, 0, {0}};
    OutputFormat fmt = format_for_path(path);
    int ok;
    if (fmt == FORMAT_JPEG || fmt == FORMAT_BMP) {
        unsigned char *rgb = flatten_on_white(img);
        if (rgb == NULL) {
            set_err("out of memory");
            return 0;
        }
        if (fmt == FORMAT_BMP) {
            ok = stbi_write_bmp_to_func(sink_write, &sink, img->w, img->h, 3,
                                        rgb);
        } else {
            ok = stbi_write_jpg_to_func(sink_write, &sink, img->w, img->h, 3,
                                        rgb, 90);
        }
        free(rgb);
    } else if (fmt == FORMAT_TGA) {
        ok = stbi_write_tga_to_func(sink_write, &sink, img->w, img->h, 4,
                                    img->px);
    } else {
        ok = stbi_write_png_to_func(sink_write, &sink, img->w, img->h, 4,
                                    img->px, 0);
    }
    ok = sink_finish(&sink, ok);
    if (!ok) {
        set_err("cannot encode '%s' (check the extension)", path);
        return 0;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Crop pipeline
//
// Every crop function runs: NULL-path check, load_image, its own parameter
// check and rectangle (begin_crop / its rule), then finish_crop: copy the
// rectangle, free the source, encode, free the copy, clear the error text.

// A crop rectangle inside the source image, at least 1x1.
struct Rect {
    int x, y, w, h;
};

// Steps shared by the start of every crop: reject NULL paths, then decode.
static int begin_crop(const char *rule, const char *in, const char *out,
                      Image *src) {
    src->w = 0;
    src->h = 0;
    src->px = NULL;
    if (in == NULL || out == NULL) {
        set_err("%s: NULL input/output", rule);
        return 0;
    }
    return load_image(in, src);
}

// Releases the source after a rule refused it (its message is already set).
static int abandon_crop(Image *src) {
    free(src->px);
    src->px = NULL;
    return 0;
}

// Copies r out of src, frees src, writes the copy to out and frees it. On
// success the error text is cleared and the encoder's result returned.
static int finish_crop(Image *src, Rect r, const char *out) {
    Image crop = sub_image(src->w, src->px, r.x, r.y, r.w, r.h);
    free(src->px);
    src->px = NULL;
    if (crop.px == NULL) return 0;
    int ok = save_image(out, &crop);
    free(crop.px);
    if (!ok) return 0;
    clear_err();
    return ok;
}

// ---------------------------------------------------------------------------
// Rule: explicit rectangle

// Clips [x, x+w) x [y, y+h) to the image. Sums are formed in 64 bits so no
// int the host passes can overflow them.
static int rect_region(const Image *img, int x, int y, int w, int h, Rect *r) {
    if (w <= 0 || h <= 0) {
        set_err("rect: width/height must be > 0 (got %dx%d)", w, h);
        return 0;
    }
    int64_t left = x < 0 ? 0 : x;
    int64_t top = y < 0 ? 0 : y;
    if (left > img->w) left = img->w;
    if (top > img->h) top = img->h;
    int64_t right = (int64_t)x + w;
    int64_t bottom = (int64_t)y + h;
    if (right > img->w) right = img->w;
    if (bottom > img->h) bottom = img->h;
    if (right <= left || bottom <= top) {
        set_err("rect: %d,%d %dx%d does not overlap the %dx%d image", x, y, w,
                h, img->w, img->h);
        return 0;
    }
    r->x = (int)left;
    r->y = (int)top;
    r->w = (int)(right - left);
    r->h = (int)(bottom - top);
    return 1;
}

extern "C" TRIMLET_API int trimlet_rect(const char *input_path,
                                        const char *output_path, int x, int y,
                                        int w, int h) {
    Image src;
    if (!begin_crop("rect", input_path, output_path, &src)) return 0;
    Rect r;
    if (!rect_region(&src, x, y, w, h, &r)) return abandon_crop(&src);
    return finish_crop(&src, r, output_path);
}

// ---------------------------------------------------------------------------
// Rule: centred aspect ratio

// Width and height parts of the supported ratios: 1:1, 4:3, 16:9, 3:2, 9:16.
static const int ASPECT_NUM[5] = {1, 4, 16, 3, 9};
static const int ASPECT_DEN[5] = {1, 3, 9, 2, 16};

// The largest centred region of ratio ASPECT_NUM[i]:ASPECT_DEN[i]. With sides
// of at most 32768 and ratio parts of at most 16, every product fits easily
// in 32 bits.
static int aspect_region(const Image *img, int index, Rect *r) {
    if ((unsigned)index > 4u) {
        set_err("aspect: ratio %d out of range 0..4", index);
        return 0;
    }
    int W = img->w, H = img->h;
    if (W < 1 || H < 1) {
        set_err("aspect: image has no pixels (%dx%d)", W, H);
        return 0;
    }
    int n = ASPECT_NUM[index], d = ASPECT_DEN[index];
    int cw, ch;
    if (W * d > H * n) {
        cw = (H * n + d / 2) / d;  // wider than the ratio: cut the sides
        ch = H;
    } else {
        cw = W;  // taller than or equal to the ratio: cut top and bottom
        ch = (W * d + n / 2) / n;
    }
    if (cw < 1) cw = 1;
    if (cw > W) cw = W;
    if (ch < 1) ch = 1;
    if (ch > H) ch = H;
    r->x = (W - cw) / 2;
    r->y = (H - ch) / 2;
    r->w = cw;
    r->h = ch;
    return 1;
}

extern "C" TRIMLET_API int trimlet_aspect(const char *input_path,
                                          const char *output_path,
                                          int ratio_index) {
    Image src;
    if (!begin_crop("aspect", input_path, output_path, &src)) return 0;
    Rect r;
    if (!aspect_region(&src, ratio_index, &r)) return abandon_crop(&src);
    return finish_crop(&src, r, output_path);
}

// ---------------------------------------------------------------------------
// Rule: automatic border trim
//
// A pixel is content when any channel differs from the same channel of its
// quadrant's corner pixel by more than the threshold. The result is the
// bounding box of all content pixels. Each row is split at the vertical
// quadrant boundary, so the reference is fixed within each half and no pixel
// needs a quadrant test. Runs of pixels are tested four at a time, two per
// 64-bit word: a word equal to its reference pair is background at once, and
// otherwise all eight channels are tested together without branches (see
// pair_content). Only a run that holds content is looked at pixel by pixel.

static inline uint32_t load_px(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

static inline uint64_t load_pair(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

static inline int channel_differs(int a, int b, int t) {
    int d = a - b;
    return d > t || -d > t;
}

static inline int is_content(const unsigned char *p, const unsigned char *ref,
                             int t) {
    return channel_differs(p[0], ref[0], t) ||
           channel_differs(p[1], ref[1], t) ||
           channel_differs(p[2], ref[2], t) ||
           channel_differs(p[3], ref[3], t);
}

// Constants for testing two pixels against one reference in a 64-bit word.
// The word's even and odd bytes are spread into four 16-bit lanes each, so
// that lane arithmetic never carries into a neighbour:
//   x = p + 256 - r          1..511, where p and r are one channel's values
//   x + 0x8000 - 257 - T     has bit 15 set exactly when p - r > T
//   0x8000 + 255 - T - x     has bit 15 set exactly when r - p > T
// (T is at most 254 here, so neither sum leaves its lane.)
struct PairRef {
    uint64_t pair;                 // the reference pixel twice
    uint64_t even_bias, odd_bias;  // 256 - r in each lane
    uint64_t above, below;         // 0x8000 - 257 - T and 0x8000 + 255 - T
};

static const uint64_t LANE_LOW = 0x00FF00FF00FF00FFull;
static const uint64_t LANE_ONE = 0x0001000100010001ull;
static const uint64_t LANE_SIGN = 0x8000800080008000ull;

static PairRef pair_ref(const unsigned char *ref, int t) {
    uint64_t px = load_px(ref);
    PairRef pr;
    pr.pair = px | px << 32;
    pr.even_bias = LANE_ONE * 256 - (pr.pair & LANE_LOW);
    pr.odd_bias = LANE_ONE * 256 - (pr.pair >> 8 & LANE_LOW);
    pr.above = LANE_ONE * (uint64_t)(0x8000 - 257 - t);
    pr.below = LANE_ONE * (uint64_t)(0x8000 + 255 - t);
    return pr;
}

// Nonzero when either pixel of the word v is content.
static inline uint64_t pair_content(uint64_t v, const PairRef *pr) {
    uint64_t even = (v & LANE_LOW) + pr->even_bias;
    uint64_t odd = (v >> 8 & LANE_LOW) + pr->odd_bias;
    uint64_t over = (even + pr->above) | (pr->below - even) |
                    (odd + pr->above) | (pr->below - odd);
    return over & LANE_SIGN;
}

// Nonzero when one of the four pixels at p is content.
static inline uint64_t run_content(const unsigned char *p, const PairRef *pr) {
    uint64_t a = load_pair(p), b = load_pair(p + 8);
    if (a == pr->pair && b == pr->pair) return 0;
    return pair_content(a, pr) | pair_content(b, pr);
}

// First content pixel in columns [from, to) of row, or -1.
static int first_content(const unsigned char *row, int from, int to,
                         const unsigned char *ref, int t) {
    PairRef pr = pair_ref(ref, t);
    int x = from;
    while (x + 4 <= to && !run_content(row + (size_t)x * 4, &pr)) x += 4;
    for (; x < to; ++x) {
        if (is_content(row + (size_t)x * 4, ref, t)) return x;
    }
    return -1;
}

// Last content pixel in columns [from, to) of row, or -1.
static int last_content(const unsigned char *row, int from, int to,
                        const unsigned char *ref, int t) {
    PairRef pr = pair_ref(ref, t);
    int x = to;
    while (x - 4 >= from && !run_content(row + (size_t)(x - 4) * 4, &pr)) x -= 4;
    for (--x; x >= from; --x) {
        if (is_content(row + (size_t)x * 4, ref, t)) return x;
    }
    return -1;
}

// Bounding box of the content pixels. Each row is searched from the left for
// its first content pixel and from the right for its last one, stopping where
// the box found so far already reaches: the pixels skipped that way could not
// change the box, so the result equals that of a full scan.
static int auto_region(const Image *img, int tolerance, Rect *r) {
    int t = tolerance < 0 ? 0 : tolerance > 100 ? 100 : tolerance;
    int T = t * 255 / 100;
    int W = img->w, H = img->h;
    int min_x = W, max_x = -1, min_y = H, max_y = -1;
    // A difference can never exceed 255, so at T 255 nothing is content.
    if (W >= 1 && H >= 1 && T < 255) {
        size_t stride = (size_t)W * 4;
        int half_w = W / 2, half_h = H / 2;
        const unsigned char *px = img->px;
        const unsigned char *tl = px;
        const unsigned char *tr = px + (size_t)(W - 1) * 4;
        const unsigned char *bl = px + (size_t)(H - 1) * stride;
        const unsigned char *br = bl + (size_t)(W - 1) * 4;
        for (int y = 0; y < H; ++y) {
            const unsigned char *row = px + (size_t)y * stride;
            const unsigned char *ref_l = y < half_h ? tl : bl;
            const unsigned char *ref_r = y < half_h ? tr : br;
            // First content pixel of the row, left half then right half.
            int first = first_content(row, 0, half_w, ref_l, T);
            if (first < 0) first = first_content(row, half_w, W, ref_r, T);
            if (first < 0) continue;
            if (min_y == H) min_y = y;
            max_y = y;
            if (first < min_x) min_x = first;
            if (first > max_x) max_x = first;
            // Last content pixel beyond what the box already covers.
            int from = max_x + 1;
            if (from < W) {
                int last = last_content(row, from > half_w ? from : half_w, W,
                                        ref_r, T);
                if (last < 0 && from < half_w) {
                    last = last_content(row, from, half_w, ref_l, T);
                }
                if (last > max_x) max_x = last;
            }
        }
    }
    if (max_x < 0) {
        set_err("auto: image is uniform (nothing to crop to, tolerance %d)", t);
        return 0;
    }
    r->x = min_x;
    r->y = min_y;
    r->w = max_x - min_x + 1;
    r->h = max_y - min_y + 1;
    return 1;
}

extern "C" TRIMLET_API int trimlet_auto(const char *input_path,
                                        const char *output_path,
                                        int tolerance_percent) {
    Image src;
    if (!begin_crop("auto", input_path, output_path, &src)) return 0;
    Rect r;
    if (!auto_region(&src, tolerance_percent, &r)) return abandon_crop(&src);
    return finish_crop(&src, r, output_path);
}

// ---------------------------------------------------------------------------
// Rule: percentage edges

static int edges_region(const Image *img, int top, int right, int bottom,
                        int left, Rect *r) {
    if (top < 0 || right < 0 || bottom < 0 || left < 0) {
        set_err("edges: negative percentage (t=%d r=%d b=%d l=%d)", top, right,
                bottom, left);
        return 0;
    }
    if (top > 49 || right > 49 || bottom > 49 || left > 49) {
        set_err("edges: percentage must be 0..49 (t=%d r=%d b=%d l=%d)", top,
                right, bottom, left);
        return 0;
    }
    int W = img->w, H = img->h;
    // At most 49 * 32768, far inside 32 bits.
    int x0 = left * W / 100;
    int x1 = W - right * W / 100;
    if (x0 >= x1) {
        set_err("edges: left+right=%d%% leaves no columns (%d px wide)",
                left + right, W);
        return 0;
    }
    int y0 = top * H / 100;
    int y1 = H - bottom * H / 100;
    if (y0 >= y1) {
        set_err("edges: top+bottom=%d%% leaves no rows (%d px tall)",
                top + bottom, H);
        return 0;
    }
    r->x = x0;
    r->y = y0;
    r->w = x1 - x0;
    r->h = y1 - y0;
    return 1;
}

extern "C" TRIMLET_API int trimlet_edges(const char *input_path,
                                         const char *output_path, int top,
                                         int right, int bottom, int left) {
    Image src;
    if (!begin_crop("edges", input_path, output_path, &src)) return 0;
    Rect r;
    if (!edges_region(&src, top, right, bottom, left, &r)) {
        return abandon_crop(&src);
    }
    return finish_crop(&src, r, output_path);
}
