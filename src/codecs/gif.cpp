// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// GIF through giflib (linked dynamically): a walk over the blocks that counts
// the frames without decoding them, a reader that gives one frame at a time
// (as stored, and composited onto the canvas as browsers show it), and a
// writer that cuts stored frames to a box without touching their palette
// indexes, so a GIF cut from a GIF is exact. stb_image still reads the first
// frame of every GIF for the rest of the library: this file serves the
// frames option and GIF output.
//
// giflib's streaming reader keeps every image descriptor it reads (and a
// copy of its colour table) in SavedImages; the reader empties that list
// after each one, so memory stays flat whatever the number of frames.
//
// The image data is decompressed here, from the blocks giflib hands over
// (DGifGetCode): giflib's own decoder takes a code beyond the next free
// table entry without complaint and gives garbage pixels. Such a frame, or
// one whose data ends before its last pixel, is refused as CORRUPT rather
// than shown in part. A table full at 4096 entries without a clear code is
// valid and decodes. Rows come in the file's order: an interlaced frame's
// are placed by its passes.

#include "codecs/parts.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Counting frames (needs no library)

// Skips the data sub-blocks at d[*p]; 0 when the data ends first.
static int skip_blocks(const unsigned char *d, size_t len, size_t *p) {
    while (*p < len) {
        size_t n = d[*p];
        *p += 1 + n;
        if (n == 0) return *p <= len;
    }
    return 0;
}

int gif_scan(const unsigned char *d, size_t len, int *w, int *h, int *count) {
    *w = *h = *count = 0;
    // giflib takes any file that starts "GIF": so does the walk.
    if (len < 13 || memcmp(d, "GIF", 3) != 0) return 0;
    *w = d[6] | d[7] << 8;
    *h = d[8] | d[9] << 8;
    size_t p = 13;
    if (d[10] & 0x80) p += 3u << ((d[10] & 7) + 1);
    while (p < len) {
        unsigned char kind = d[p++];
        if (kind == 0x3B) return 1;
        if (kind == 0x21) {
            ++p;  // the label
        } else if (kind == 0x2C) {
            if (p + 10 > len) return 0;
            unsigned char packed = d[p + 8];
            p += 9;
            if (packed & 0x80) p += 3u << ((packed & 7) + 1);
            ++p;  // the LZW code size
            ++*count;
        } else {
            return 0;
        }
        if (!skip_blocks(d, len, &p)) return 0;
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
    // The LZW tables: each code's prefix code, last byte and length, and
    // the stack a string is spelled out on.
    uint16_t prefix[4096], length[4096];
    unsigned char suffix[4096], stack[4097];
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
        if (netscape && !first && block[0] >= 3 && block[1] == 1) g->loop = block[2] | block[3] << 8;
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

// The row of the frame's stored row i (of h) under interlacing: passes
// start at 0, 4, 2, 1 with steps 8, 8, 4, 2.
static int interlaced_row(int i, int h) {
    static const int START[4] = {0, 4, 2, 1}, STEP[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        int n = h > START[p] ? (h - START[p] + STEP[p] - 1) / STEP[p] : 0;
        if (i < n) return START[p] + i * STEP[p];
        i -= n;
    }
    return 0;
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

// Where a frame's decoded pixels go: row by row into g->row, each full row
// placed (deinterlaced, clipped to the canvas) into the index block.
struct Rows {
    GifReader *g;
    GifRaw *raw;
    int fw, fh, top, interlace;
    int row, col;  // the stored row being filled, and how far
};

// Places the filled row and starts the next.
static void row_done(Rows *r) {
    int y = r->interlace ? interlaced_row(r->row, r->fh) : r->row;
    // The frame starts at raw->x (a left edge is never negative), so its
    // part on the canvas is the row's first raw->w pixels.
    int cy = r->top + y - r->raw->y;
    if (r->raw->w > 0 && cy >= 0 && cy < r->raw->h) {
        memcpy(r->g->index + (size_t)cy * r->raw->w, r->g->row, (size_t)r->raw->w);
    }
    r->col = 0;
    ++r->row;
}

static void put_pixel(Rows *r, unsigned char v) {
    if (r->row >= r->fh) return;  // beyond the last pixel: ignored, as browsers do
    r->g->row[r->col++] = v;
    if (r->col >= r->fw) row_done(r);
}

static int frame_damaged(const GifReader *g, const char *why, Failure *err) {
    return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': GIF frame %d %s", g->in->name, g->frames + 1, why);
}

// Decompresses the frame's LZW data into rows; 0 with the message set.
static int decompress(GifReader *g, Rows *rows, Failure *err) {
    int min = 0;
    GifByteType *block = NULL;
    if (DGifGetCode(g->gif, &min, &block) != GIF_OK) return gif_failure(g, g->gif->Error, err);
    if (min < 1 || min > 11) return frame_damaged(g, "has an LZW code size out of range", err);
    const int clear = 1 << min, end = clear + 1;
    int size = min + 1, next = clear + 2, prev = -1;
    unsigned char first = 0;
    uint32_t bits = 0;
    int have = 0, ended = 0;
    for (int i = 0; i < clear; ++i) {
        g->prefix[i] = 0xFFFF;
        g->suffix[i] = (unsigned char)i;
        g->length[i] = 1;
    }
    while (block != NULL) {
        for (int k = 1; k <= block[0] && !ended; ++k) {
            bits |= (uint32_t)block[k] << have;
            have += 8;
            while (have >= size && !ended) {
                int code = (int)(bits & ((1u << size) - 1));
                bits >>= size;
                have -= size;
                if (code == clear) {
                    size = min + 1;
                    next = clear + 2;
                    prev = -1;
                    continue;
                }
                if (code == end) {
                    ended = 1;
                    break;
                }
                // A code may name an entry of the table, or the one being
                // made (KwKwK); nothing beyond.
                if (code > next || (prev < 0 && code >= clear) || (code == next && next >= 4096)) {
                    return frame_damaged(g, "has an LZW code beyond its table", err);
                }
                int c = code, len = code == next ? g->length[prev] + 1 : g->length[code];
                if (rows->row < rows->fh && rows->col + len <= rows->fw) {
                    // The string fits the row: spelled out backwards in place.
                    unsigned char *d = g->row + rows->col + len - 1;
                    if (code == next) {
                        *d-- = first;
                        c = prev;
                    }
                    for (; c >= clear; c = g->prefix[c]) *d-- = g->suffix[c];
                    *d = (unsigned char)c;
                    first = (unsigned char)c;
                    rows->col += len;
                    if (rows->col == rows->fw) row_done(rows);
                } else {
                    int n = 0;
                    if (code == next) {
                        g->stack[n++] = first;
                        c = prev;
                    }
                    while (c >= clear) {
                        g->stack[n++] = g->suffix[c];
                        c = g->prefix[c];
                    }
                    g->stack[n++] = (unsigned char)c;
                    first = (unsigned char)c;
                    while (n > 0) put_pixel(rows, g->stack[--n]);
                }
                if (prev >= 0 && next < 4096) {
                    g->prefix[next] = (uint16_t)prev;
                    g->suffix[next] = first;
                    g->length[next] = (uint16_t)(g->length[prev] + 1);
                    ++next;
                }
                // Codes widen once the table holds 1 << size entries,
                // checked after every code as giflib and stb_image do: with
                // code size 1 the first code after a clear already fills it.
                if (next == 1 << size && size < 12) ++size;
                prev = code;
            }
        }
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
    Rows rows = {g, raw, fw, fh, desc->Top, desc->Interlace ? 1 : 0, 0, 0};
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

// ---------------------------------------------------------------------------
// Writing

struct GifWriter {
    GifFileType *gif;
    int has_global;
    int w;
    unsigned char *row;
};

static int write_output(GifFileType *gif, const GifByteType *buf, int n) {
    sink_write((Sink *)gif->UserData, buf, (size_t)n);
    return n;
}

// A giflib colour map of p (whose count, from a file, is a power of two), or
// of a grey ramp of 256 when p has none and grey is set.
static ColorMapObject *make_map(const GifPalette *p) {
    GifColorType colours[256];
    int n = p->count;
    for (int i = 0; i < n; ++i) {
        colours[i].Red = p->rgb[i][0];
        colours[i].Green = p->rgb[i][1];
        colours[i].Blue = p->rgb[i][2];
    }
    return GifMakeMapObject(n, colours);
}

static int writer_failure(int code, Failure *err) {
    if (code == E_GIF_ERR_NOT_ENOUGH_MEM) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    const char *why = GifErrorString(code);
    return fail(err, TRIMLET_ERR_WRITE, "cannot encode GIF: %s", why != NULL ? why : "giflib failed");
}

GifWriter *gif_writer_open(const GifReader *from, int w, int h, Sink *sink, Failure *err) {
    GifWriter *wr = (GifWriter *)calloc(1, sizeof *wr);
    if (wr == NULL || (wr->row = (unsigned char *)malloc((size_t)w)) == NULL) {
        if (wr != NULL) free(wr);
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return NULL;
    }
    wr->w = w;
    int code = 0;
    wr->gif = EGifOpen(sink, write_output, &code);
    if (wr->gif == NULL) {
        writer_failure(code, err);
        gif_writer_close(wr, 0, NULL);
        return NULL;
    }
    EGifSetGifVersion(wr->gif, true);
    // A file without a global table gets a grey ramp, as its frames are
    // shown (see composite).
    GifPalette grey;
    const GifPalette *global = &from->global;
    if (global->count == 0) {
        grey.count = 256;
        for (int i = 0; i < 256; ++i) grey.rgb[i][0] = grey.rgb[i][1] = grey.rgb[i][2] = (unsigned char)i;
        global = &grey;
    }
    ColorMapObject *map = make_map(global);
    int ok = map != NULL && EGifPutScreenDesc(wr->gif, w, h, from->gif->SColorResolution,
                                              from->gif->SBackGroundColor, map) == GIF_OK;
    GifFreeMapObject(map);
    wr->has_global = 1;
    // The extensions before the first image, as they were.
    for (size_t p = 0; ok && p < from->ext_len;) {
        ok = EGifPutExtensionLeader(wr->gif, from->ext[p++]) == GIF_OK;
        while (ok && from->ext[p] != 0) {
            ok = EGifPutExtensionBlock(wr->gif, from->ext[p], from->ext + p + 1) == GIF_OK;
            p += 1 + (size_t)from->ext[p];
        }
        ++p;
        ok = ok && EGifPutExtensionTrailer(wr->gif) == GIF_OK;
    }
    if (!ok) {
        writer_failure(wr->gif->Error, err);
        gif_writer_close(wr, 0, NULL);
        return NULL;
    }
    return wr;
}

int gif_writer_frame(GifWriter *wr, const GifRaw *raw, Rect box, Failure *err) {
    int x0 = raw->x > box.x ? raw->x : box.x, y0 = raw->y > box.y ? raw->y : box.y;
    int x1 = raw->x + raw->w < box.x + box.w ? raw->x + raw->w : box.x + box.w;
    int y1 = raw->y + raw->h < box.y + box.h ? raw->y + raw->h : box.y + box.h;
    GraphicsControlBlock gcb;
    gcb.DisposalMode = raw->disposal;
    gcb.UserInputFlag = false;
    gcb.DelayTime = raw->delay;
    gcb.TransparentColor = raw->transparent;
    int outside = x1 <= x0 || y1 <= y0;
    if (outside) {
        // One transparent pixel in the corner: it changes nothing shown,
        // and keeps the frame's delay.
        x0 = box.x;
        y0 = box.y;
        x1 = x0 + 1;
        y1 = y0 + 1;
        gcb.TransparentColor = 0;
        gcb.DisposalMode = DISPOSE_DO_NOT;
    }
    GifByteType ext[4];
    size_t n = EGifGCBToExtension(&gcb, ext);
    // giflib 5.2 keeps a copy of a frame's own table and loses it when the
    // next frame has none: freed here before each frame, and on close.
    GifFreeMapObject(wr->gif->Image.ColorMap);
    wr->gif->Image.ColorMap = NULL;
    ColorMapObject *local = raw->local.count > 0 && !outside ? make_map(&raw->local) : NULL;
    int ok = (raw->local.count == 0 || outside || local != NULL) &&
             EGifPutExtension(wr->gif, GRAPHICS_EXT_FUNC_CODE, (int)n, ext) == GIF_OK &&
             EGifPutImageDesc(wr->gif, x0 - box.x, y0 - box.y, x1 - x0, y1 - y0, false, local) == GIF_OK;
    for (int y = y0; ok && y < y1; ++y) {
        if (outside) {
            wr->row[0] = 0;
        } else {
            memcpy(wr->row, raw->index + (size_t)(y - raw->y) * raw->w + (x0 - raw->x), (size_t)(x1 - x0));
        }
        ok = EGifPutLine(wr->gif, wr->row, x1 - x0) == GIF_OK;
    }
    GifFreeMapObject(local);
    return ok ? 1 : writer_failure(wr->gif->Error, err);
}

int gif_writer_close(GifWriter *wr, int ok, Failure *err) {
    if (wr == NULL) return 0;
    int code = 0;
    if (wr->gif != NULL) {
        // The last frame's own table (see gif_writer_frame).
        GifFreeMapObject(wr->gif->Image.ColorMap);
        wr->gif->Image.ColorMap = NULL;
        // Only a finished file gets its trailer: giflib writes it on close,
        // and a failed one goes nowhere anyway.
        if (EGifCloseFile(wr->gif, &code) != GIF_OK && ok) ok = writer_failure(code, err);
    }
    free(wr->row);
    free(wr);
    return ok;
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
GifWriter *gif_writer_open(const GifReader *, int, int, Sink *, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF output is not available in this build");
    return NULL;
}
int gif_writer_frame(GifWriter *, const GifRaw *, Rect, Failure *err) {
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF output is not available in this build");
}
int gif_writer_close(GifWriter *, int, Failure *) { return 0; }

#endif
