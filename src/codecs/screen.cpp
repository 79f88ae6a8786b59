// trimlet: crop image files. SPDX-License-Identifier: MIT
//
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
// The decoder reads past the end of its input as zeros; ByteReader does
// too, so the walks below see what the decoder sees.

#include "codecs/parts.h"
#include "base/stb.h"
#include "base/walk.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

// Checks the tables of the DHT segment whose length field is at p: each
// table's 16 code counts must add up to at most 256.
static int dht_counts_ok(const ByteReader *r, size_t p) {
    long left = (long)bytes_uint_at(r, p, 2, 1) - 2;
    p += 2;
    while (left > 0) {
        unsigned q = bytes_at(r, p);
        if ((q >> 4) > 1 || (q & 15) > 3) return 1;  // the decoder refuses it
        long n = 0;
        for (size_t i = 1; i <= 16; ++i) n += bytes_at(r, p + i);
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
    ByteReader r = bytes_reader(d, len, 0);
    JpegSegment s;
    // The start-of-image marker, checked by stb_is_jpeg.
    size_t p = jpeg_find_marker(d, len, 0, JPEG_STRICT, &s) ? s.at + 2 : len;
    int in_frame = 0;
    for (;;) {
        if (!jpeg_find_marker(d, len, p, in_frame ? JPEG_STRICT : JPEG_SKIP_STRAY, &s)) return 1;
        unsigned m = s.marker;
        p = s.at + 2;
        int known = m == 0xC4 || m == 0xDB || m == 0xDD ||
                    (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
        if (m == 0xC4 && !dht_counts_ok(&r, p)) return 0;
        if (!in_frame && m >= 0xC0 && m <= 0xC2) {
            in_frame = 1;
        } else if (in_frame && m == 0xD9) {
            return 1;
        } else if (in_frame && m == 0xDA) {
            // Scan header, then entropy-coded data up to the next marker.
            p += bytes_uint_at(&r, p, 2, 1);
            if (!jpeg_find_marker(d, len, p, JPEG_SKIP_STRAY | JPEG_SKIP_STUFFED | JPEG_SKIP_RESTARTS, &s)) {
                return 1;
            }
            p = s.at;  // the 0xFF byte right before the marker
            continue;
        } else if (!(known || (in_frame && m == 0xDC))) {
            return 1;
        }
        p += bytes_uint_at(&r, p, 2, 1);
    }
}

// Walks the pixel data of a Radiance file the way stb_image reads it. Returns
// "corrupt" for a run-length count of 0, which the decoder never gets past
// (this includes running out of data inside a run-length scanline, read as
// zeros), "truncated" for flat data shorter than the image, or NULL.
static const char *hdr_reason(const unsigned char *d, size_t len) {
    int w = 0, h = 0;
    size_t p = 0;
    if (!stb_hdr_header(d, len, &w, &h, &p)) return NULL;
    if (w <= 0 || h <= 0 || !stb_sizes_valid(w, h, 4, 4, 0)) return NULL;
    ByteReader r = bytes_reader(d, len, p);  // p <= len: stb_image stops at the end
    size_t flat = (size_t)w * (size_t)h * 4;
    if (w < 8 || w >= 32768) return bytes_left(&r) < flat ? "truncated" : NULL;
    for (int y = 0; y < h; ++y) {
        unsigned c1 = bytes_next(&r), c2 = bytes_next(&r);
        unsigned hi = bytes_next(&r);
        if (c1 != 2 || c2 != 2 || (hi & 0x80)) {
            // Not run-length encoded: the decoder reads the rest of the image
            // as flat pixels, the first of which it has started.
            return r.at > len || bytes_left(&r) < flat - 3 ? "truncated" : NULL;
        }
        if ((int)(hi << 8 | bytes_next(&r)) != w) return NULL;
        for (int k = 0; k < 4; ++k) {
            for (int x = 0; x < w;) {
                int count = (int)bytes_next(&r);
                if (count > 128) {
                    count -= 128;
                    bytes_skip(&r, 1);
                } else {
                    if (count == 0) return "corrupt";
                    bytes_skip(&r, (size_t)count);
                }
                if (count > w - x) return NULL;  // the decoder refuses it
                x += count;
            }
        }
    }
    return NULL;
}

// stb_image takes a file for a binary PGM or PPM when it starts "P5" or "P6".
static int is_pnm(const unsigned char *d, size_t len) {
    return len >= 2 && d[0] == 'P' && (d[1] == '5' || d[1] == '6');
}

// A TGA file too short for its pixels. Uncompressed pixels take at least
// their own size; a run-length packet covers at most 128 pixels with a count
// byte and one pixel. Header, palette and image ID only add to that, so every
// complete file passes.
static int tga_too_short(const unsigned char *d, size_t len) {
    ByteReader r = bytes_reader(d, len, 0);
    unsigned type = bytes_at(&r, 2);
    size_t w = bytes_uint_at(&r, 12, 2, 0);
    size_t h = bytes_uint_at(&r, 14, 2, 0);
    size_t pixel_bytes = (bytes_at(&r, 16) + 7) / 8;
    size_t need = w * h * pixel_bytes;
    if (type >= 8) need = (w * h + 127) / 128 * (1 + pixel_bytes);
    return len < 18 || len - 18 < need;
}

// Reasons to refuse a file before its pixels are decoded, found in the
// structure of the file alone, with their class; NULL when there is none.
const char *screen_structure(const unsigned char *d, size_t len, int *status) {
    *status = TRIMLET_ERR_CORRUPT;
    if (stb_is_jpeg(d, len) && !jpeg_tables_ok(d, len)) {
        return "bad DHT header";
    }
    // A BMP stored top-down has a negative height, which the decoder turns
    // positive with abs(); for the most negative int that is undefined, and
    // the result is past any size it accepts, so it is refused as the
    // decoder refuses sizes past its limit.
    int w = 0, h = 0;
    if (stb_kind(d, len) == STB_BMP && stb_info(d, len, &w, &h) && h == INT_MIN) {
        *status = TRIMLET_ERR_TOO_LARGE;
        return "too large";
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
    ByteReader r = bytes_reader(d, n, 0);
    uint64_t header = bytes_uint_at(&r, 14, 2, 0);
    size_t at = header == 12 ? 24 : 28;
    size_t bits = bytes_uint_at(&r, at, 2, 0);
    return (size_t)w * bits / 8 * (size_t)h;
}

// Pixel bytes a PSD holds at the least. The decoder reads at most four
// channels (at least one, or it would fill a large image from nothing), and
// a run-length packet covers at most 128 samples with two bytes.
static size_t psd_min_size(const unsigned char *d, size_t n, int w, int h) {
    ByteReader r = bytes_reader(d, n, 0);
    size_t channels = bytes_uint_at(&r, 12, 2, 1);
    if (channels < 1) channels = 1;
    if (channels > 4) channels = 4;
    size_t samples = (size_t)w * (size_t)h * channels;
    size_t raw = samples * (bytes_uint_at(&r, 22, 2, 1) / 8);
    size_t packed = (samples + 127) / 128 * 2;
    return raw < packed ? raw : packed;
}

// Reasons to refuse a file of w x h pixels (as its header says) before
// decoding: data that cannot hold the pixels the header promises (a few
// bytes claiming a large image would otherwise cost a full decode of
// nothing), or a Radiance run that never ends. NULL when there is none.
// PNG and GIF can legitimately be tiny for their size and are left to the
// decoder.
const char *screen_pixels(const unsigned char *d, size_t len, int w, int h) {
    size_t n = len;
    if (w < 0 || h < 0) return NULL;  // the decoder refuses these itself
    if (stb_is_jpeg(d, n)) return n < jpeg_min_size(w, h) ? "truncated" : NULL;
    int pw = 0, ph = 0, channels = 0, bits = 0;
    size_t data = 0;
    if (is_pnm(d, n)) {
        if (stb_pnm_header(d, n, &pw, &ph, &channels, &bits, &data) && pw >= 0 && ph >= 0 &&
            n - data < (size_t)pw * (size_t)ph * (size_t)channels * (size_t)(bits / 8)) {
            return "truncated";
        }
        return NULL;
    }
    switch (stb_kind(d, n)) {
    case STB_BMP: return n < bmp_min_size(d, n, w, h) ? "truncated" : NULL;
    case STB_PSD: return n < psd_min_size(d, n, w, h) ? "truncated" : NULL;
    // A PIC row takes at least a count and a value.
    case STB_PIC: return n / 2 < (size_t)h ? "truncated" : NULL;
    case STB_HDR: return hdr_reason(d, n);
    case STB_TGA: return tga_too_short(d, n) ? "truncated" : NULL;
    default: return NULL;
    }
}

// Walks a PNG's chunks as stb_image does, up to IEND. stb_image names an
// unknown critical chunk in its reason by writing the chunk's four type
// bytes, whatever they are (a newline, a NUL), into one static buffer: two
// calls on two threads write it at once, and a message can carry another
// call's bytes or more than one line. Such a file is refused here, before
// any of stb_image's parsers sees it, with the type bytes copied into
// unknown (printable ASCII kept, anything else as '?'), and the return value
// is unknown. A chunk header that does not lie wholly inside the data gives
// "outofdata": the decoder would read it as zeros, an unknown chunk of type
// 0, and no file that ends before its IEND decodes. Returns NULL when
// neither applies (not a PNG, first chunk not IHDR, IEND reached, or the
// decoder stops on a chunk's data first).
const char *screen_png_chunks(const unsigned char *d, size_t len, char unknown[5]) {
    if (!is_png_file(d, len)) return NULL;
    PngChunks walk = png_chunks(d, len);
    for (int first = 1;; first = 0) {
        // Past a chunk that is not complete the walk is at the end: the
        // decoder skips past the end freely, and reads zeros there.
        PngChunk c;
        png_chunk_next(&walk, &c);
        if (c.name == NULL) return "outofdata";
        int ihdr = c.type == 0x49484452u;
        if (first != ihdr) return NULL;  // the decoder refuses it
        switch (c.type) {
        case 0x49454E44u: return NULL;  // IEND
        case 0x49444154u:               // IDAT: its data must be there
            if (c.length > c.left - 8) return NULL;
            break;
        case 0x43674249u:  // CgBI
        case 0x49484452u:  // IHDR
        case 0x504C5445u:  // PLTE
        case 0x74524E53u:  // tRNS
            break;
        default:
            if ((c.type & (1u << 29)) == 0) {
                for (int i = 0; i < 4; ++i) {
                    unsigned ch = c.name[i];
                    unknown[i] = ch >= 0x20 && ch < 0x7F ? (char)ch : '?';
                }
                unknown[4] = '\0';
                return unknown;
            }
        }
    }
}

// The size a file's header gives, as the decoder stb_image picks reads it.
// stbi_info agrees with the decoders, except that it refuses PIC files of
// more than 2^28 pixels, which the PIC decoder still allocates and fills,
// and that it gives a top-down BMP's height as stored, negative, where the
// decoder uses its absolute value (screen_structure refuses INT_MIN). The
// other formats' fields are unsigned or refused by the decoder when they do
// not fit an int, and stbi_info gives them as the decoder reads them.
int header_size(const unsigned char *d, size_t len, int *w, int *h) {
    if (stb_info(d, len, w, h)) {
        if (*h < 0 && *h != INT_MIN && stb_kind(d, len) == STB_BMP) *h = -*h;
        return 1;
    }
    if (stb_kind(d, len) != STB_PIC || len < 96) return 0;
    *w = (int)load_u16(d + 92, 1);
    *h = (int)load_u16(d + 94, 1);
    return 1;
}


int within_limits(int w, int h, long long max_pixels, Failure *err) {
    if (w > MAX_SIDE || h > MAX_SIDE) return fail(err, TRIMLET_ERR_TOO_LARGE, "image too large: %dx%d", w, h);
    if (max_pixels > 0 && w > 0 && h > 0 && (long long)w * h > max_pixels) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "image too large: %dx%d is more than %lld pixels (max_pixels)",
                    w, h, max_pixels);
    }
    return 1;
}

int screen_input(const Input *in, int *w, int *h, Failure *err) {
    *w = 0;
    *h = 0;
    if (in->size > (size_t)INT32_MAX) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot decode '%s': file too large", in->name);
    }
    char chunk[5];
    // Every reason below is damage (CORRUPT) but what screen_structure
    // classes otherwise.
    int status = TRIMLET_ERR_CORRUPT;
    const char *why = screen_structure(in->data, in->size, &status);
    if (why == NULL) why = screen_png_chunks(in->data, in->size, chunk);
    if (why == chunk) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "cannot decode '%s': %s PNG chunk not known",
                    in->name, chunk);
    }
    if (why == NULL && header_size(in->data, in->size, w, h)) {
        // Refused on the header's word, before any pixel is allocated.
        if (!within_limits(*w, *h, in->max_pixels, err)) return 0;
        why = screen_pixels(in->data, in->size, *w, *h);
    } else {
        *w = 0;  // stb_image's info call may fill in a size it then refuses
        *h = 0;
    }
    if (why != NULL) return fail(err, status, "cannot decode '%s': %s", in->name, why);
    return 1;
}
