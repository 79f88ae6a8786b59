// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Animated WebP through libwebp's demux (WebPAnimDecoder: each frame
// composited on the canvas, with its end time) and its animation encoder
// (WebPAnimEncoder: frames added one at a time; it keeps their compressed
// forms until the file is assembled). No call starts a thread.

#include "codecs/parts.h"
#include "base/count.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBWEBP

#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

int webp_frames(const Input *in, int *w, int *h) {
    count_open(OPEN_WEBP_DEMUX);
    WebPData data = {in->data, in->size};
    WebPDemuxer *demux = WebPDemux(&data);
    *w = *h = 0;
    if (demux == NULL) return 0;
    int n = (int)WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
    *w = (int)WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    *h = (int)WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    WebPDemuxDelete(demux);
    return n;
}

struct WebpAnimReader {
    WebPAnimDecoder *dec;
    const Input *in;
    int w, h;
    int last_ms;  // the previous frame's end time
};

WebpAnimReader *webp_anim_open(const Input *in, int *w, int *h, int *loop, Failure *err) {
    WebpAnimReader *r = (WebpAnimReader *)calloc(1, sizeof *r);
    if (r == NULL) {
        fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", in->name);
        return NULL;
    }
    WebPAnimDecoderOptions opt;
    WebPAnimDecoderOptionsInit(&opt);
    opt.color_mode = MODE_RGBA;
    opt.use_threads = 0;
    WebPData data = {in->data, in->size};
    r->in = in;
    r->dec = WebPAnimDecoderNew(&data, &opt);
    WebPAnimInfo info;
    if (r->dec == NULL || !WebPAnimDecoderGetInfo(r->dec, &info)) {
        fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP animation damaged", in->name);
        webp_anim_close(r);
        return NULL;
    }
    *w = r->w = (int)info.canvas_width;
    *h = r->h = (int)info.canvas_height;
    *loop = (int)info.loop_count;
    return r;
}

int webp_anim_next(WebpAnimReader *r, Image *canvas, int *duration_ms, Failure *err) {
    if (!WebPAnimDecoderHasMoreFrames(r->dec)) return 0;
    uint8_t *buf = NULL;
    int end = 0;
    if (!WebPAnimDecoderGetNext(r->dec, &buf, &end)) {
        fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP animation frame damaged", r->in->name);
        return -1;
    }
    canvas->w = r->w;
    canvas->h = r->h;
    canvas->px = buf;
    *duration_ms = end - r->last_ms;
    r->last_ms = end;
    return 1;
}

void webp_anim_close(WebpAnimReader *r) {
    if (r == NULL) return;
    WebPAnimDecoderDelete(r->dec);
    free(r);
}

struct WebpAnimWriter {
    WebPAnimEncoder *enc;
    WebPConfig config;
    int time_ms;
};

WebpAnimWriter *webp_anim_writer_open(int w, int h, int loop, int quality, int lossless, Failure *err) {
    if (w > WEBP_MAX_SIDE || h > WEBP_MAX_SIDE) {
        fail(err, TRIMLET_ERR_TOO_LARGE, "cannot encode WebP: WebP holds at most 16383 pixels a side");
        return NULL;
    }
    WebpAnimWriter *wr = (WebpAnimWriter *)calloc(1, sizeof *wr);
    WebPAnimEncoderOptions opt;
    if (wr == NULL || !WebPAnimEncoderOptionsInit(&opt) || !WebPConfigInit(&wr->config)) {
        free(wr);
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return NULL;
    }
    opt.anim_params.loop_count = loop;
    opt.allow_mixed = 0;
    opt.verbose = 0;
    wr->config.lossless = lossless ? 1 : 0;
    wr->config.quality = lossless ? 75.0f : (float)quality;
    wr->config.exact = lossless ? 1 : 0;
    wr->enc = WebPAnimEncoderNew(w, h, &opt);
    if (wr->enc == NULL) {
        free(wr);
        fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return NULL;
    }
    return wr;
}

int webp_anim_add(WebpAnimWriter *wr, Image *frame, int duration_ms, Failure *err) {
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    // The encoder copies the frame into a canvas of its own: the frame's
    // pixels, rewritten as ARGB words, serve as the picture it copies from
    // rather than a third frame-sized buffer.
    size_t n = (size_t)frame->w * (size_t)frame->h;
    for (size_t i = 0; i < n; ++i) {
        unsigned char *p = frame->px + i * 4;
        uint32_t argb = (uint32_t)p[3] << 24 | (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
        memcpy(p, &argb, 4);
    }
    pic.use_argb = 1;
    pic.width = frame->w;
    pic.height = frame->h;
    pic.argb = (uint32_t *)(void *)frame->px;
    pic.argb_stride = frame->w;
    int ok = WebPAnimEncoderAdd(wr->enc, &pic, wr->time_ms, &wr->config);
    if (!ok) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode WebP animation: %s",
                         WebPAnimEncoderGetError(wr->enc));
    wr->time_ms += duration_ms;
    return 1;
}

int webp_anim_writer_close(WebpAnimWriter *wr, int ok, Sink *sink, const char *name, Failure *err) {
    if (wr == NULL) return 0;
    WebPData out;
    WebPDataInit(&out);
    if (ok && (!WebPAnimEncoderAdd(wr->enc, NULL, wr->time_ms, NULL) ||
               !WebPAnimEncoderAssemble(wr->enc, &out))) {
        ok = fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': %s", name, WebPAnimEncoderGetError(wr->enc));
    }
    if (ok) sink_write(sink, out.bytes, out.size);
    WebPDataClear(&out);
    WebPAnimEncoderDelete(wr->enc);
    free(wr);
    return ok;
}

#else  // built without libwebp

int webp_frames(const Input *, int *w, int *h) {
    *w = *h = 0;
    return 0;
}
WebpAnimReader *webp_anim_open(const Input *in, int *, int *, int *, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': WebP is not available in this build", in->name);
    return NULL;
}
int webp_anim_next(WebpAnimReader *, Image *, int *, Failure *) { return 0; }
void webp_anim_close(WebpAnimReader *) {}
WebpAnimWriter *webp_anim_writer_open(int, int, int, int, int, Failure *err) {
    fail(err, TRIMLET_ERR_UNAVAILABLE, "WebP is not available in this build");
    return NULL;
}
int webp_anim_add(WebpAnimWriter *, Image *, int, Failure *) { return 0; }
int webp_anim_writer_close(WebpAnimWriter *, int, Sink *, const char *, Failure *) { return 0; }

#endif
