// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Decoding: an input's bytes to 8-bit RGBA, after the screening: stb_image
// (stb.cpp) for every format, in front of it libjpeg-turbo (jpeg.cpp) and
// libspng (png.cpp) for the files they take, codecs of their own for formats
// stb_image does not read, and this library's own reader for 16-bit PGM/PPM.

#include "codecs/parts.h"
#include "codecs/classic.h"
#include "base/stb.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Decoding

// A binary PGM or PPM as stb_image reads it: size, samples per pixel, bytes
// per sample, and where the samples start.
struct PnmLayout {
    int w, h, channels, sample_bytes;
    size_t data;
};

// The layout of a binary PGM/PPM; 0 when it is none or the decoder would
// refuse its header.
static int pnm_layout(const unsigned char *d, size_t len, PnmLayout *pnm) {
    if (len < 2 || d[0] != 'P' || (d[1] != '5' && d[1] != '6')) return 0;
    int bits = 0;
    if (!stb_pnm_header(d, len, &pnm->w, &pnm->h, &pnm->channels, &bits, &pnm->data)) return 0;
    if (pnm->w < 0 || pnm->h < 0) return 0;
    pnm->sample_bytes = bits / 8;
    return 1;
}

// Decodes a 16-bit PGM or PPM to RGBA. stb_image 2.27 converts such files
// with its 8-bit routine (reading past its block) and keeps the low byte of
// each sample; here each output byte is the sample's first byte in the file,
// its most significant one. Grey fills R, G and B; alpha is 255.
static unsigned char *decode_pnm16(const unsigned char *d, size_t len,
                                   const PnmLayout *pnm, const char **why) {
    if (!stb_sizes_valid(pnm->w, pnm->h, pnm->channels, 2, 0) ||
        !stb_sizes_valid(pnm->w, pnm->h, 4, 1, 0)) {
        *why = "too large";
        return NULL;
    }
    if (len - pnm->data < (size_t)pnm->w * (size_t)pnm->h * (size_t)pnm->channels * 2) {
        *why = "truncated";
        return NULL;
    }
    size_t count = (size_t)pnm->w * (size_t)pnm->h;
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)pnm->w, (size_t)pnm->h);
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

// Classic files stb_image refuses but this library reads (classic.h): RLE
// and palette-before-pixels BMP, the Netpbm forms P1 to P4.
enum { CLASSIC_NONE, CLASSIC_BMP, CLASSIC_PNM };
static int classic_kind(const unsigned char *d, size_t len) {
    if (bmp_takes(d, len)) return CLASSIC_BMP;
    if (is_pnm_extra(d, len)) return CLASSIC_PNM;
    return CLASSIC_NONE;
}

// Decodes an in-memory file to RGBA. On failure returns NULL with *why set.
static unsigned char *decode_rgba(const unsigned char *d, size_t len, int *w, int *h,
                                  const char **why) {
    switch (classic_kind(d, len)) {
    case CLASSIC_BMP: return bmp_decode(d, len, w, h, why);
    case CLASSIC_PNM: return pnm_decode(d, len, w, h, why);
    default: break;
    }
    PnmLayout pnm;
    if (pnm_layout(d, len, &pnm) && pnm.sample_bytes == 2) {
        unsigned char *px = decode_pnm16(d, len, &pnm, why);
        *w = pnm.w;
        *h = pnm.h;
        return px;
    }
    unsigned char *px = stb_decode(d, len, w, h, why);
    if (px == NULL && len >= 3 && memcmp(d, "GIF", 3) == 0 && gif_takes(*why)) {
        px = gif_decode(d, len, w, h, why);
    }
    return px;
}

// The screening before any pixel is decoded: the file's structure, then the
// size its header gives (refused above MAX_SIDE before anything is allocated)
// and whether its data can hold that many pixels. Returns 1 with the header's
// size in *w, *h (0 when the header gives none), or 0 with the message set.
static int screen(const Input *in, int *w, int *h, Failure *err) {
    *w = 0;
    *h = 0;
    if (in->size > (size_t)INT32_MAX) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot decode '%s': file too large", in->name);
    }
    int kind = classic_kind(in->data, in->size);
    if (kind != CLASSIC_NONE) {
        // The header's size first: too large before truncated.
        const char *why = NULL;
        int ok = kind == CLASSIC_BMP ? bmp_header(in->data, in->size, w, h, &why)
                                     : pnm_header(in->data, in->size, w, h, &why);
        if (*w > 0 && *h > 0 && !within_limits(*w, *h, in->max_pixels, err)) return 0;
        if (!ok) return fail(err, reason_status(why), "cannot decode '%s': %s", in->name, why);
        return 1;
    }
    char chunk[5];
    const char *why = screen_structure(in->data, in->size);
    if (why == NULL) why = screen_png_chunks(in->data, in->size, chunk);
    if (why == chunk) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "cannot decode '%s': %s PNG chunk not known",
                    in->name, chunk);
    }
    if (why == NULL && header_size(in->data, in->size, w, h)) {
        // Refused on the header's word, before any pixel is allocated.
        if (!within_limits(*w, *h, in->max_pixels, err)) return 0;
        why = screen_pixels(in->data, in->size, *w, *h);
    }
    if (why != NULL) return fail(err, reason_status(why), "cannot decode '%s': %s", in->name, why);
    return 1;
}

// ---------------------------------------------------------------------------
// Codecs beside stb_image
//
// Formats stb_image does not read come through a codec of their own (one
// file each, on the floor below this one). The codec's signature says from
// the first bytes whether a file is its format, whether or not this build
// has the codec's library; a build without it refuses such files as
// TRIMLET_ERR_UNAVAILABLE instead of calling them unknown.

static const Codec *const CODECS[] = {
    &WEBP_CODEC,
    &TIFF_CODEC,
    &HEIF_CODEC,
    NULL,  // the table ends with NULL
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

// The codec whose format the input is, or NULL for stb_image's formats.
static const Codec *codec_of(const Input *in) {
    for (const Codec *const *c = CODECS; *c != NULL; ++c) {
        if ((*c)->sniff(in->data, in->size)) return *c;
    }
    return NULL;
}

// The codec's header: its size, checked against the limits. 0 with the
// message set when the header is refused or the codec is not built.
static int codec_header(const Codec *c, const Input *in, int *w, int *h, Failure *err) {
    *w = 0;
    *h = 0;
    if (c->header == NULL) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': %s is not available in this build",
                    in->name, c->name);
    }
    if (in->size > (size_t)INT32_MAX) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot decode '%s': file too large", in->name);
    }
    return c->header(in, w, h, err) && within_limits(*w, *h, in->max_pixels, err);
}

// Decodes the rectangle r of a codec's image (NULL: the whole) into *out: by
// the codec itself where it takes regions, else whole and copied out.
static int codec_decode(const Codec *c, const Input *in, const Rect *r, Image *out, Failure *err) {
    int w = 0, h = 0;
    if (!codec_header(c, in, &w, &h, err)) return 0;
    if (r == NULL || (c->regions != NULL && c->regions(in))) return c->decode(in, r, out, err);
    Image full;
    if (!c->decode(in, NULL, &full, err)) return 0;
    *out = sub_image(full.w, full.px, r->x, r->y, r->w, r->h, err);
    free(full.px);
    return out->px != NULL;
}

void read_input_metadata(const Input *in, int want_orientation, int want_blocks, Metadata *m) {
    const Codec *c = codec_of(in);
    if (c != NULL && c->metadata != NULL) {
        c->metadata(in, want_orientation, want_blocks, m);
    } else {
        read_metadata(in, want_orientation, want_blocks, m);
    }
}

// ---------------------------------------------------------------------------
// Faster decoders of stb_image's formats
//
// JPEG and PNG go through libjpeg-turbo and libspng where the build has them.
// Each is a fast path in front of stb_image, giving stb_image's pixels: it
// declines the files it does not take (its decode returns 0), and stb_image
// then decodes them, its verdict and message standing. Both decode a region
// without the whole image's block.
struct FastPath {
    int (*takes)(const Input *in);
    int (*decode)(const Input *in, const Rect *region, Image *out, const char **why);
};
static const FastPath FAST_PATHS[] = {
    {jpeg_takes, jpeg_decode},
    {png_takes, png_decode},
};

static const FastPath *fast_path_of(const Input *in) {
    for (const FastPath &f : FAST_PATHS) {
        if (f.takes(in)) return &f;
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// Decoding any input

int decode_image(const Input *in, Image *img, Failure *err) {
    img->w = 0;
    img->h = 0;
    img->px = NULL;
    const Codec *c = codec_of(in);
    if (c != NULL) return codec_decode(c, in, NULL, img, err);
    int w = 0, h = 0;
    if (!screen(in, &w, &h, err)) return 0;
    // JPEG and PNG go through their own libraries where those take the
    // file, else through stb_image like every other format (whose verdict
    // then stands).
    const FastPath *f = fast_path_of(in);
    const char *why = NULL;
    if (f != NULL && f->decode(in, NULL, img, &why)) return 1;
    // Memory ran out: stb_image would need as much again.
    if (f != NULL && strcmp(why, FAST_PATH_NO_MEMORY) == 0) {
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': outofmem", in->name);
    }
    unsigned char *px = decode_rgba(in->data, in->size, &w, &h, &why);
    if (px == NULL) return fail(err, reason_status(why), "cannot decode '%s': %s", in->name, why);
    if (!within_limits(w, h, in->max_pixels, err)) {
        free(px);
        return 0;
    }
    img->w = w;
    img->h = h;
    img->px = px;
    return 1;
}

int screened_size(const Input *in, int *w, int *h, Failure *err) {
    const Codec *c = codec_of(in);
    return c != NULL ? codec_header(c, in, w, h, err) : screen(in, w, h, err);
}

// stb_image decodes whole images only; libjpeg-turbo (jpeg.cpp) and libspng
// (png.cpp) take regions of JPEG and PNG files, and codecs say for their own.
int region_decodable(const Input *in) {
    const Codec *c = codec_of(in);
    if (c == NULL) return fast_path_of(in) != NULL;
    return c->header != NULL && c->regions != NULL && c->regions(in);
}

int decode_region(const Input *in, Rect r, Image *crop, Failure *err) {
    Image full;
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    const Codec *c = codec_of(in);
    if (c != NULL) return codec_decode(c, in, &r, crop, err);
    const FastPath *f = fast_path_of(in);
    if (f != NULL) {
        int w = 0, h = 0;
        if (!screen(in, &w, &h, err)) return 0;
        const char *why = NULL;
        if (f->decode(in, &r, crop, &why)) return 1;
        // Memory ran out for the region: a whole decode would need more.
        if (strcmp(why, FAST_PATH_NO_MEMORY) == 0) {
            return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d crop", r.w, r.h);
        }
        // Not a file this path takes: a whole decode by stb_image gives the
        // verdict and the pixels, as for any other format.
    }
    if (!decode_image(in, &full, err)) return 0;
    *crop = sub_image(full.w, full.px, r.x, r.y, r.w, r.h, err);
    free(full.px);
    return crop->px != NULL;
}
