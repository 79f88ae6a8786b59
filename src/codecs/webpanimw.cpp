// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Animated WebP output, one frame at a time in little memory. The writer
// keeps one canvas: what the file shows after the frames so far. Each new
// frame is compared with it, only the rectangle that changed is encoded
// (WebPEncode, on even offsets as ANMF frames need), and the encoded frame
// goes to libwebpmux, which assembles the file at the end. Every frame is
// disposed of as "none": the next one is drawn over it. The frame is read
// where the caller holds it (the cut of the decoder's canvas); the encoder
// imports the rectangle into its own picture (ARGB lossless, YUV lossy).
//
// A frame can be blended over the canvas: the pixels that did not change
// are made transparent, so they show the canvas as it is and cost almost
// nothing but their share of the alpha plane. That needs every other pixel
// of the rectangle opaque (a see-through pixel would be drawn over the old
// one); otherwise the rectangle replaces the canvas (no blending).
// - Lossless: every unchanged pixel becomes transparent, as libwebp's
//   animation encoder does; every frame shows exactly.
// - Lossy: each 8x8 block of the rectangle (counted from its corner, as the
//   encoder counts them) whose pixels all stay within a threshold that
//   depends on the quality (libwebp's) becomes transparent, but only where
//   those blocks hold detail: a smooth block costs the encoder less than
//   its mark in the alpha plane (whose lossless encoder also needs about
//   two canvases of memory), so a frame whose unchanged blocks are smooth
//   is drawn whole. The canvas kept is what the file means to show, so a
//   pixel is never further than the threshold from its frame's, plus the
//   encoder's loss.
//
// A frame that changes nothing lengthens the frame before it (the timeline
// is the same; a browser shows the same pictures at the same times). This
// follows libwebp's animation encoder (WebPAnimEncoder, "disposal none"
// candidates, no key frames), which keeps three canvases, a copy of the
// frame and the candidates' encodings besides; see docs/animation.md.
//
// Memory: the canvas kept, one encoder run (its picture of the rectangle
// included) and the frames encoded so far (about the size of the output),
// which WebPMuxAssemble copies once into the file. No call starts a thread.

#include "codecs/parts.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBWEBP

#include <webp/encode.h>
#include <webp/mux.h>

// An ANMF frame's duration is 24 bits.
static const int MAX_DURATION = (1 << 24) - 1;
// The background colour of the ANIM chunk: libwebp's animation encoder's
// (white); browsers start from a transparent canvas whatever it says.
static const uint32_t BACKGROUND = 0xffffffffu;
// Lossy: the mean difference between neighbouring pixels (green, in the
// blocks that did not change) from which blending pays. Measured: a
// gradient ground 0.1-0.3 (drawn whole, 2-4 % smaller), a blurred noise
// ground 1.1 (blended, 3-4 times smaller); see docs/animation.md.
static const double DETAIL = 0.5;

struct WebpAnimWriter {
    int w, h;
    int loop;
    WebPConfig config;
    int max_diff;         // lossy: a channel's difference that still counts as unchanged
    unsigned char *shown; // w x h RGBA: what the frames so far show
    int count;            // frames added
    WebPMux *mux;
    // The last frame encoded: pushed when a frame that changes something
    // follows (or at the end), so that the unchanged ones lengthen it.
    WebPMemoryWriter held;
    WebPMuxFrameInfo held_info;
    int holding;
};

// A frame as the caller holds it: w x h RGBA rows, stride bytes apart.
struct View {
    const unsigned char *px;
    size_t stride;
};

struct Box {
    int x, y, w, h;
};

// The same as libwebp's animation encoder: from 31 (quality 0) down to 1
// (quality 100); 4 at quality 80.
static int quality_to_max_diff(float quality) {
    double v = sqrt(quality / 100.0);
    return (int)(31 * (1 - v) + v + 0.5);
}

// Whether two RGBA pixels look alike within d a channel, the colours
// weighed by their alpha (two transparent pixels are alike whatever their
// colour).
static inline int alike(const unsigned char *p, const unsigned char *q, int d) {
    if (abs(p[3] - q[3]) > d) return 0;
    for (int c = 0; c < 3; ++c) {
        if (abs(p[c] * p[3] - q[c] * q[3]) > d * 255) return 0;
    }
    return 1;
}

static inline const unsigned char *at(const View *v, int x, int y) { return v->px + (size_t)y * v->stride + (size_t)x * 4; }
static inline unsigned char *shown_at(const WebpAnimWriter *wr, int x, int y) {
    return wr->shown + ((size_t)y * (size_t)wr->w + (size_t)x) * 4;
}
static inline int same(const unsigned char *p, const unsigned char *q) { return memcmp(p, q, 4) == 0; }

// Whether pixel (x, y) differs from what is shown, as the output sees it
// (lossless: any bit; lossy: beyond the threshold).
static inline int changed(const WebpAnimWriter *wr, const View *v, int x, int y) {
    const unsigned char *c = at(v, x, y), *s = shown_at(wr, x, y);
    if (same(c, s)) return 0;
    return wr->config.lossless || !alike(c, s, wr->max_diff);
}

// The smallest rectangle holding every changed pixel, its corner moved up
// and left to even coordinates; w 0 when nothing changed.
static Box changed_box(const WebpAnimWriter *wr, const View *v) {
    Box b = {0, 0, 0, 0};
    int x0 = wr->w, x1 = -1, y0 = -1, y1 = -1;
    for (int y = 0; y < wr->h; ++y) {
        if (memcmp(at(v, 0, y), shown_at(wr, 0, y), (size_t)wr->w * 4) == 0) continue;
        int first = 0;
        while (first < wr->w && !changed(wr, v, first, y)) ++first;
        if (first == wr->w) continue;
        if (y0 < 0) y0 = y;
        y1 = y;
        if (first < x0) x0 = first;
        // The last change, looked for only beyond the columns found so far
        // (first, a change, ends the search at the latest).
        for (int x = wr->w - 1; x > x1; --x) {
            if (changed(wr, v, x, y)) {
                x1 = x;
                break;
            }
        }
    }
    if (y0 < 0) return b;
    b.x = x0 & ~1;
    b.y = y0 & ~1;
    b.w = x1 + 1 - b.x;
    b.h = y1 + 1 - b.y;
    return b;
}

// Lossy: whether the 8x8 block at (x, y) shows nothing beyond the threshold
// over an opaque canvas, so that a transparent block can stand for it; adds
// its detail (differences between neighbours, green) to *detail.
static int block_unchanged(const WebpAnimWriter *wr, const View *v, int x, int y, long long *detail) {
    long long d = 0;
    for (int j = y; j < y + 8; ++j) {
        for (int i = x; i < x + 8; ++i) {
            const unsigned char *c = at(v, i, j), *s = shown_at(wr, i, j);
            if (s[3] != 0xff || !alike(c, s, wr->max_diff)) return 0;
            if (i > x) d += abs(c[1] - c[-3]);
            if (j > y) d += abs(c[1] - at(v, i, j - 1)[1]);
        }
    }
    *detail += d;
    return 1;
}

// How the rectangle b is drawn: 1 blended (*clear marks, for lossy, the
// blocks made transparent, one byte each), 0 replacing the canvas.
static int choose_blend(const WebpAnimWriter *wr, const View *v, Box b, unsigned char *clear) {
    int bw = b.w / 8, bh = b.h / 8;
    int lossy = !wr->config.lossless;
    if (lossy) {
        long long detail = 0, blocks = 0;
        for (int j = 0; j < bh; ++j) {
            for (int i = 0; i < bw; ++i) {
                clear[j * bw + i] = (unsigned char)block_unchanged(wr, v, b.x + 8 * i, b.y + 8 * j, &detail);
                blocks += clear[j * bw + i];
            }
        }
        if (blocks == 0 || (double)detail < DETAIL * 112.0 * (double)blocks) return 0;
    }
    for (int y = b.y; y < b.y + b.h; ++y) {
        int j = (y - b.y) / 8;
        for (int x = b.x; x < b.x + b.w; ++x) {
            const unsigned char *c = at(v, x, y);
            if (c[3] == 0xff || same(c, shown_at(wr, x, y))) continue;
            int i = (x - b.x) / 8;
            if (lossy && i < bw && j < bh && clear[j * bw + i]) continue;
            return 0;
        }
    }
    return 1;
}

// Makes pic (the rectangle b imported) transparent where blending keeps
// what is shown, and updates what is shown to what the frame will show
// (a lossy picture has an alpha plane when blended).
static void apply_frame(WebpAnimWriter *wr, const View *v, Box b, int blend, const unsigned char *clear,
                        WebPPicture *pic) {
    int bw = b.w / 8, bh = b.h / 8;
    int lossy = !wr->config.lossless;
    for (int y = b.y; y < b.y + b.h; ++y) {
        const unsigned char *c = at(v, b.x, y);
        unsigned char *s = shown_at(wr, b.x, y);
        if (!blend) {
            memcpy(s, c, (size_t)b.w * 4);
            continue;
        }
        int j = (y - b.y) / 8, py = y - b.y;
        for (int x = 0; x < b.w; ++x, c += 4, s += 4) {
            int i = x / 8;
            if (lossy) {
                // A block that stays, or a see-through pixel drawn over
                // itself; the encoder flattens transparent blocks' colours.
                if ((i < bw && j < bh && clear[j * bw + i]) || (c[3] != 0xff && same(c, s))) {
                    pic->a[py * pic->a_stride + x] = 0;
                } else {
                    memcpy(s, c, 4);
                }
            } else if (same(c, s)) {
                pic->argb[py * pic->argb_stride + x] = 0;  // the plainest word
            } else {
                memcpy(s, c, 4);
            }
        }
    }
}

// The failure of an encoder or mux error.
static int encode_failure(WebPEncodingError code, Failure *err) {
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode WebP animation: out of memory");
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
    case VP8_ENC_ERROR_FILE_TOO_BIG:
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot encode WebP animation: too much data for a WebP file");
    default:
        return fail(err, TRIMLET_ERR_WRITE, "cannot encode WebP animation: libwebp's encoder failed (error %d)",
                    (int)code);
    }
}

static int mux_failure(WebPMuxError e, Failure *err) {
    if (e == WEBP_MUX_MEMORY_ERROR) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode WebP animation: out of memory");
    return fail(err, TRIMLET_ERR_WRITE, "cannot encode WebP animation: libwebp's mux failed (error %d)", (int)e);
}

// Hands the frame held to the mux.
static int push_held(WebpAnimWriter *wr, Failure *err) {
    if (!wr->holding) return 1;
    wr->held_info.bitstream.bytes = wr->held.mem;
    wr->held_info.bitstream.size = wr->held.size;
    WebPMuxError e = WebPMuxPushFrame(wr->mux, &wr->held_info, 1);
    WebPMemoryWriterClear(&wr->held);
    wr->holding = 0;
    return e == WEBP_MUX_OK ? 1 : mux_failure(e, err);
}

// Encodes the rectangle b of the frame v as the next frame, held: blended
// (1) or not (0), or (-1) a transparent pixel that only carries time.
static int encode_held(WebpAnimWriter *wr, const View *v, Box b, int blend, const unsigned char *clear,
                       int duration_ms, Failure *err) {
    WebPConfig config = wr->config;
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return fail(err, TRIMLET_ERR_UNAVAILABLE, "libwebp does not match");
    static const unsigned char CLEAR[4] = {0, 0, 0, 0};
    const unsigned char *corner = blend < 0 ? CLEAR : at(v, b.x, b.y);
    if (blend < 0) {
        config.lossless = 1;
        b.w = b.h = 1;
    }
    pic.use_argb = config.lossless;
    pic.width = b.w;
    pic.height = b.h;
    unsigned char *alpha = NULL;
    int ok = WebPPictureImportRGBA(&pic, corner, blend < 0 ? 4 : (int)v->stride);
    if (ok && blend > 0 && !config.lossless && pic.a == NULL) {
        // An opaque rectangle imports without an alpha plane: one of ours.
        alpha = (unsigned char *)malloc((size_t)b.w * (size_t)b.h);
        ok = alpha != NULL;
        if (ok) {
            memset(alpha, 0xff, (size_t)b.w * (size_t)b.h);
            pic.a = alpha;
            pic.a_stride = b.w;
            pic.colorspace = WEBP_YUV420A;
        }
    }
    if (!ok) {
        WebPPictureFree(&pic);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode WebP animation: out of memory");
    }
    if (blend >= 0) apply_frame(wr, v, b, blend, clear, &pic);
    if (blend > 0 && !config.lossless) {
        // As libwebp's animation encoder: no loop filter on a frame drawn
        // over another, whose blocks' edges it would blur into the old ones.
        config.autofilter = 0;
        config.filter_strength = 0;
    }
    WebPMemoryWriterInit(&wr->held);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &wr->held;
    ok = WebPEncode(&config, &pic);
    WebPEncodingError code = pic.error_code;
    if (alpha != NULL) {
        // Ours, not the picture's to free.
        pic.a = NULL;
        free(alpha);
    }
    WebPPictureFree(&pic);
    if (!ok) {
        WebPMemoryWriterClear(&wr->held);
        return encode_failure(code, err);
    }
    memset(&wr->held_info, 0, sizeof wr->held_info);
    wr->held_info.id = WEBP_CHUNK_ANMF;
    wr->held_info.x_offset = b.x;
    wr->held_info.y_offset = b.y;
    wr->held_info.duration = duration_ms;
    wr->held_info.dispose_method = WEBP_MUX_DISPOSE_NONE;
    wr->held_info.blend_method = blend != 0 ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
    wr->holding = 1;
    return 1;
}

WebpAnimWriter *webp_anim_writer_open(int w, int h, int loop, int quality, int lossless, int effort, Failure *err) {
    if (w > WEBP_MAX_SIDE || h > WEBP_MAX_SIDE) {
        fail(err, TRIMLET_ERR_TOO_LARGE, "cannot encode WebP: WebP holds at most 16383 pixels a side");
        return NULL;
    }
    WebpAnimWriter *wr = (WebpAnimWriter *)calloc(1, sizeof *wr);
    if (wr == NULL || !WebPConfigInit(&wr->config)) {
        free(wr);
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return NULL;
    }
    wr->w = w;
    wr->h = h;
    wr->loop = loop;
    // The still encoder's settings: lossless keeps the colour under
    // transparent pixels; effort picks the method.
    wr->config.lossless = lossless ? 1 : 0;
    wr->config.exact = lossless ? 1 : 0;
    if (!lossless) wr->config.quality = (float)quality;
    wr->config.method = webp_method(effort);
    wr->config.thread_level = 0;
    wr->max_diff = quality_to_max_diff((float)quality);
    wr->shown = (unsigned char *)malloc((size_t)w * (size_t)h * 4);
    wr->mux = WebPMuxNew();
    if (wr->shown == NULL || wr->mux == NULL) {
        webp_anim_writer_close(wr, 0, NULL, NULL, NULL);
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return NULL;
    }
    return wr;
}

int webp_anim_add(WebpAnimWriter *wr, const unsigned char *px, size_t stride, int duration_ms, Failure *err) {
    View v = {px, stride};
    if (wr->count++ == 0) {
        // The first frame whole: the canvas starts transparent.
        Box all = {0, 0, wr->w, wr->h};
        return encode_held(wr, &v, all, 0, NULL, duration_ms, err);
    }
    Box b = changed_box(wr, &v);
    if (b.w == 0) {
        if (wr->held_info.duration + duration_ms <= MAX_DURATION) {
            wr->held_info.duration += duration_ms;
            return 1;
        }
        // Too long for one frame: a transparent pixel blended over the
        // canvas carries the time.
        return push_held(wr, err) && encode_held(wr, &v, b, -1, NULL, duration_ms, err);
    }
    if (!push_held(wr, err)) return 0;
    unsigned char *clear = NULL;
    if (!wr->config.lossless) {
        clear = (unsigned char *)malloc((size_t)(b.w / 8 + 1) * (size_t)(b.h / 8 + 1));
        if (clear == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode WebP animation: out of memory");
    }
    int blend = choose_blend(wr, &v, b, clear);
    int ok = encode_held(wr, &v, b, blend, clear, duration_ms, err);
    free(clear);
    return ok;
}

int webp_anim_writer_close(WebpAnimWriter *wr, int ok, Sink *sink, const char *name, Failure *err) {
    if (wr == NULL) return 0;
    // The canvas goes before the file is assembled.
    free(wr->shown);
    wr->shown = NULL;
    if (ok && wr->count == 0) ok = fail(err, TRIMLET_ERR_CORRUPT, "cannot encode '%s': no frame", name);
    if (ok) ok = push_held(wr, err);
    WebPMemoryWriterClear(&wr->held);
    WebPData out;
    WebPDataInit(&out);
    if (ok) {
        WebPMuxAnimParams params;
        params.bgcolor = BACKGROUND;
        params.loop_count = wr->loop;
        WebPMuxError e = WebPMuxSetCanvasSize(wr->mux, wr->w, wr->h);
        if (e == WEBP_MUX_OK) e = WebPMuxSetAnimationParams(wr->mux, &params);
        if (e == WEBP_MUX_OK) e = WebPMuxAssemble(wr->mux, &out);
        if (e != WEBP_MUX_OK) ok = mux_failure(e, err);
    }
    WebPMuxDelete(wr->mux);
    if (ok) sink_write(sink, out.bytes, out.size);
    WebPDataClear(&out);
    free(wr);
    return ok;
}

#else  // built without libwebp

WebpAnimWriter *webp_anim_writer_open(int, int, int, int, int, int, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "WebP is not available in this build");
    return NULL;
}
int webp_anim_add(WebpAnimWriter *, const unsigned char *, size_t, int, Failure *) { return 0; }
int webp_anim_writer_close(WebpAnimWriter *, int, Sink *, const char *, Failure *) { return 0; }

#endif
