// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The pipeline of an animation (frames = TRIMLET_ALL_FRAMES with an animated
// input, or GIF output): one box for every frame, chosen on the canvas, then
// the frames decoded, cut and handed to the encoder one at a time, so memory
// holds about two canvases and the encoder's state whatever the number of
// frames. GIF to GIF cuts the stored frames (their palette indexes, tables,
// transparency, disposal and delays) and re-quantises nothing; any input to
// WebP composites each frame and encodes the cut canvas.
//
// Rules: rect, edges, aspect and ratio see the canvas size; auto keeps the
// union of every frame's content, each judged against the first frame's
// corners, so that a subject that moves is never clipped; entropy and
// attention judge the first frame. The EXIF orientation and metadata of an
// animation are not carried (orient and metadata do nothing here).

#include "api/api.h"
#include "crop/crop.h"
#include "base/signatures.h"

#include <stdlib.h>
#include <string.h>

// Frames x canvas pixels an animation may hold, as a multiple of max_pixels
// (see docs/animation.md for the choice).
static const long long FRAMES_TOTAL_FACTOR = 16;

// 1 when the input starts as a GIF file does.
static int is_gif(const Input *in) { return in->size >= 6 && memcmp(in->data, "GIF8", 4) == 0; }

// An animation being read: GIF or WebP.
struct Source {
    GifReader *gif;
    WebpAnimReader *webp;
    int w, h, loop;
    Image canvas;  // GIF: the reader's composited canvas (ours); WebP: the decoder's
    GifRaw raw;    // GIF: the frame as stored
};

static void source_close(Source *s) {
    gif_close(s->gif);
    webp_anim_close(s->webp);
    if (s->gif != NULL) free(s->canvas.px);
    memset(s, 0, sizeof *s);
}

static int source_open(const Input *in, Source *s, Failure *err) {
    memset(s, 0, sizeof *s);
    if (is_gif(in)) {
        s->gif = gif_open(in, err);
        if (s->gif == NULL) return 0;
        gif_canvas(s->gif, &s->w, &s->h, &s->loop);
        s->canvas.w = s->w;
        s->canvas.h = s->h;
        s->canvas.px = (unsigned char *)calloc((size_t)s->w * (size_t)s->h, 4);
        if (s->canvas.px == NULL) {
            source_close(s);
            return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", in->name);
        }
        return 1;
    }
    s->webp = webp_anim_open(in, &s->w, &s->h, &s->loop, err);
    return s->webp != NULL;
}

// The next frame: composited into s->canvas when `composite` (WebP always),
// its duration in milliseconds. 1, 0 at the end, -1 on failure.
static int source_next(Source *s, int composite, int *ms, Failure *err) {
    if (s->webp != NULL) return webp_anim_next(s->webp, &s->canvas, ms, err);
    int r = gif_next(s->gif, &s->raw, composite ? &s->canvas : NULL, err);
    *ms = s->raw.delay * 10;
    return r;
}

// A WebP holds an animation only where its extended header (VP8X) says so;
// a still's container is left to its reader, which parses it once.
static int webp_says_animated(const unsigned char *d, size_t n) {
    return is_webp_file(d, n) && n >= 21 && memcmp(d + 12, "VP8X", 4) == 0 && (d[20] & 2) != 0;
}

// The frame count and canvas size from the container, without decoding:
// 1 and 0 x 0 for anything but GIF and WebP.
static int animation_size(const Input *in, int *w, int *h) {
    int n = 0;
    *w = *h = 0;
    if (is_gif(in)) {
        gif_scan(in->data, in->size, w, h, &n);
    } else if (webp_says_animated(in->data, in->size)) {
        n = webp_frames(in, w, h);
    }
    return n > 0 ? n : 1;
}

int input_frame_count(const Input *in) {
    int w = 0, h = 0;
    return animation_size(in, &w, &h);
}

int frames_path(const Request *q, int format, int count) {
    return format == FORMAT_GIF || (q->set.frames == TRIMLET_ALL_FRAMES && count > 1);
}

// The box every frame is cut by (see the top of the file). Reads frames
// from s (reopened by the caller afterwards) only for auto and the
// positions that judge pixels.
static int choose_box(Source *s, const Request *q, const char *name, Rect *r, Failure *err) {
    Image size_only = {s->w, s->h, NULL};
    int judge = position_needs_pixels(q->set.position);
    if (q->rule != TRIMLET_AUTO) {
        if (!rule_region(q->rule, q->params, &size_only, r, err)) return 0;
        if (!judge) {
            position_gravity(q->set.position, s->w, s->h, r);
            return 1;
        }
    }
    unsigned char corners[4][4];
    int found = 0, ms = 0, n;
    while ((n = source_next(s, 1, &ms, err)) > 0) {
        if (q->rule != TRIMLET_AUTO) break;  // judging: the first frame only
        if (!found) {
            const unsigned char *c[4];
            image_corners(&s->canvas, c);
            for (int i = 0; i < 4; ++i) memcpy(corners[i], c[i], 4);
        }
        Rect f;
        if (!auto_content(&s->canvas, corners, q->params[0], &f)) continue;
        if (found) {
            int x1 = r->x + r->w > f.x + f.w ? r->x + r->w : f.x + f.w;
            int y1 = r->y + r->h > f.y + f.h ? r->y + r->h : f.y + f.h;
            r->x = r->x < f.x ? r->x : f.x;
            r->y = r->y < f.y ? r->y : f.y;
            r->w = x1 - r->x;
            r->h = y1 - r->y;
        } else {
            *r = f;
        }
        found = 1;
    }
    if (n < 0) return 0;
    if (q->rule == TRIMLET_AUTO) return found ? 1 : auto_uniform(q->params[0], err);
    if (n == 0) return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': animation has no frame", name);
    Image small;
    if (!position_reduce(&s->canvas, &small, err)) return 0;
    int ok = position_choose(q->set.position, &small, s->w, s->h, r, err);
    free(small.px);
    return ok;
}

// Where the frames go: GIF (cut as stored), WebP (encoded cut canvases) or
// nowhere (a plan, which still decodes every frame for the verdict).
struct Target {
    GifWriter *gif;
    WebpAnimWriter *webp;
    Sink sink;
    Replace rep;
    int dest;
};

static int target_open(Target *t, const Source *s, const Request *q, int dest, const char *out_path,
                       int format, Rect box, int ow, int oh, Failure *err) {
    memset(t, 0, sizeof *t);
    t->dest = dest;
    if (dest == TO_NOTHING) return 1;
    t->sink.kind = dest == TO_MEMORY ? SINK_MEMORY : SINK_FILE;
    if (dest == TO_LEGACY_FILE) t->sink.path = out_path;
    if (dest == TO_FILE && !begin_replace(out_path, &t->rep, &t->sink, err)) {
        t->dest = TO_NOTHING;
        return 0;
    }
    if (format == FORMAT_GIF) {
        t->gif = gif_writer_open(s->gif, box.w, box.h, &t->sink, err);
        return t->gif != NULL;
    }
    int quality = q->set.quality != 0 ? q->set.quality : WEBP_DEFAULT_QUALITY;
    // A GIF without a loop count plays once.
    int loop = s->gif != NULL ? (s->loop < 0 ? 1 : s->loop) : s->loop;
    t->webp = webp_anim_writer_open(ow, oh, loop, quality, q->set.lossless, err);
    return t->webp != NULL;
}

// Finishes (ok) or abandons the output; a file is replaced only when whole.
static int target_close(Target *t, int ok, const char *out_path, Outcome *o, Failure *err) {
    const char *name = t->dest == TO_MEMORY ? "<memory>" : out_path;
    if (t->gif != NULL) ok = gif_writer_close(t->gif, ok, err);
    if (t->webp != NULL) ok = webp_anim_writer_close(t->webp, ok, &t->sink, name, err);
    switch (t->dest) {
    case TO_NOTHING: return ok;
    case TO_FILE: return finish_replace(out_path, &t->rep, &t->sink, ok, err);
    case TO_LEGACY_FILE:
        if (!sink_finish(&t->sink, ok) && ok) {
            return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s' (check the extension)", out_path);
        }
        return ok;
    default:
        if (!sink_finish(&t->sink, ok)) {
            free(t->sink.mem);
            return ok ? fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '<memory>': out of memory") : 0;
        }
        o->block = t->sink.mem;
        o->block_size = t->sink.mem_size;
        return 1;
    }
}

// One frame to the target: the stored frame cut (GIF), or the canvas cut
// and scaled to ow x oh (WebP).
static int target_frame(Target *t, const Source *s, Rect box, int ow, int oh, int ms, Failure *err) {
    if (t->gif != NULL) return gif_writer_frame(t->gif, &s->raw, box, err);
    if (t->webp == NULL) return 1;
    Image crop = sub_image(s->w, s->canvas.px, box.x, box.y, box.w, box.h, err);
    if (crop.px == NULL) return 0;
    int ok = resize_image(&crop, ow, oh, err) && webp_anim_add(t->webp, &crop, ms, err);
    free(crop.px);
    return ok;
}

// The checks made before any pixel is decoded.
static int check_frames(const Input *in, const Request *q, int format, int count, Failure *err) {
    int gif_in = is_gif(in);
    if (format == FORMAT_GIF) {
        if (!GIF_LIB) return fail(err, TRIMLET_ERR_UNAVAILABLE, "GIF output is not available in this build");
        if (!gif_in) {
            // A file that is no image, or a damaged one, is reported as such.
            Reader r;
            reader_find(in, &r);
            int opened = reader_open(&r, err);
            reader_close(&r);
            if (!opened) return 0;
            return fail(err, TRIMLET_ERR_UNSUPPORTED, "GIF output needs a GIF input");
        }
        if (q->set.resize_w > 0 || q->set.resize_h > 0) {
            return fail(err, TRIMLET_ERR_UNSUPPORTED,
                        "resize: GIF output is cut from the input's frames and cannot be scaled");
        }
    } else if (format >= 0 && format != FORMAT_WEBP) {
        return fail(err, TRIMLET_ERR_ARGUMENT,
                    "frames: '%s' has %d frames and %s holds one: choose a frame (frames 0, the first) "
                    "or an animating format (gif, webp)",
                    in->name, count, format_name(format));
    }
    if (gif_in && !GIF_LIB) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "frames: GIF animation is not available in this build");
    }
    // The canvas within max_pixels, and every frame's together within the
    // total, before a decoder allocates anything.
    int w = 0, h = 0;
    animation_size(in, &w, &h);
    long long max = q->set.max_pixels;
    if (!within_limits(w, h, max, err)) return 0;
    if (max > 0 && q->set.frames == TRIMLET_ALL_FRAMES && (long long)count * w * h > FRAMES_TOTAL_FACTOR * max) {
        return fail(err, TRIMLET_ERR_TOO_LARGE,
                    "animation too large: %d frames of %dx%d are more than %lld pixels (16 x max_pixels)",
                    count, w, h, FRAMES_TOTAL_FACTOR * max);
    }
    return 1;
}

int run_frames(Input *in, const Request *q, int dest, const char *out_path, int format, int count,
               Outcome *o, Failure *err) {
    if (!check_frames(in, q, format, count, err)) return 0;
    Source s;
    if (!source_open(in, &s, err)) return 0;
    Rect box = {0, 0, 0, 0};
    int ok = choose_box(&s, q, in->name, &box, err);
    int judged = q->rule == TRIMLET_AUTO || position_needs_pixels(q->set.position);
    if (ok && judged) {
        source_close(&s);
        ok = source_open(in, &s, err);
    }
    if (!ok) {
        source_close(&s);
        return 0;
    }
    o->box = box;
    o->image_w = s.w;
    o->image_h = s.h;
    o->frames = count;
    resize_size(box.w, box.h, q->set.resize_w, q->set.resize_h, &o->out_w, &o->out_h);
    Target t;
    ok = target_open(&t, &s, q, dest, out_path, format, box, o->out_w, o->out_h, err);
    // Compositing is needed for WebP output, and for the verdict of a plan
    // or a GIF only as far as decoding goes.
    int composite = t.webp != NULL;
    int limit = q->set.frames == TRIMLET_ALL_FRAMES ? -1 : 1;
    for (int i = 0; ok && i != limit; ++i) {
        int ms = 0;
        int n = source_next(&s, composite, &ms, err);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = target_frame(&t, &s, box, o->out_w, o->out_h, ms, err);
    }
    ok = target_close(&t, ok, out_path, o, err);
    source_close(&s);
    if (ok && dest != TO_NOTHING) o->format = format;
    return ok;
}
