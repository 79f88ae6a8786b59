// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// stb_image's codec: every input no other codec takes (GIF, BMP, TGA, PSD,
// PIC, HDR, PNM, and JPEG and PNG where their faster paths are not built or
// decline a file), screened before stb_image sees it. In front of stb_image
// stand this library's own readers of the classic files stb_image refuses or
// misreads (classic.h) and of 16-bit PGM/PPM. stb_image decodes whole
// images only: a region is cut from the whole by the reader.
//
// The one place a failure's class is read from a text: stb_image reports
// only reasons (reason_status), and the readers beside it speak its words.

#include "codecs/parts.h"
#include "codecs/classic.h"
#include "base/stb.h"

#include <stdlib.h>
#include <string.h>

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

// Every input no codec before this one in the table takes.
static int stb_sniff(const unsigned char *d, size_t n) {
    (void)d;
    (void)n;
    return 1;
}

// The screening before any pixel is decoded: a classic file's own header,
// or screen_input's walk for the files stb_image reads.
static int stb_open(Reader *r, Failure *err) {
    const Input *in = r->in;
    int *w = &r->w, *h = &r->h;
    if (in->size > (size_t)INT32_MAX) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot decode '%s': file too large", in->name);
    }
    int kind = classic_kind(in->data, in->size);
    if (kind == CLASSIC_NONE) return screen_input(in, w, h, err);
    // The header's size first: too large before truncated.
    const char *why = NULL;
    int ok = kind == CLASSIC_BMP ? bmp_header(in->data, in->size, w, h, &why)
                                 : pnm_header(in->data, in->size, w, h, &why);
    if (*w > 0 && *h > 0 && !within_limits(*w, *h, in->max_pixels, err)) return 0;
    if (!ok) return fail(err, reason_status(why), "cannot decode '%s': %s", in->name, why);
    return 1;
}

// The whole image (stb_image's codec offers no regions and no scales).
static int stb_read(Reader *r, const Rect *region, int denom, Image *out, Failure *err) {
    (void)region;
    (void)denom;
    const Input *in = r->in;
    int w = 0, h = 0;
    const char *why = NULL;
    unsigned char *px = decode_rgba(in->data, in->size, &w, &h, &why);
    if (px == NULL) return fail(err, reason_status(why), "cannot decode '%s': %s", in->name, why);
    if (!within_limits(w, h, in->max_pixels, err)) {
        free(px);
        return 0;
    }
    out->w = w;
    out->h = h;
    out->px = px;
    return 1;
}

const Codec STB_CODEC = {"stb_image", stb_sniff, 0, stb_open, stb_read, NULL, NULL, NULL, NULL};
