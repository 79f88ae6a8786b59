// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// HEIF files through libheif: HEIC (HEVC, decoded by libde265) and AVIF (AV1,
// decoded by dav1d or aom) in. AVIF out is avif.cpp's.
//
// A file is read from the caller's bytes without a copy. What is read is the
// primary image as libheif composes it: grid tiles joined, and the container's
// rotation, mirroring and clean aperture (irot, imir, clap) applied, as every
// viewer shows the picture; its width and height (the handle's) are already
// turned. 10- and 12-bit images are decoded to 16-bit samples and scaled to 8
// bits here. An Exif Orientation inside the file is never applied: the
// container's transform already says how the picture stands, so Exif carried
// from it into any output says Orientation 1.
//
// Which codecs the installed libheif has is asked at run time: a file or an
// output whose codec is missing fails as TRIMLET_ERR_UNAVAILABLE.

#include "codecs/parts.h"
#include "base/count.h"
#include "base/bytes.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBHEIF

#include "codecs/heiflib.h"

// ---------------------------------------------------------------------------
// Reading

// A file opened for reading: its context and its primary image.
struct HeifFile {
    heif_context *ctx;
    heif_image_handle *handle;
};

static void close_heif(HeifFile *f) {
    if (f->handle != NULL) heif_image_handle_release(f->handle);
    if (f->ctx != NULL) heif_context_free(f->ctx);
    f->handle = NULL;
    f->ctx = NULL;
}

// The compression of the file's pictures by its brands: AV1 for AVIF, HEVC
// for HEIC, undefined for other HEIF files (left to libheif to judge).
static heif_compression_format compression_of(const Input *in) {
    int n = in->size > 64 ? 64 : (int)in->size;
    const char *mime = heif_get_file_mime_type(in->data, n);
    if (strncmp(mime, "image/avif", 10) == 0) return heif_compression_AV1;
    if (strncmp(mime, "image/heic", 10) == 0) return heif_compression_HEVC;
    return heif_compression_undefined;
}

// Opens the input's primary image. Libheif is asked to start no threads of
// its own (codecs may still: see include/trimlet.h) and to refuse images over
// the library's side limit; a file whose codec the installed libheif lacks is
// refused as unavailable.
static int open_heif(const Input *in, HeifFile *f, Failure *err) {
    f->ctx = NULL;
    f->handle = NULL;
    if (heif_lib() == NULL) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': heif is not available in this build", in->name);
    }
    heif_compression_format format = compression_of(in);
    if (format != heif_compression_undefined && !heif_have_decoder_for_format(format)) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': this libheif has no %s decoder",
                    in->name, format == heif_compression_AV1 ? "AV1" : "HEVC");
    }
    f->ctx = heif_context_alloc();
    if (f->ctx == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    heif_context_set_max_decoding_threads(f->ctx, 0);
    heif_context_set_maximum_image_size_limit(f->ctx, MAX_SIDE + 1);  // libheif's is exclusive
    count_open(OPEN_HEIF);
    heif_error e = heif_context_read_from_memory_without_copy(f->ctx, in->data, in->size, NULL);
    if (e.code == heif_error_Ok) e = heif_context_get_primary_image_handle(f->ctx, &f->handle);
    if (e.code != heif_error_Ok) {
        fail_heif(err, heif_status(e), "decode", in->name, e.message);
        close_heif(f);
        return 0;
    }
    return 1;
}

// The coded picture's size before the container's transforms (ispe): what
// the decoder allocates, which a clean aperture can make far larger than
// the picture shown. 0x0 when the file gives none.
static void coded_size(const HeifFile *f, int *w, int *h) {
    *w = heif_image_handle_get_ispe_width(f->handle);
    *h = heif_image_handle_get_ispe_height(f->handle);
    if (*w <= 0 || *h <= 0) *w = *h = 0;
}

// ---------------------------------------------------------------------------
// The grid record of the primary item, read before libheif decodes: libheif
// 1.15 allocates the canvas the record claims, whatever the item's ispe
// says, and bounds it only by one number for either side.

// A box's payload, or the bytes boxes are walked in.
struct Span {
    const unsigned char *p;
    size_t n;
};

// The payload of the first box of type t among the boxes in `in` (skipping
// `skip` bytes first: a full box's version and flags); 0 when there is none
// or a box's size does not fit.
static int find_box(Span in, size_t skip, const char *t, Span *out) {
    for (size_t o = skip; o <= in.n && in.n - o >= 8;) {
        uint64_t size = load_uint(in.p + o, 4, 1);
        size_t head = 8;
        if (size == 1) {
            if (in.n - o < 16) return 0;
            size = load_uint(in.p + o + 8, 8, 1);
            head = 16;
        } else if (size == 0) {
            size = in.n - o;
        }
        if (size < head || size > in.n - o) return 0;
        if (memcmp(in.p + o + 4, t, 4) == 0) {
            out->p = in.p + o + head;
            out->n = (size_t)size - head;
            return 1;
        }
        o += (size_t)size;
    }
    return 0;
}

// Reads `bytes` (0..8) big-endian bytes at *o of s, advancing *o; 0 when
// they are not there.
static int take(Span s, size_t *o, int bytes, uint64_t *v) {
    if (s.n < *o || s.n - *o < (size_t)bytes) return 0;
    *v = load_uint(s.p + *o, bytes, 1);
    *o += (size_t)bytes;
    return 1;
}

// What is read of a file's boxes before libheif sees it.
struct ReadAhead {
    int empty_extent;         // some item has no extents, or an empty one
    int bad_iloc;             // iloc's version is over 2, or its fields are not 0, 4 or 8 bytes long
    int grid;                 // the primary item is a grid, whose record says:
    uint64_t grid_w, grid_h;  // the canvas size
};

// Walks meta's pitm, iinf, iloc and idat. What cannot be found or does not
// hold together is left for libheif to judge.
static void read_ahead(const Input *in, ReadAhead *ra) {
    memset(ra, 0, sizeof *ra);
    Span file = {in->data, in->size}, meta, pitm, iinf, iloc, idat = {NULL, 0};
    if (!find_box(file, 0, "meta", &meta) || !find_box(meta, 4, "pitm", &pitm) ||
        !find_box(meta, 4, "iinf", &iinf) || !find_box(meta, 4, "iloc", &iloc) || pitm.n < 6 || iinf.n < 4 ||
        (pitm.p[0] != 0 && pitm.n < 8) || iloc.n < 6) {
        return;
    }
    find_box(meta, 4, "idat", &idat);
    uint64_t primary = load_uint(pitm.p + 4, pitm.p[0] == 0 ? 2 : 4, 1), count = 0, v = 0;
    // Is the primary item a grid? (infe versions 2 and 3 name the type.)
    size_t o = 4;
    if (!take(iinf, &o, iinf.p[0] == 0 ? 2 : 4, &count)) return;
    Span rest = {iinf.p + o, iinf.n - o}, infe;
    int grid = -1;
    while (grid < 0 && find_box(rest, 0, "infe", &infe)) {
        size_t idw = infe.n > 0 && infe.p[0] == 2 ? 2 : 4;
        if (infe.n >= 4 + idw + 6 && infe.p[0] >= 2 && load_uint(infe.p + 4, (int)idw, 1) == primary) {
            grid = memcmp(infe.p + 4 + idw + 2, "grid", 4) == 0;
        }
        size_t used = (size_t)(infe.p + infe.n - rest.p);
        rest.p += used;
        rest.n -= used;
    }
    // Every item's extents (iloc), and where the grid's record lies.
    int version = iloc.p[0];
    // Versions over 2 and sizes other than 0, 4 or 8 are invalid, and
    // libheif 1.15 hands such an item to the codec empty (see below), as it
    // does a grid's tile with no extents.
    int off_size = iloc.p[4] >> 4, len_size = iloc.p[4] & 15, base_size = iloc.p[5] >> 4;
    int index_size = version >= 1 ? iloc.p[5] & 15 : 0;
    const int sizes[] = {off_size, len_size, base_size, index_size};
    for (int size : sizes) {
        if (size != 0 && size != 4 && size != 8) ra->bad_iloc = 1;
    }
    if (version > 2) ra->bad_iloc = 1;
    if (ra->bad_iloc) return;
    o = 6;
    if (!take(iloc, &o, version < 2 ? 2 : 4, &count)) return;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t id = 0, method = 0, base = 0, extents = 0, offset = 0, length = 0;
        if (!take(iloc, &o, version < 2 ? 2 : 4, &id)) return;
        if (version >= 1 && !take(iloc, &o, 2, &method)) return;
        if (!take(iloc, &o, 2, &v) || !take(iloc, &o, base_size, &base) || !take(iloc, &o, 2, &extents)) return;
        if (extents == 0) ra->empty_extent = 1;  // the box's format says at least one
        for (uint64_t e = 0; e < extents; ++e) {
            uint64_t off = 0, len = 0;
            if (!take(iloc, &o, index_size, &v) || !take(iloc, &o, off_size, &off) ||
                !take(iloc, &o, len_size, &len)) {
                return;
            }
            if (len == 0) ra->empty_extent = 1;
            if (e == 0) offset = off, length = len;
        }
        if (id != primary || grid != 1) continue;
        Span from = (method & 15) == 0 ? file : (method & 15) == 1 ? idat : Span{NULL, 0};
        uint64_t at = base + offset;
        if (from.p == NULL || at > from.n || from.n - at < 8 || length < 8) continue;
        const unsigned char *r = from.p + at;
        int wide = r[1] & 1;
        if (wide && (from.n - at < 12 || length < 12)) continue;
        ra->grid = 1;
        ra->grid_w = load_uint(r + 4, wide ? 4 : 2, 1);
        ra->grid_h = load_uint(r + (wide ? 8 : 6), wide ? 4 : 2, 1);
    }
}

// Opens the file for the reader (kept in r->state for the metadata and the
// decode) and reads its size.
static int heif_open(Reader *r, Failure *err) {
    const Input *in = r->in;
    int *w = &r->w, *h = &r->h;
    HeifFile *f = (HeifFile *)calloc(1, sizeof(HeifFile));
    if (f == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    r->state = f;
    if (!open_heif(in, f, err)) return 0;
    *w = heif_image_handle_get_width(f->handle);
    *h = heif_image_handle_get_height(f->handle);
    int cw = 0, ch = 0;
    coded_size(f, &cw, &ch);
    if (*w <= 0 || *h <= 0) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': image has no pixels (%dx%d)", in->name,
                    *w, *h);
    }
    // A grid's canvas is the coded picture: it must be what its ispe says.
    // And libheif hands an empty extent to the codec, where dav1d prints
    // and leaks.
    ReadAhead ra;
    read_ahead(in, &ra);
    if (ra.grid && (ra.grid_w != (uint64_t)cw || ra.grid_h != (uint64_t)ch)) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': grid of %llux%llu in a %dx%d image", in->name,
                    (unsigned long long)ra.grid_w, (unsigned long long)ra.grid_h, cw, ch);
    }
    if (ra.bad_iloc) return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': malformed item locations", in->name);
    if (ra.empty_extent) return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': an item has no data", in->name);
    // The limits hold for the coded picture too (decode.cpp checks the shown one).
    return within_limits(cw, ch, in->max_pixels, err);
}

// Copies libheif's interleaved RGBA (8 bits, or 16-bit big-endian samples of
// `bits` bits) into px, w * 4 bytes a row; wider samples are scaled to 8 bits
// by rounding v * 255 / max.
static void copy_rgba(const uint8_t *src, int stride, int bits, int w, int h, unsigned char *px) {
    if (bits <= 8) {
        for (int y = 0; y < h; ++y) {
            memcpy(px + (size_t)y * w * 4, src + (size_t)y * stride, (size_t)w * 4);
        }
        return;
    }
    uint32_t max = (1u << bits) - 1;
    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src + (size_t)y * stride;
        unsigned char *o = px + (size_t)y * w * 4;
        for (int i = 0; i < w * 4; ++i, s += 2) {
            uint32_t v = (uint32_t)s[0] << 8 | s[1];
            if (v > max) v = max;
            o[i] = (unsigned char)((v * 510 + max) / (2 * max));
        }
    }
}

// A coded picture larger than its header's w x h: damage, not a picture too
// large. libheif names the coded size in its message ("Coded image size
// 2048x1536 exceeds ...") where it knows it.
static int coded_too_large(const Input *in, const char *message, int w, int h, Failure *err) {
    const char *at = message != NULL ? strstr(message, "Coded image size ") : NULL;
    int cw = 0, ch = 0;
    if (at != NULL && sscanf(at, "Coded image size %dx%d", &cw, &ch) == 2 && cw > 0 && ch > 0) {
        return fail(err, TRIMLET_ERR_CORRUPT,
                    "cannot decode '%s': coded picture of %dx%d is larger than its header's %dx%d", in->name, cw,
                    ch, w, h);
    }
    return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': coded picture is larger than its header's %dx%d",
                in->name, w, h);
}

static int heif_decode(Reader *rd, const Rect *region, int denom, Image *out, Failure *err) {
    (void)denom;
    const Input *in = rd->in;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    HeifFile *f = (HeifFile *)rd->state;
    int w = heif_image_handle_get_width(f->handle);
    int h = heif_image_handle_get_height(f->handle);
    int wide = heif_image_handle_get_luma_bits_per_pixel(f->handle) > 8;
    // libheif allocates what a grid's own record or a coded picture claims,
    // which need not be the header's size: nothing larger than the header's
    // side is let through, but for the codec's padding (HEVC codes whole
    // blocks of up to 64, AV1 of up to 128 pixels).
    int cw = 0, ch = 0;
    coded_size(f, &cw, &ch);
    int side = w > h ? w : h;
    if (cw > side) side = cw;
    if (ch > side) side = ch;
    heif_context_set_maximum_image_size_limit(f->ctx, side + 128 + 1);
    heif_image *img = NULL;
    heif_error e = heif_decode_image(f->handle, &img, heif_colorspace_RGB,
                                     wide ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RGBA,
                                     NULL);
    if (e.code != heif_error_Ok && e.subcode == heif_suberror_Security_limit_exceeded) {
        // The header's size passed the limits and the decoder's was set from
        // it: a coded picture over that disagrees with its own header.
        coded_too_large(in, e.message, cw > 0 ? cw : w, cw > 0 ? ch : h, err);
    } else if (e.code != heif_error_Ok) {
        // The message may live in the context: written before it is freed.
        fail_heif(err, heif_status(e), "decode", in->name, e.message);
    }
    if (e.code != heif_error_Ok) {
        if (img != NULL) heif_image_release(img);
        close_heif(f);
        return 0;
    }
    close_heif(f);
    int stride = 0;
    const uint8_t *src = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    int bits = heif_image_get_bits_per_pixel_range(img, heif_channel_interleaved);
    int iw = heif_image_get_width(img, heif_channel_interleaved);
    int ih = heif_image_get_height(img, heif_channel_interleaved);
    // The pixels must be the picture the header announced, whose size the
    // limits were checked on.
    if (src == NULL || iw != w || ih != h || bits < 1 || bits > 16 ||
        stride < (wide ? 8 : 4) * w) {
        heif_image_release(img);
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': decoded %dx%d image differs from its header's %dx%d",
                    in->name, iw, ih, w, h);
    }
    // libheif decodes the whole picture; only the region is copied out of it.
    Rect r = region != NULL ? *region : Rect{0, 0, w, h};
    if (r.w < 0) r.w = 0;
    if (r.h < 0) r.h = 0;
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)r.w, (size_t)r.h);
    if (px == NULL) {
        heif_image_release(img);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d image", r.w, r.h);
    }
    copy_rgba(src + (size_t)r.y * (size_t)stride + (size_t)r.x * (wide ? 8 : 4), stride, wide ? bits : 8, r.w, r.h,
              px);
    heif_image_release(img);
    out->w = r.w;
    out->h = r.h;
    out->px = px;
    return 1;
}

// The ICC profile (an nclx colour description is no profile) and the first
// Exif item, without the 4-byte offset libheif leaves in front of it and
// whatever that offset skips. Orientation is always 1: the container turned
// the pixels.
static void heif_metadata(Reader *r, int want_orientation, int want_blocks, Metadata *m) {
    (void)want_orientation;
    memset(m, 0, sizeof *m);
    m->orientation = 1;
    HeifFile *f = (HeifFile *)r->state;
    if (!want_blocks || f == NULL || f->handle == NULL) return;
    size_t n = heif_image_handle_get_raw_color_profile_size(f->handle);
    if (n > 0 && (m->icc = (unsigned char *)malloc(n)) != NULL) {
        if (heif_image_handle_get_raw_color_profile(f->handle, m->icc).code == heif_error_Ok) {
            m->icc_size = n;
        } else {
            free(m->icc);
            m->icc = NULL;
        }
    }
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(f->handle, "Exif", &id, 1) == 1) {
        n = heif_image_handle_get_metadata_size(f->handle, id);
        unsigned char *raw = n >= 4 ? (unsigned char *)malloc(n) : NULL;
        if (raw != NULL && heif_image_handle_get_metadata(f->handle, id, raw).code == heif_error_Ok) {
            size_t skip = (size_t)raw[0] << 24 | (size_t)raw[1] << 16 | (size_t)raw[2] << 8 | raw[3];
            if (skip <= n - 4 && n - 4 - skip >= 8 && (m->exif = (unsigned char *)malloc(n - 4 - skip)) != NULL) {
                m->exif_size = n - 4 - skip;
                memcpy(m->exif, raw + 4 + skip, m->exif_size);
            }
        }
        free(raw);
    }
    set_orientation_one(m);
}

static void heif_close(Reader *r) {
    HeifFile *f = (HeifFile *)r->state;
    if (f != NULL) close_heif(f);
    free(f);
    r->state = NULL;
}

// A region costs libheif the whole picture all the same, but trimlet only
// the region's copy.
const Codec HEIF_CODEC = {"heif", is_heif_file, READ_REGION, heif_open, heif_decode, heif_metadata, NULL, NULL,
                          heif_close};

int heic_readable(void) { return heif_lib() != NULL && heif_have_decoder_for_format(heif_compression_HEVC); }
int avif_readable(void) { return heif_lib() != NULL && heif_have_decoder_for_format(heif_compression_AV1); }

#else  // built without libheif: the files are known, and refused

const Codec HEIF_CODEC = {"heif", is_heif_file, 0, NULL, NULL, NULL, NULL, NULL, NULL};

int heic_readable(void) { return 0; }
int avif_readable(void) { return 0; }

#endif
