// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// GIF output through giflib: a writer that cuts the stored frames of the
// file gif.cpp reads to a box without touching their palette indexes, so a
// GIF cut from a GIF is exact. The global table, background and the
// extensions before the first image (the loop count among them) are the
// input's.

#include "codecs/gif.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_GIFLIB

#include <gif_lib.h>

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
    GifScreen screen;
    gif_screen(from, &screen);
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
    const GifPalette *global = screen.global;
    if (global->count == 0) {
        grey.count = 256;
        for (int i = 0; i < 256; ++i) grey.rgb[i][0] = grey.rgb[i][1] = grey.rgb[i][2] = (unsigned char)i;
        global = &grey;
    }
    ColorMapObject *map = make_map(global);
    int ok = map != NULL && EGifPutScreenDesc(wr->gif, w, h, screen.resolution, screen.background, map) == GIF_OK;
    GifFreeMapObject(map);
    wr->has_global = 1;
    // The extensions before the first image, as they were.
    const unsigned char *ext = screen.ext;
    for (size_t p = 0; ok && p < screen.ext_len;) {
        ok = EGifPutExtensionLeader(wr->gif, ext[p++]) == GIF_OK;
        while (ok && ext[p] != 0) {
            ok = EGifPutExtensionBlock(wr->gif, ext[p], ext + p + 1) == GIF_OK;
            p += 1 + (size_t)ext[p];
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

GifWriter *gif_writer_open(const GifReader *, int, int, Sink *, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF output is not available in this build");
    return NULL;
}
int gif_writer_frame(GifWriter *, const GifRaw *, Rect, Failure *err) {
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF output is not available in this build");
}
int gif_writer_close(GifWriter *, int, Failure *) { return 0; }

#endif
