// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The reader: the input's codec found by its first bytes, opened once, and
// asked by every later stage (codecs.h). The codecs are one table; the last
// row, stb_image's, takes every input the others do not, and the files a
// faster path declines.

#include "codecs/parts.h"
#include "codecs/classic.h"
#include "base/count.h"
#include "base/stb.h"

#include <stdlib.h>
#include <string.h>

// Asked in order; a codec built without its library keeps its signature, so
// its files are refused as TRIMLET_ERR_UNAVAILABLE instead of unknown.
static const Codec *const CODECS[] = {
    &JPEG_CODEC, &PNG_CODEC, &WEBP_CODEC, &TIFF_CODEC, &HEIF_CODEC,
    &STB_CODEC,  // the last: takes every input
};

// A HEIF file's kind by its brands: AVIF when its major brand, or else a
// compatible one, is an AV1 brand; HEIC when the major brand is an HEVC one.
static const char *heif_kind(const unsigned char *d, size_t n) {
    size_t box = (size_t)d[0] << 24 | (size_t)d[1] << 16 | (size_t)d[2] << 8 | d[3];
    if (box < 16 || box > n) box = n;
    int avif = 0;
    for (size_t p = 8; p + 4 <= box; p += p == 8 ? 8 : 4) {
        int av = memcmp(d + p, "avif", 4) == 0 || memcmp(d + p, "avis", 4) == 0;
        int hevc = memcmp(d + p, "heic", 4) == 0 || memcmp(d + p, "heix", 4) == 0 ||
                   memcmp(d + p, "hevc", 4) == 0 || memcmp(d + p, "hevx", 4) == 0;
        if (p == 8 && (av || hevc)) return av ? "avif" : "heic";
        avif |= av;
    }
    return avif ? "avif" : "heif";
}

const char *input_format_name(const Input *in) {
    const unsigned char *d = in->data;
    size_t n = in->size;
    if (is_jpeg_file(d, n)) return "jpeg";
    if (is_png_file(d, n)) return "png";
    if (is_webp_file(d, n)) return "webp";
    if (is_tiff_file(d, n)) return "tiff";
    if (is_heif_file(d, n)) return heif_kind(d, n);
    if (is_pnm_extra(d, n)) return "pnm";
    if (!stb_recognised(d, n)) return NULL;
    switch (stb_kind(d, n)) {
    case STB_BMP: return "bmp";
    case STB_PSD: return "psd";
    case STB_PIC: return "pic";
    case STB_HDR: return "hdr";
    case STB_TGA: return "tga";
    default: break;
    }
    if (n >= 4 && memcmp(d, "GIF8", 4) == 0) return "gif";
    if (n >= 2 && d[0] == 'P' && d[1] >= '1' && d[1] <= '7') return "pnm";
    if (stb_is_jpeg(d, n)) return "jpeg";
    return NULL;
}

void reader_find(const Input *in, Reader *r) {
    memset(r, 0, sizeof *r);
    r->in = in;
    for (const Codec *c : CODECS) {
        if (c->sniff(in->data, in->size)) {
            r->codec = c;
            break;
        }
    }
    r->caps = r->codec->caps;
}

int reader_open(Reader *r, Failure *err) {
    if (r->opened) return 1;
    const Codec *c = r->codec;
    const Input *in = r->in;
    if (c->open == NULL) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': %s is not available in this build",
                    in->name, c->name);
    }
    if (in->size > (size_t)INT32_MAX) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot decode '%s': file too large", in->name);
    }
    count_open(OPEN_READER);
    r->w = 0;
    r->h = 0;
    if (!c->open(r, err) || !within_limits(r->w, r->h, in->max_pixels, err)) {
        reader_close(r);
        return 0;
    }
    r->opened = 1;
    return 1;
}

// The whole image: the codec's decode, or stb_image's for a file it
// declines.
static int decode_whole(Reader *r, Image *out, Failure *err) {
    int got = r->codec->decode(r, NULL, 1, out, err);
    if (got == DECODE_DECLINED) got = STB_CODEC.decode(r, NULL, 1, out, err);
    if (got == DECODE_NO_MEMORY) {
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': outofmem", r->in->name);
    }
    return got;
}

int reader_decode(Reader *r, const Rect *region, Image *out, Failure *err) {
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    if (!reader_open(r, err)) return 0;
    if (region == NULL) return decode_whole(r, out, err);
    if (r->caps & READ_REGION) {
        int got = r->codec->decode(r, region, 1, out, err);
        // Memory ran out for the region: a whole decode would need more.
        if (got == DECODE_NO_MEMORY) {
            return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d crop", region->w, region->h);
        }
        // A file the region's path declines is decoded whole, as any other.
        if (got != DECODE_DECLINED) return got;
    }
    Image full;
    if (!decode_whole(r, &full, err)) return 0;
    *out = sub_image(full.w, full.px, region->x, region->y, region->w, region->h, err);
    free(full.px);
    return out->px != NULL;
}

int reader_decode_scaled(Reader *r, const Rect *region, int denom, Image *out) {
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    Failure ignored;
    if (!(r->caps & READ_SCALE) || !reader_open(r, &ignored)) return 0;
    return r->codec->decode(r, region, denom, out, &ignored) == 1;
}

void reader_metadata(Reader *r, int want_orientation, int want_blocks, Metadata *m) {
    if (r->codec->metadata != NULL) {
        r->codec->metadata(r, want_orientation, want_blocks, m);
    } else {
        read_metadata(r->in, want_orientation, want_blocks, m);
    }
}

int reader_snap(Reader *r, Rect box, int orientation, Rect *snapped, Failure *err) {
    if (!(r->caps & READ_LOSSLESS)) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "lossless: '%s' is not a JPEG file", r->in->name);
    }
    return reader_open(r, err) && r->codec->snap(r, box, orientation, snapped, err);
}

int reader_cut(Reader *r, Rect box, int orientation, int keep_metadata, Sink *sink, Failure *err) {
    if (!(r->caps & READ_LOSSLESS)) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "lossless: '%s' is not a JPEG file", r->in->name);
    }
    return reader_open(r, err) && r->codec->cut(r, box, orientation, keep_metadata, sink, err);
}

void reader_close(Reader *r) {
    if (r->codec != NULL && r->codec->close != NULL) r->codec->close(r);
    r->state = NULL;
    r->opened = 0;
}
