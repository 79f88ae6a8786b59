// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Animated WebP input through libwebp's demux (WebPAnimDecoder: each frame
// composited on the canvas, with its end time). No call starts a thread.
// The writer is webpanimw.cpp.

#include "codecs/parts.h"
#include "base/count.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBWEBP

#include <webp/demux.h>

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
#endif
