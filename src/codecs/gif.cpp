// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// GIF through giflib (linked dynamically): a walk over the blocks that counts
// the frames without decoding them, and a reader that gives one frame at a
// time (as stored, and composited onto the canvas as browsers show it), for
// the frames option and for the writer (gifwrite.cpp). stb_image still reads
// the first frame of every GIF for the rest of the library.
//
// giflib's streaming reader keeps every image descriptor it reads (and a
// copy of its colour table) in SavedImages; the reader empties that list
// after each one, so memory stays flat whatever the number of frames.
//
// The image data is decompressed by giflzw.cpp, from the blocks giflib hands
// over (DGifGetCode). A frame with a code beyond the next free table entry,
// or one whose data ends before its last pixel, is refused as CORRUPT rather
// than shown in part. A table full at 4096 entries without a clear code is
// valid and decodes.

#include "codecs/gif.h"
#include "base/bytes.h"

#include <stdlib.h>
#include <string.h>


// ---------------------------------------------------------------------------
// Counting frames (needs no library)

// Skips the data sub-blocks where r is; 0 when the data ends first.
static int skip_blocks(ByteReader *r) {
    while (bytes_left(r) > 0) {
        size_t n = bytes_next(r);
        bytes_skip(r, n);
        if (n == 0) return r->at <= r->n;
    }
    return 0;
}

int gif_scan(const unsigned char *d, size_t len, int *w, int *h, int *count) {
    *w = *h = *count = 0;
    // giflib takes any file that starts "GIF": so does the walk.
    if (len < 13 || memcmp(d, "GIF", 3) != 0) return 0;
    *w = (int)load_u16(d + 6, 0);
    *h = (int)load_u16(d + 8, 0);
    ByteReader r = bytes_reader(d, len, 13);
    if (d[10] & 0x80) bytes_skip(&r, 3u << ((d[10] & 7) + 1));
    while (bytes_left(&r) > 0) {
        unsigned kind = bytes_next(&r);
        if (kind == 0x3B) return 1;
        if (kind == 0x21) {
            bytes_skip(&r, 1);  // the label
        } else if (kind == 0x2C) {
            if (bytes_left(&r) < 10) return 0;
            unsigned packed = bytes_at(&r, r.at + 8);
            bytes_skip(&r, 9);
            if (packed & 0x80) bytes_skip(&r, 3u << ((packed & 7) + 1));
            bytes_skip(&r, 1);  // the LZW code size
            ++*count;
        } else {
            return 0;
        }
        if (!skip_blocks(&r)) return 0;
    }
    return 0;
}

#ifdef TRIMLET_USE_GIFLIB

#include <gif_lib.h>

// ---------------------------------------------------------------------------
// Reading

struct GifReader {
    GifFileType *gif;
    const Input *in;
    size_t pos;  // the next byte giflib reads
    int w, h;
    int loop;  // NETSCAPE2.0 loop count (0: for ever), -1 when the file has none
    GifPalette global;
    // The graphic control extension for the next image.
    int transparent, disposal, delay;
    // Extensions before the first image, to copy: per extension its label,
    // then its sub-blocks (length byte and data) and a 0.
    unsigned char *ext;
    size_t ext_len, ext_cap;
    int first;   // what the walk to the first image gave (1 image, 0 end, -1 error)
    int frames;  // frames read
    unsigned char *index, *row;  // the frame's indexes (canvas size); one stored row
    GifLzw lzw;
    // The previous frame's box and disposal, and the canvas under it before
    // it was drawn (for disposal 3).
    Rect prev;
    int prev_disposal;
    unsigned char *saved;
};

static int read_input(GifFileType *gif, GifByteType *buf, int n) {
    GifReader *g = (GifReader *)gif->UserData;
    size_t left = g->in->size - g->pos;
    size_t take = (size_t)n < left ? (size_t)n : left;
    memcpy(buf, g->in->data + g->pos, take);
    g->pos += take;
    return (int)take;
}

static int gif_failure(const GifReader *g, int code, Failure *err) {
    if (code == D_GIF_ERR_NOT_ENOUGH_MEM) {
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", g->in->name);
    }
    if (code == D_GIF_ERR_READ_FAILED || code == D_GIF_ERR_EOF_TOO_SOON) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF data truncated", g->in->name);
    }
    // giflib's words ("Wrong record type detected", ...), lower-cased.
    const char *why = GifErrorString(code);
    char first = why != NULL && why[0] >= 'A' && why[0] <= 'Z' ? (char)(why[0] - 'A' + 'a') : '\0';
    if (first == '\0') return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF data damaged", g->in->name);
    return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF %c%s", g->in->name, first, why + 1);
}

static void copy_palette(const ColorMapObject *m, GifPalette *p) {
    p->count = 0;
    if (m == NULL || m->Colors == NULL) return;
    p->count = m->ColorCount > 256 ? 256 : m->ColorCount;
    for (int i = 0; i < p->count; ++i) {
        p->rgb[i][0] = m->Colors[i].Red;
        p->rgb[i][1] = m->Colors[i].Green;
        p->rgb[i][2] = m->Colors[i].Blue;
    }
}

static int keep_bytes(GifReader *g, const unsigned char *d, size_t n) {
    if (g->ext_len + n > g->ext_cap) {
        size_t cap = (g->ext_len + n) * 2 + 64;
        unsigned char *more = (unsigned char *)realloc(g->ext, cap);
        if (more == NULL) return 0;
        g->ext = more;
        g->ext_cap = cap;
    }
    memcpy(g->ext + g->ext_len, d, n);
    g->ext_len += n;
    return 1;
}

// Reads one extension: the graphic control for the next image, the loop
// count, and (before the first image) what the writer copies; plain text
// (screen positions that a cut would leave wrong) is dropped.
static int read_extension(GifReader *g, Failure *err) {
    int code = 0;
    GifByteType *block = NULL;
    if (DGifGetExtension(g->gif, &code, &block) != GIF_OK) return gif_failure(g, g->gif->Error, err);
    int keep = g->frames == 0 && code != GRAPHICS_EXT_FUNC_CODE && code != PLAINTEXT_EXT_FUNC_CODE;
    int netscape = code == APPLICATION_EXT_FUNC_CODE && block != NULL && block[0] >= 11 &&
                   memcmp(block + 1, "NETSCAPE2.0", 11) == 0;
    unsigned char label = (unsigned char)code;
    if (keep && !keep_bytes(g, &label, 1)) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    int first = 1;
    while (block != NULL) {
        if (code == GRAPHICS_EXT_FUNC_CODE && first) {
            GraphicsControlBlock gcb;
            if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) {
                g->transparent = gcb.TransparentColor;
                g->disposal = gcb.DisposalMode;
                g->delay = gcb.DelayTime;
            }
        }
        if (netscape && !first && block[0] >= 3 && block[1] == 1) g->loop = (int)load_u16(block + 2, 0);
        if (keep && !keep_bytes(g, block, (size_t)block[0] + 1)) {
            return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        }
        first = 0;
        if (DGifGetExtensionNext(g->gif, &block) != GIF_OK) return gif_failure(g, g->gif->Error, err);
    }
    unsigned char end = 0;
    if (keep && !keep_bytes(g, &end, 1)) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    return 1;
}

// Reads records up to the next image descriptor: 1 there, 0 at the end
// (the trailer, or data that ends between frames, as browsers take it), -1
// with the message set.
static int read_until_image(GifReader *g, Failure *err) {
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(g->gif, &type) != GIF_OK) {
            if (g->frames > 0 && g->pos >= g->in->size) return 0;
            gif_failure(g, g->gif->Error, err);
            return -1;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) return 1;
        if (type == TERMINATE_RECORD_TYPE) return 0;
        if (type == EXTENSION_RECORD_TYPE && !read_extension(g, err)) return -1;
    }
}

GifReader *gif_open(const Input *in, Failure *err) {
    GifReader *g = (GifReader *)calloc(1, sizeof *g);
    if (g == NULL) {
        fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", in->name);
        return NULL;
    }
    g->in = in;
    g->loop = -1;
    g->transparent = -1;
    int code = 0;
    g->gif = DGifOpen(g, read_input, &code);
    if (g->gif == NULL) {
        gif_failure(g, code, err);
        free(g);
        return NULL;
    }
    g->w = g->gif->SWidth;
    g->h = g->gif->SHeight;
    copy_palette(g->gif->SColorMap, &g->global);
    size_t area = (size_t)g->w * (size_t)g->h;
    if (g->w < 1 || g->h < 1) {
        fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF canvas is empty", in->name);
    } else if (!within_limits(g->w, g->h, in->max_pixels, err)) {
        // refused before the canvas is allocated
    } else if ((g->index = (unsigned char *)malloc(area)) == NULL ||
               (g->row = (unsigned char *)malloc(65536)) == NULL) {
        fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", in->name);
    } else if ((g->first = read_until_image(g, err)) >= 0) {
        if (g->first == 1) return g;
        fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF has no image", in->name);
    }
    gif_close(g);
    return NULL;
}

void gif_canvas(const GifReader *g, int *w, int *h, int *loop) {
    *w = g->w;
    *h = g->h;
    *loop = g->loop;
}

void gif_screen(const GifReader *g, GifScreen *s) {
    s->global = &g->global;
    s->resolution = g->gif->SColorResolution;
    s->background = g->gif->SBackGroundColor;
    s->ext = g->ext;
    s->ext_len = g->ext_len;
}

// Disposes of the previous frame on the canvas, saves what this one covers
// when it is to be restored, and draws it.
static void composite(GifReader *g, const GifRaw *raw, Image *canvas) {
    size_t stride = (size_t)g->w * 4;
    if (g->prev_disposal == DISPOSE_BACKGROUND || g->prev_disposal == DISPOSE_PREVIOUS) {
        for (int y = 0; y < g->prev.h; ++y) {
            unsigned char *d = canvas->px + (size_t)(g->prev.y + y) * stride + (size_t)g->prev.x * 4;
            size_t n = (size_t)g->prev.w * 4;
            if (g->prev_disposal == DISPOSE_BACKGROUND) {
                memset(d, 0, n);
            } else if (g->saved != NULL) {
                memcpy(d, g->saved + (size_t)y * n, n);
            }
        }
    }
    free(g->saved);
    g->saved = NULL;
    if (raw->disposal == DISPOSE_PREVIOUS && raw->w > 0) {
        size_t n = (size_t)raw->w * 4;
        g->saved = (unsigned char *)malloc(n * (size_t)raw->h);
        for (int y = 0; g->saved != NULL && y < raw->h; ++y) {
            memcpy(g->saved + (size_t)y * n, canvas->px + (size_t)(raw->y + y) * stride + (size_t)raw->x * 4, n);
        }
    }
    const GifPalette *pal = raw->local.count > 0 ? &raw->local : &g->global;
    for (int y = 0; y < raw->h; ++y) {
        const unsigned char *s = raw->index + (size_t)y * raw->w;
        unsigned char *d = canvas->px + (size_t)(raw->y + y) * stride + (size_t)raw->x * 4;
        for (int x = 0; x < raw->w; ++x, d += 4) {
            int i = s[x];
            if (i == raw->transparent) continue;
            if (pal->count == 0) {  // no table at all: a grey ramp
                d[0] = d[1] = d[2] = (unsigned char)i;
            } else if (i < pal->count) {
                memcpy(d, pal->rgb[i], 3);
            } else {
                d[0] = d[1] = d[2] = 0;
            }
            d[3] = 255;
        }
    }
    g->prev.x = raw->x;
    g->prev.y = raw->y;
    g->prev.w = raw->w;
    g->prev.h = raw->h;
    g->prev_disposal = raw->disposal;
}

static int frame_damaged(const GifReader *g, const char *why, Failure *err) {
    return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF frame %d %s", g->in->name, g->frames + 1, why);
}

// Decompresses the frame's LZW data into rows; 0 with the message set.
static int decompress(GifReader *g, GifRows *rows, Failure *err) {
    int min = 0;
    GifByteType *block = NULL;
    if (DGifGetCode(g->gif, &min, &block) != GIF_OK) return gif_failure(g, g->gif->Error, err);
    if (min < 1 || min > 11) return frame_damaged(g, "has an LZW code size out of range", err);
    gif_lzw_start(&g->lzw, min);
    while (block != NULL) {
        const char *why = gif_lzw_feed(&g->lzw, block + 1, block[0], rows);
        if (why != NULL) return frame_damaged(g, why, err);
        if (DGifGetCodeNext(g->gif, &block) != GIF_OK) return gif_failure(g, g->gif->Error, err);
    }
    if (rows->row < rows->fh) return frame_damaged(g, "ends before its last pixel", err);
    return 1;
}

int gif_next(GifReader *g, GifRaw *raw, Image *canvas, Failure *err) {
    int r = g->frames == 0 ? g->first : read_until_image(g, err);
    if (r <= 0) return r;
    if (DGifGetImageDesc(g->gif) != GIF_OK) {
        gif_failure(g, g->gif->Error, err);
        return -1;
    }
    // giflib's copy of every descriptor: dropped, so memory stays flat.
    GifFreeSavedImages(g->gif);
    g->gif->ImageCount = 0;
    const GifImageDesc *desc = &g->gif->Image;
    copy_palette(desc->ColorMap, &raw->local);
    raw->transparent = g->transparent;
    raw->disposal = g->disposal;
    raw->delay = g->delay;
    g->transparent = -1;
    g->disposal = 0;
    g->delay = 0;
    // The part of the frame on the canvas.
    int fw = desc->Width, fh = desc->Height;
    int x0 = desc->Left < g->w ? desc->Left : g->w, y0 = desc->Top < g->h ? desc->Top : g->h;
    int x1 = desc->Left + fw < g->w ? desc->Left + fw : g->w;
    int y1 = desc->Top + fh < g->h ? desc->Top + fh : g->h;
    raw->x = x0;
    raw->y = y0;
    raw->w = x1 > x0 && y1 > y0 ? x1 - x0 : 0;
    raw->h = raw->w > 0 ? y1 - y0 : 0;
    raw->index = g->index;
    GifRows rows = {raw, g->row, fw, fh, desc->Top, desc->Interlace ? 1 : 0, 0, 0};
    if (!decompress(g, &rows, err)) return -1;
    ++g->frames;
    if (canvas != NULL) composite(g, raw, canvas);
    return 1;
}

void gif_close(GifReader *g) {
    if (g == NULL) return;
    int code = 0;
    if (g->gif != NULL) DGifCloseFile(g->gif, &code);
    free(g->ext);
    free(g->index);
    free(g->row);
    free(g->saved);
    free(g);
}

#else  // built without giflib

GifReader *gif_open(const Input *in, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': GIF animation is not available in this build", in->name);
    return NULL;
}
void gif_canvas(const GifReader *, int *w, int *h, int *loop) { *w = *h = *loop = 0; }
int gif_next(GifReader *, GifRaw *, Image *, Failure *err) {
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF is not available in this build") - 1;
}
void gif_close(GifReader *) {}

#endif
