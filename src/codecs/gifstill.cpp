// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// GIF files stb_image refuses but browsers show: an image with no colour
// table at all (global or local), and an LZW stream that goes on past the
// 4096 codes of a full table without a clear code (a common writer fault).
// stb_image decodes the first frame of every other GIF; this reader takes
// only the files it refuses with those two reasons, and reads them as
// stb_image reads every other GIF (the first frame on a transparent canvas,
// the background colour where the frame leaves pixels undrawn), with three
// differences: a missing colour table is the grey ramp (index i is grey i,
// as Pillow reads such files), a full table stays as it is until the next
// clear code, as browsers decode it, and the data need not start with a
// clear code. The reader of every frame (gif.cpp) reads these files alike.
// Bytes past the end of the file read as zeros, as in stb_image. Decoding
// stops when the frame is whole, so the work is bounded by its pixels.

#include "codecs/classic.h"
#include "base/stb.h"

#include <stdlib.h>
#include <string.h>

struct GifRead {
    const unsigned char *d;
    size_t len, p;
};

static unsigned get8(GifRead *r) { return r->p < r->len ? r->d[r->p++] : (r->p++, 0u); }
static unsigned get16(GifRead *r) {
    unsigned lo = get8(r);
    return lo | get8(r) << 8;
}
static void skip(GifRead *r, size_t n) { r->p += n; }  // at most 255 at a time

static void read_table(GifRead *r, unsigned char pal[256][4], int n, int transparent) {
    for (int i = 0; i < n; ++i) {
        pal[i][0] = (unsigned char)get8(r);
        pal[i][1] = (unsigned char)get8(r);
        pal[i][2] = (unsigned char)get8(r);
        pal[i][3] = i == transparent ? 0 : 255;
    }
}

// The grey ramp that stands for a missing colour table.
static void grey_ramp(unsigned char pal[256][4]) {
    for (int i = 0; i < 256; ++i) {
        pal[i][0] = pal[i][1] = pal[i][2] = (unsigned char)i;
        pal[i][3] = 255;
    }
}

// Where the frame's pixels go, row by row (interlaced: rows 0, 8, ...; 4,
// 12, ...; 2, 6, ...; 1, 3, ...).
struct Frame {
    unsigned char *out;  // the canvas, RGBA
    unsigned char *drawn;  // 1 where the frame has put a pixel
    int canvas_w;
    int x0, w, y0, h;
    int x, y, pass, step;
    const unsigned char (*pal)[4];
};

static void put(Frame *f, unsigned index) {
    if (f->y >= f->h) return;
    size_t at = (size_t)(f->y0 + f->y) * (size_t)f->canvas_w + (size_t)(f->x0 + f->x);
    f->drawn[at] = 1;
    const unsigned char *c = f->pal[index];
    if (c[3] > 128) memcpy(f->out + at * 4, c, 4);
    if (++f->x < f->w) return;
    f->x = 0;
    f->y += f->step;
    while (f->y >= f->h && f->pass > 0) {
        f->step = 1 << f->pass;  // 8 -> 4 -> 2 -> 1 by the passes
        f->y = f->step >> 1;
        --f->pass;
    }
}

// Decodes the LZW stream of one frame. NULL, or the reason it is refused.
static const char *decode_lzw(GifRead *r, Frame *f) {
    unsigned min = get8(r);
    if (min > 11) return "bad LZW code size";
    static const int TABLE = 4096;
    short prefix[4096];
    unsigned char suffix[4096], first[4096], stack[4096];
    unsigned clear = 1u << min;
    for (int i = 0; i < TABLE; ++i) {
        prefix[i] = -1;
        suffix[i] = first[i] = (unsigned char)i;
    }
    int size = (int)min + 1, avail = (int)clear + 2, old = -1;
    unsigned bits = 0, have = 0, block = 0;
    for (;;) {
        if (have < (unsigned)size) {
            if (block == 0) {
                block = get8(r);
                if (block == 0) return NULL;
            }
            --block;
            bits |= get8(r) << have;
            have += 8;
            continue;
        }
        int code = (int)(bits & ((1u << size) - 1));
        bits >>= size;
        have -= (unsigned)size;
        if (code == (int)clear) {
            size = (int)min + 1;
            avail = (int)clear + 2;
            old = -1;
        } else if (code == (int)clear + 1) {  // end of the stream
            return NULL;
        } else if (code <= avail) {
            if (old < 0 && code == avail) return "illegal code in raster";
            if (old >= 0 && avail < TABLE) {  // a full table stays as it is
                prefix[avail] = (short)old;
                first[avail] = first[old];
                suffix[avail] = code == avail ? first[old] : first[code];
                ++avail;
            } else if (code == avail) {
                return "illegal code in raster";
            }
            int n = 0;
            for (int c = code; c >= 0 && n < TABLE; c = prefix[c]) stack[n++] = suffix[c];
            while (n > 0) put(f, stack[--n]);
            if (f->y >= f->h) return NULL;  // the frame is whole: the rest is not read
            if (avail < TABLE && (avail & ((1 << size) - 1)) == 0 && size < 12) ++size;
            old = code;
        } else {
            return "illegal code in raster";
        }
    }
}

// Whether stb_image's reason for refusing a GIF is one this reader takes.
int gif_takes(const char *why) {
    return strcmp(why, "missing color table") == 0 || strcmp(why, "too many codes") == 0;
}

unsigned char *gif_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    GifRead r = {d, len, 0};
    if (len < 13 || memcmp(d, "GIF8", 4) != 0 || (d[4] != '7' && d[4] != '9') || d[5] != 'a') {
        *why = "not GIF";
        return NULL;
    }
    r.p = 6;
    *w = (int)get16(&r);
    *h = (int)get16(&r);
    unsigned flags = get8(&r), background = get8(&r);
    get8(&r);
    unsigned char global[256][4], local[256][4];
    memset(global, 0, sizeof global);
    if (flags & 0x80) {
        read_table(&r, global, 2 << (flags & 7), -1);
    } else {
        grey_ramp(global);
    }
    int transparent = -1;
    if (!stb_sizes_valid(*w, *h, 4, 1, 0)) {
        *why = "too large";
        return NULL;
    }
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)*w, (size_t)*h);
    unsigned char *drawn = (unsigned char *)calloc((size_t)*w * (size_t)*h + 1, 1);
    if (px == NULL || drawn == NULL) {
        free(px);
        free(drawn);
        *why = "outofmem";
        return NULL;
    }
    memset(px, 0, (size_t)*w * (size_t)*h * 4);
    const char *reason = "no image";
    for (;;) {
        unsigned tag = get8(&r);
        if (tag == 0x21) {  // an extension: the graphic control one gives transparency
            unsigned label = get8(&r);
            if (label == 0xF9) {
                unsigned n = get8(&r);
                if (n == 4) {
                    unsigned eflags = get8(&r);
                    get16(&r);
                    if (transparent >= 0) global[transparent][3] = 255;
                    unsigned t = get8(&r);
                    transparent = eflags & 1 ? (int)t : -1;
                    if (transparent >= 0) global[transparent][3] = 0;
                } else {
                    skip(&r, n);
                    continue;
                }
            }
            for (unsigned n; (n = get8(&r)) != 0;) skip(&r, n);
            continue;
        }
        if (tag != 0x2C) {
            reason = tag == 0x3B ? "no image" : "unknown code";
            break;
        }
        Frame f;
        f.out = px;
        f.drawn = drawn;
        f.canvas_w = *w;
        f.x0 = (int)get16(&r);
        f.y0 = (int)get16(&r);
        f.w = (int)get16(&r);
        f.h = (int)get16(&r);
        if (f.x0 + f.w > *w || f.y0 + f.h > *h) {
            reason = "bad Image Descriptor";
            break;
        }
        unsigned lflags = get8(&r);
        f.x = f.y = 0;
        if (f.w == 0) f.y = f.h;  // no pixels
        f.pass = lflags & 0x40 ? 3 : 0;
        f.step = lflags & 0x40 ? 8 : 1;
        if (lflags & 0x80) {
            memset(local, 0, sizeof local);
            read_table(&r, local, 2 << (lflags & 7), transparent);
            f.pal = local;
        } else {
            f.pal = global;
        }
        reason = decode_lzw(&r, &f);
        if (reason == NULL && background > 0) {
            // Pixels the first frame leaves undrawn: the background colour.
            unsigned char bg[4];
            memcpy(bg, global[background], 3);
            bg[3] = 255;
            for (size_t i = 0, n = (size_t)*w * (size_t)*h; i < n; ++i) {
                if (!drawn[i]) memcpy(px + i * 4, bg, 4);
            }
        }
        break;
    }
    free(drawn);
    if (reason != NULL) {
        free(px);
        *why = reason;
        return NULL;
    }
    return px;
}
