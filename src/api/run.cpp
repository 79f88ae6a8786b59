// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The pipeline every exported function follows: read the options, choose the
// rectangle by the rule, cut it out (decoding only that region where the
// decoder can), free the source, encode the crop into a file, a memory block
// or nowhere (a plan), free the crop.

#include "api/api.h"
#include "crop/crop.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Options

static const unsigned char WHITE[3] = {255, 255, 255};

// The settings the seven use, and every option's default.
void default_settings(Settings *set, int system_reasons) {
    set->format = -1;
    set->quality = 0;  // the format's default
    memcpy(set->background, WHITE, 3);
    set->lossless = 0;
    set->orient = TRIMLET_AS_STORED;
    set->metadata = TRIMLET_STRIP;
    set->max_pixels = 0;
    set->position = TRIMLET_CENTRE;
    set->resize_w = 0;
    set->resize_h = 0;
    set->verify = TRIMLET_VERIFY_WHOLE;
    set->effort = 0;
    set->png_compact = 0;
    set->frames = 0;
    set->system_reasons = system_reasons;
}

int read_options(const trimlet_options *o, int rule, Settings *set, Failure *err) {
    default_settings(set, 1);
    set->max_pixels = TRIMLET_DEFAULT_MAX_PIXELS;
    if (o == NULL) return 1;
    size_t size = o->size;
    if (size > sizeof(trimlet_options)) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "options: size %lu is larger than this library's %lu (built against a newer header)",
                    (unsigned long)size, (unsigned long)sizeof(trimlet_options));
    }
#define HAS(field) (size >= offsetof(trimlet_options, field) + sizeof o->field)
    if (HAS(format) && o->format != NULL) {
        set->format = format_from_name(o->format);
        if (set->format < 0) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: unknown format '%s' (png, jpg, jpeg, bmp or tga)", o->format);
        }
        if (!format_available(set->format)) {
            return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: format %s is not available in this build",
                        format_name(set->format));
        }
    }
    if (HAS(quality) && o->quality != 0) {
        if (o->quality < 1 || o->quality > 100) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: quality %d out of range 1..100", o->quality);
        }
        set->quality = o->quality;
    }
    if (HAS(background) && o->background != NULL) memcpy(set->background, o->background, 3);
    if (HAS(lossless) && o->lossless != 0) {
        if (!JPEG_TURBO && !WEBP_LIB) {
            return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
        }
        set->lossless = 1;
    }
    if (HAS(orient) && o->orient != TRIMLET_AS_STORED) {
        if (o->orient != TRIMLET_APPLY_EXIF) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: orient %d is not TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF",
                        o->orient);
        }
        set->orient = TRIMLET_APPLY_EXIF;
    }
    if (HAS(metadata) && o->metadata != TRIMLET_STRIP) {
        if (o->metadata != TRIMLET_KEEP) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: metadata %d is not TRIMLET_STRIP or TRIMLET_KEEP",
                        o->metadata);
        }
        set->metadata = TRIMLET_KEEP;
    }
    if (HAS(max_pixels) && o->max_pixels != 0) set->max_pixels = o->max_pixels > 0 ? o->max_pixels : 0;
    if (HAS(position) && o->position != TRIMLET_CENTRE) {
        if (o->position < TRIMLET_CENTRE || o->position > TRIMLET_ATTENTION) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: position %d out of range 0..10", o->position);
        }
        // Only the centred rules have a box to move.
        if (rule != TRIMLET_ASPECT && rule != TRIMLET_RATIO) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: position applies to aspect and ratio only");
        }
        set->position = o->position;
    }
    if (HAS(resize_w)) set->resize_w = o->resize_w;
    if (HAS(resize_h)) set->resize_h = o->resize_h;
    if (set->resize_w < 0 || set->resize_h < 0) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "options: resize %dx%d must not be negative", set->resize_w,
                    set->resize_h);
    }
    if ((set->resize_w > 0 || set->resize_h > 0) && set->lossless) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "options: resize cannot be combined with lossless");
    }
    if (HAS(frames) && o->frames != 0) {
        if (o->frames != TRIMLET_ALL_FRAMES) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: frames %d is not 0 (the first) or TRIMLET_ALL_FRAMES",
                        o->frames);
        }
        set->frames = TRIMLET_ALL_FRAMES;
    }
    if (HAS(verify) && o->verify != TRIMLET_VERIFY_WHOLE) {
        if (o->verify != TRIMLET_VERIFY_REGION) {
            return fail(err, TRIMLET_ERR_ARGUMENT,
                        "options: verify %d is not TRIMLET_VERIFY_WHOLE or TRIMLET_VERIFY_REGION", o->verify);
        }
        set->verify = TRIMLET_VERIFY_REGION;
    }
    if (HAS(effort) && o->effort != 0) {
        if (o->effort < 0 || o->effort > 10) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: effort %d out of range 0..10", o->effort);
        }
        set->effort = o->effort;
    }
    if (HAS(png_compact) && o->png_compact != 0) {
        if (o->png_compact != 1) {
            return fail(err, TRIMLET_ERR_ARGUMENT, "options: png_compact %d is not 0 or 1", o->png_compact);
        }
        set->png_compact = 1;
    }
#undef HAS
    return 1;
}

// ---------------------------------------------------------------------------
// Pipeline

// Turns a cut crop upright; on failure frees it.
static int turn_crop(Image *crop, int orientation, Failure *err) {
    if (orient_image(crop, orientation, err)) return 1;
    free(crop->px);
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    return 0;
}

// Moves a box by a position that looks at the pixels: whole is the whole
// picture (at any scale), stored as `left` says (1: upright already); W x H
// is the upright picture's size, r the rule's box in it.
static int judge_box(int position, const Image *whole, int left, int W, int H, Rect *r,
                     Failure *err) {
    Image small;
    if (!position_reduce(whole, &small, err)) return 0;
    int ok = orient_image(&small, left, err) && position_choose(position, &small, W, H, r, err);
    free(small.px);
    return ok;
}

// The DCT scaling a JPEG is decoded at for a position to judge it: the
// smallest that leaves at least POSITION_SIDE pixels on the long side.
static int judge_denom(int w, int h) {
    int long_side = w > h ? w : h;
    int denom = 8;
    while (denom > 1 && (long_side + denom - 1) / denom < POSITION_SIDE) denom /= 2;
    return denom;
}

// How much more than the output's size a reduced decode must leave: the DCT
// scaling is a coarser filter than Lanczos 3, so the filter finishes from at
// least SHRINK_MARGIN times the output's size.
static const int SHRINK_MARGIN = 2;

// The DCT scaling JPEG shrink-on-load decodes the stored rectangle s at,
// with the output's size in stored sides in *ow, *oh: when the resize option
// scales s down to a half or less, 1/2, 1/4 or 1/8 (the smallest scale that
// leaves SHRINK_MARGIN times the output); else 1.
static int shrink_denom(const Request *q, Rect s, int orientation, int *ow, int *oh) {
    int uw = 0, uh = 0;
    upright_size(orientation, s.w, s.h, &uw, &uh);
    resize_size(uw, uh, q->set.resize_w, q->set.resize_h, ow, oh);
    if (*ow == uw && *oh == uh) return 1;
    upright_size(orientation, *ow, *oh, ow, oh);  // turned back to the stored sides
    int denom = 8;
    while (denom > 1 && (s.w < (long long)*ow * SHRINK_MARGIN * denom ||
                         s.h < (long long)*oh * SHRINK_MARGIN * denom)) {
        denom /= 2;
    }
    return denom;
}

// The filter's part of shrink-on-load: the stored rectangle s resampled to
// ow x oh from `scaled`, which holds the picture at 1/denom with its top-left
// pixel at (bx, by) of the scaled picture.
static int finish_scaled(const Image *scaled, int bx, int by, Rect s, int denom, int ow, int oh,
                         Image *crop, Failure *err) {
    double d = denom;
    return resize_area(scaled, s.x / d - bx, s.y / d - by, s.w / d, s.h / d, ow, oh, crop, err);
}

// JPEG shrink-on-load: the stored rectangle s (of a w x h JPEG) decoded at
// shrink_denom's scale and finished by the filter, in the stored orientation
// (the turn then moves only output pixels). Returns 1 with the scaled crop,
// 0 on failure, or -1 when it does not apply or the reduced decoder declines
// the file (then decode_region decodes it as usual).
static int shrink_on_load(const Input *in, const Request *q, Rect s, int orientation, int w,
                          int h, Image *crop, Failure *err) {
    int ow = 0, oh = 0;
    int denom = shrink_denom(q, s, orientation, &ow, &oh);
    if (denom == 1 || !jpeg_takes(in)) return -1;
    // The scaled pixels that cover s: its sides divided by denom, widened to
    // whole pixels of the scaled image ((w + denom - 1) / denom wide).
    int sw = (w + denom - 1) / denom, sh = (h + denom - 1) / denom;
    Rect band;
    band.x = s.x / denom;
    band.y = s.y / denom;
    band.w = (s.x + s.w + denom - 1) / denom - band.x;
    band.h = (s.y + s.h + denom - 1) / denom - band.y;
    if (band.x + band.w > sw) band.w = sw - band.x;
    if (band.y + band.h > sh) band.h = sh - band.y;
    Image scaled;
    if (!jpeg_decode_scaled(in, &band, denom, &scaled, NULL)) return -1;
    int ok = finish_scaled(&scaled, band.x, band.y, s, denom, ow, oh, crop, err);
    free(scaled.px);
    return ok;
}

// Entropy and attention with a shrink-on-load resize decode the whole JPEG
// once, at the resize's scale, for both the judging and the crop, when that
// takes at most this many bytes; otherwise the judging has its own smaller
// decode and the box is decoded again.
static const long long JUDGE_ONCE_BYTES = 8 << 20;

// Chooses the rectangle for the input and cuts it out into *crop. Where the
// decoder can decode a region (region_decodable), the size in the header
// chooses the rectangle and only that region is decoded; otherwise the whole
// image is decoded, the rule runs on it and the rectangle is copied out.
// Either way a rule's refusal is reported only for a file that decodes, so
// that a bad file and bad parameters report the file, as the rules are
// checked after decoding. The input's bytes are released as soon as they are
// decoded, so they are never held beside both the image and the crop.
//
// orientation (1..8, the EXIF tag's; 1 leaves the pixels as stored) turns
// what the rule sees and what it cuts upright. A rule that looks at the size
// alone gets the upright size, its rectangle is mapped back to the stored
// pixels, and only the crop is turned. Auto, which looks at pixels, gets the
// whole image turned (see orient_image for the memory that takes).
//
// A position moves the rule's box. Entropy and attention judge a reduced
// copy of the whole picture: on the region path a JPEG decoded at a reduced
// DCT scale first (its file is then read twice), elsewhere the decoded image.
static int cut(Input *in, const Request *q, int orientation, Rect *r, int *image_w,
               int *image_h, Image *crop, Failure *err) {
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    int position = q->set.position;
    int judge = position_needs_pixels(position);
    if (!rule_needs_pixels(q->rule) && region_decodable(in)) {
        int w = 0, h = 0;
        if (!screened_size(in, &w, &h, err)) return 0;
        Image size_only = {0, 0, NULL};
        upright_size(orientation, w, h, &size_only.w, &size_only.h);
        if (!rule_region(q->rule, q->params, &size_only, r, err)) {
            Image full;
            Failure why;
            if (!decode_image(in, &full, &why)) {
                *err = why;
                return 0;
            }
            free(full.px);
            return 0;  // the rule's message stands
        }
        int denom = judge ? judge_denom(w, h) : 0;
        int ow = 0, oh = 0;  // the resize's size in stored sides, for a decode done once
        int once = judge ? shrink_denom(q, stored_rect(*r, orientation, w, h), orientation, &ow, &oh) : 1;
        if (once > 1 && 4LL * ((w + once - 1) / once) * ((h + once - 1) / once) <= JUDGE_ONCE_BYTES) {
            denom = once;
        } else {
            once = 0;
        }
        Image whole = {0, 0, NULL};
        // A small picture, another format's, or one the scaled decode does
        // not take, is judged on the whole decode below (which gives the
        // verdict on a bad file).
        if (!judge ||
            (denom > 1 && jpeg_takes(in) && jpeg_decode_scaled(in, NULL, denom, &whole, NULL))) {
            if (judge) {
                int ok = judge_box(position, &whole, orientation, size_only.w, size_only.h, r, err);
                if (ok && once) {
                    ok = finish_scaled(&whole, 0, 0, stored_rect(*r, orientation, w, h), denom, ow, oh,
                                       crop, err);
                }
                free(whole.px);
                if (!ok) return 0;
                if (once) {
                    *image_w = size_only.w;
                    *image_h = size_only.h;
                    release_input(in);
                    return turn_crop(crop, orientation, err);
                }
            } else {
                position_gravity(position, size_only.w, size_only.h, r);
            }
            *image_w = size_only.w;
            *image_h = size_only.h;
            Rect s = stored_rect(*r, orientation, w, h);
            // Only a box chosen without the pixels may leave the rows below
            // it undecoded.
            in->region_verdict = !judge && q->set.verify == TRIMLET_VERIFY_REGION;
            int ok = shrink_on_load(in, q, s, orientation, w, h, crop, err);
            if (ok < 0) ok = decode_region(in, s, crop, err);
            release_input(in);
            return ok && turn_crop(crop, orientation, err);
        }
    }
    Image full;
    int decoded = decode_image(in, &full, err);
    release_input(in);
    if (!decoded) return 0;
    int left = orientation;  // the turn still to give what is cut
    if (rule_needs_pixels(q->rule)) {
        if (!orient_image(&full, orientation, err)) {
            free(full.px);
            return 0;
        }
        left = 1;
    }
    // The rule sees the upright size, and the pixels once they are upright.
    Image upright = {0, 0, left == 1 ? full.px : NULL};
    upright_size(left, full.w, full.h, &upright.w, &upright.h);
    if (!rule_region(q->rule, q->params, &upright, r, err)) {
        free(full.px);
        return 0;
    }
    if (judge) {
        if (!judge_box(position, &full, left, upright.w, upright.h, r, err)) {
            free(full.px);
            return 0;
        }
    } else {
        position_gravity(position, upright.w, upright.h, r);
    }
    *image_w = upright.w;
    *image_h = upright.h;
    Rect s = stored_rect(*r, left, full.w, full.h);
    *crop = sub_image(full.w, full.px, s.x, s.y, s.w, s.h, err);
    free(full.px);
    if (crop->px == NULL) return 0;
    return turn_crop(crop, left, err);
}

// The rectangle of a lossless cut: the rule's, chosen on the header's size
// (auto: on the decoded pixels), both upright by the orientation, then moved
// onto the block grid the turned file allows (jpeg_snap). The cut itself
// needs JPEG in and JPEG out (format -1: not known yet, a plan). A file that
// the cut would refuse is reported before a rule's refusal, as a lossy crop
// reports a file that does not decode first.
static int plan_lossless(const Input *in, const Request *q, int format, int orientation, Rect *r,
                         int *image_w, int *image_h, Failure *err) {
    if (!JPEG_TURBO) return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
    if (format >= 0 && format != FORMAT_JPEG) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED,
                    WEBP_LIB ? "lossless: output must be JPEG or WebP, not %s" : "lossless: output must be JPEG, not %s",
                    format_name(format));
    }
    if (!jpeg_takes(in)) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "lossless: '%s' is not a JPEG file", in->name);
    }
    Image img = {0, 0, NULL};
    if (rule_needs_pixels(q->rule)) {
        if (!decode_image(in, &img, err)) return 0;
    } else if (!screened_size(in, &img.w, &img.h, err)) {
        return 0;
    }
    Rect whole = {0, 0, img.w, img.h};
    int ok = 1;
    if (img.px != NULL) {
        ok = orient_image(&img, orientation, err);
    } else {
        upright_size(orientation, whole.w, whole.h, &img.w, &img.h);
    }
    if (ok && !rule_region(q->rule, q->params, &img, r, err)) {
        Failure why;
        if (!jpeg_lossless(in, whole, 1, 0, NULL, &why)) *err = why;
        ok = 0;
    }
    // The position moves the box before it goes onto the grid; entropy and
    // attention judge the picture decoded at a reduced scale (whole where
    // that decoder declines it).
    if (ok && position_needs_pixels(q->set.position)) {
        Image seen;
        if (!jpeg_decode_scaled(in, NULL, judge_denom(whole.w, whole.h), &seen, NULL) &&
            !decode_image(in, &seen, err)) {
            ok = 0;
        } else {
            ok = judge_box(q->set.position, &seen, orientation, img.w, img.h, r, err);
            free(seen.px);
        }
    } else if (ok) {
        position_gravity(q->set.position, img.w, img.h, r);
    }
    *image_w = img.w;
    *image_h = img.h;
    free(img.px);
    return ok && jpeg_snap(in, *r, orientation, r, err);
}

// Where the finished crop goes: encoded by encode (or cut losslessly) into
// the destination's sink; encoding may spend the crop's pixels. The file
// destinations open their sink here; memory hands the block to *o.
static int deliver(Image *crop, const Input *in, Rect lossless_box, int orientation,
                   const Request *q, int dest, const char *out_path, int format,
                   const Metadata *meta, Outcome *o, Failure *err) {
    Sink sink;
    memset(&sink, 0, sizeof sink);
    sink.kind = dest == TO_MEMORY ? SINK_MEMORY : SINK_FILE;
    const char *name = dest == TO_MEMORY ? "<memory>" : out_path;
    int keep = q->set.metadata == TRIMLET_KEEP;
    Replace rep;
    if (dest == TO_FILE && !begin_replace(out_path, &rep, &sink, err)) return 0;
    if (dest == TO_LEGACY_FILE) sink.path = out_path;
    int ok = crop != NULL ? encode_image(crop, format, &q->set, meta, &sink, name, err)
                          : jpeg_lossless(in, lossless_box, orientation, keep, &sink, err);
    // An encoder whose sink failed stops with no message: the failure is
    // reported below, as the sink's.
    if (sink.failed) ok = 1;
    if (dest == TO_FILE) return finish_replace(out_path, &rep, &sink, ok, err);
    if (dest == TO_LEGACY_FILE) {
        if (!sink_finish(&sink, ok) && ok) {
            return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s' (check the extension)", out_path);
        }
        return ok;
    }
    if (!sink_finish(&sink, ok)) {
        free(sink.mem);
        return ok ? fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '<memory>': out of memory") : 0;
    }
    o->block = sink.mem;
    o->block_size = sink.mem_size;
    return 1;
}

// The format a destination is written in: the option's, else memory's PNG or
// the output path's (format_for_path: the seven's choice; the reentrant
// interface has checked the extension before).
static int output_format(const Request *q, int dest, const char *out_path) {
    if (q->set.format >= 0) return q->set.format;
    if (dest == TO_MEMORY) return FORMAT_PNG;
    if (dest == TO_NOTHING) return -1;
    return format_for_path(out_path);
}

// The pipeline of a decoded crop (see run_pipeline).
static int run_decoded(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                       Failure *err) {
    // Metadata is read while the input's bytes are at hand; the blocks only
    // for output that may carry them.
    Metadata meta;
    int apply_exif = q->set.orient == TRIMLET_APPLY_EXIF;
    read_input_metadata(in, apply_exif, q->set.metadata == TRIMLET_KEEP && dest != TO_NOTHING, &meta);
    int orientation = meta.orientation;
    // Upright output carries no turn for a viewer to apply again.
    if (apply_exif) set_orientation_one(&meta);
    Image crop;
    int ok = cut(in, q, orientation, &o->box, &o->image_w, &o->image_h, &crop, err);
    release_input(in);
    if (ok) {
        // Scaled down after the turn, before encoding; a plan only says to
        // what size.
        resize_size(o->box.w, o->box.h, q->set.resize_w, q->set.resize_h, &o->out_w, &o->out_h);
        if (dest != TO_NOTHING) {
            o->format = output_format(q, dest, out_path);
            ok = resize_image(&crop, o->out_w, o->out_h, err) &&
                 deliver(&crop, NULL, o->box, 1, q, dest, out_path, o->format, &meta, o, err);
        }
    }
    free(crop.px);
    release_metadata(&meta);
    return ok;
}

// The pipeline of a lossless cut (see run_pipeline): the input's coefficients
// are cut into the destination, or, for a plan, read and checked as the cut
// would.
static int run_lossless(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                        Failure *err) {
    int format = output_format(q, dest, out_path);
    int orientation = 1;
    if (q->set.orient == TRIMLET_APPLY_EXIF) {
        Metadata meta;
        read_metadata(in, 1, 0, &meta);
        orientation = meta.orientation;
        release_metadata(&meta);
    }
    Rect r = {0, 0, 0, 0};
    int ok = plan_lossless(in, q, format, orientation, &r, &o->image_w, &o->image_h, err);
    if (ok) {
        o->box = r;
        o->out_w = r.w;
        o->out_h = r.h;
        if (dest == TO_NOTHING) {
            ok = jpeg_lossless(in, r, orientation, 0, NULL, err);
        } else {
            o->format = format;
            ok = deliver(NULL, in, r, orientation, q, dest, out_path, format, NULL, o, err);
        }
    }
    release_input(in);
    return ok;
}

int run_pipeline(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                 Failure *err) {
    memset(o, 0, sizeof *o);
    o->format = -1;
    // Lossless WebP output is a decoded crop encoded losslessly; any other
    // lossless output is a cut of a JPEG's coefficients.
    int format = output_format(q, dest, out_path);
    int count = input_frame_count(in);
    if (frames_path(q, format, count)) {
        int ok = run_frames(in, q, dest, out_path, format, count, o, err);
        release_input(in);
        if (!ok) {
            memset(o, 0, sizeof *o);
            o->format = -1;
        }
        return ok;
    }
    int lossless_cut = q->set.lossless && format != FORMAT_WEBP;
    int ok = lossless_cut ? run_lossless(in, q, dest, out_path, o, err)
                          : run_decoded(in, q, dest, out_path, o, err);
    o->frames = count;
    if (!ok) {
        memset(o, 0, sizeof *o);
        o->format = -1;
    }
    return ok;
}
