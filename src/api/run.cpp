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

// One call as it goes through the steps: built once by run_pipeline and
// read by every step after.
struct Call {
    Input *in;
    Reader reader;       // the input opened by its codec
    const Request *q;
    int dest;            // a Destination
    const char *out_path;
    int format;          // the output's format (-1: a plan)
    int orientation;     // the turn that makes the stored pixels upright (1: none)
    Metadata meta;       // what the output carries
    Outcome *o;
};

// Done with the input: its reader closed and its bytes released, so they
// are never held beside both the image and the crop.
static void done_with_input(Call *c) {
    reader_close(&c->reader);
    release_input(c->in);
}

// Shrink-on-load: the stored rectangle s of a reader that decodes at a
// reduced scale (READ_SCALE), decoded at shrink_denom's scale and finished
// by the filter, in the stored orientation (the turn then moves only output
// pixels). Returns 1 with the scaled crop, 0 on failure, or -1 when it does
// not apply or the reduced decoder declines the file (then the region is
// decoded as usual).
static int shrink_on_load(Call *c, Rect s, Image *crop, Failure *err) {
    Reader *rd = &c->reader;
    int ow = 0, oh = 0;
    int denom = shrink_denom(c->q, s, c->orientation, &ow, &oh);
    if (denom == 1 || !(rd->caps & READ_SCALE)) return -1;
    // The scaled pixels that cover s: its sides divided by denom, widened to
    // whole pixels of the scaled image ((w + denom - 1) / denom wide).
    int sw = (rd->w + denom - 1) / denom, sh = (rd->h + denom - 1) / denom;
    Rect band;
    band.x = s.x / denom;
    band.y = s.y / denom;
    band.w = (s.x + s.w + denom - 1) / denom - band.x;
    band.h = (s.y + s.h + denom - 1) / denom - band.y;
    if (band.x + band.w > sw) band.w = sw - band.x;
    if (band.y + band.h > sh) band.h = sh - band.y;
    Image scaled;
    if (!reader_decode_scaled(rd, &band, denom, &scaled)) return -1;
    int ok = finish_scaled(&scaled, band.x, band.y, s, denom, ow, oh, crop, err);
    free(scaled.px);
    return ok;
}

// Entropy and attention with a shrink-on-load resize decode the whole JPEG
// once, at the resize's scale, for both the judging and the crop, when that
// takes at most this many bytes; otherwise the judging has its own smaller
// decode and the box is decoded again.
static const long long JUDGE_ONCE_BYTES = 8 << 20;

// The rule's refusal is reported only for a file that decodes, so that a
// bad file and bad parameters report the file, as the rules are checked
// after decoding: on the region path, where the box was chosen on the
// header's size, the file's verdict is that of a whole decode.
static int refuse_rule(Reader *rd, Failure *rule_err, Failure *err) {
    Image full;
    Failure why;
    *err = reader_decode(rd, NULL, &full, &why) ? *rule_err : why;
    free(full.px);
    return 0;
}

// The box chosen on the header's size and only its region decoded (the
// reader decodes regions, the rule needs no pixels). 1 with the upright
// crop; 0 on failure; -1 when the position must judge a picture that the
// reader cannot give at a reduced scale: the whole decode (cut_whole) judges
// it then.
static int cut_region(Call *c, Rect *r, Image *crop, Failure *err) {
    const Request *q = c->q;
    Reader *rd = &c->reader;
    int orientation = c->orientation;
    int position = q->set.position;
    int judge = position_needs_pixels(position);
    int w = rd->w, h = rd->h;
    Image size_only = {0, 0, NULL};
    upright_size(orientation, w, h, &size_only.w, &size_only.h);
    Failure rule_err;
    if (!rule_region(q->rule, q->params, &size_only, r, &rule_err)) return refuse_rule(rd, &rule_err, err);
    c->o->image_w = size_only.w;
    c->o->image_h = size_only.h;
    if (judge) {
        int denom = judge_denom(w, h);
        int ow = 0, oh = 0;  // the resize's size in stored sides, for a decode done once
        int once = shrink_denom(q, stored_rect(*r, orientation, w, h), orientation, &ow, &oh);
        if (once > 1 && 4LL * ((w + once - 1) / once) * ((h + once - 1) / once) <= JUDGE_ONCE_BYTES) {
            denom = once;
        } else {
            once = 0;
        }
        // A small picture, or one the scaled decode does not take, is judged
        // on the whole decode (which gives the verdict on a bad file).
        Image whole = {0, 0, NULL};
        if (denom <= 1 || !reader_decode_scaled(rd, NULL, denom, &whole)) return -1;
        int ok = judge_box(position, &whole, orientation, size_only.w, size_only.h, r, err);
        if (ok && once) {
            ok = finish_scaled(&whole, 0, 0, stored_rect(*r, orientation, w, h), denom, ow, oh, crop, err);
        }
        free(whole.px);
        if (!ok) return 0;
        if (once) {
            done_with_input(c);
            return turn_crop(crop, orientation, err);
        }
    } else {
        position_gravity(position, size_only.w, size_only.h, r);
    }
    Rect s = stored_rect(*r, orientation, w, h);
    // Only a box chosen without the pixels may leave the rows below it
    // undecoded.
    c->in->region_verdict = !judge && q->set.verify == TRIMLET_VERIFY_REGION;
    int ok = shrink_on_load(c, s, crop, err);
    if (ok < 0) ok = reader_decode(rd, &s, crop, err);
    done_with_input(c);
    return ok && turn_crop(crop, orientation, err);
}

// The whole image decoded, the rule run on it (upright, for a rule that
// looks at pixels) and the box copied out.
static int cut_whole(Call *c, Rect *r, Image *crop, Failure *err) {
    const Request *q = c->q;
    Image full;
    int decoded = reader_decode(&c->reader, NULL, &full, err);
    done_with_input(c);
    if (!decoded) return 0;
    int left = c->orientation;  // the turn still to give what is cut
    if (rule_needs_pixels(q->rule)) {
        if (!orient_image(&full, left, err)) {
            free(full.px);
            return 0;
        }
        left = 1;
    }
    // The rule sees the upright size, and the pixels once they are upright.
    Image upright = {0, 0, left == 1 ? full.px : NULL};
    upright_size(left, full.w, full.h, &upright.w, &upright.h);
    int ok = rule_region(q->rule, q->params, &upright, r, err);
    if (ok && position_needs_pixels(q->set.position)) {
        ok = judge_box(q->set.position, &full, left, upright.w, upright.h, r, err);
    } else if (ok) {
        position_gravity(q->set.position, upright.w, upright.h, r);
    }
    if (!ok) {
        free(full.px);
        return 0;
    }
    c->o->image_w = upright.w;
    c->o->image_h = upright.h;
    Rect s = stored_rect(*r, left, full.w, full.h);
    *crop = sub_image(full.w, full.px, s.x, s.y, s.w, s.h, err);
    free(full.px);
    if (crop->px == NULL) return 0;
    return turn_crop(crop, left, err);
}

// Chooses the rectangle and cuts it out into *crop, upright. Where the
// reader decodes regions and the rule looks at the size alone, the header's
// size chooses the rectangle and only that region is decoded; otherwise the
// whole image is decoded, the rule runs on it and the rectangle is copied
// out.
//
// The orientation (1..8, the EXIF tag's; 1 leaves the pixels as stored)
// turns what the rule sees and what it cuts upright. A rule that looks at the
// size alone gets the upright size, its rectangle is mapped back to the
// stored pixels, and only the crop is turned. Auto, which looks at pixels,
// gets the whole image turned (see orient_image for the memory that takes).
//
// A position moves the rule's box. Entropy and attention judge a reduced
// copy of the whole picture: on the region path one decoded at a reduced
// scale first (its file is then read twice), elsewhere the decoded image.
static int cut(Call *c, Image *crop, Failure *err) {
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    Rect *r = &c->o->box;
    if (!rule_needs_pixels(c->q->rule) && (c->reader.caps & READ_REGION)) {
        int ok = cut_region(c, r, crop, err);
        if (ok >= 0) return ok;
    }
    return cut_whole(c, r, crop, err);
}

// The rectangle of a lossless cut: the rule's, chosen on the header's size
// (auto: on the decoded pixels), both upright by the orientation, then moved
// onto the block grid the turned file allows (reader_snap). The cut itself
// needs a reader that cuts (a JPEG) and JPEG out (format -1: not known yet,
// a plan). A file that the cut would refuse is reported before a rule's
// refusal, as a lossy crop reports a file that does not decode first.
static int plan_lossless(Call *c, Failure *err) {
    const Request *q = c->q;
    Reader *rd = &c->reader;
    int orientation = c->orientation;
    Rect *r = &c->o->box;
    if (!JPEG_TURBO) return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
    if (c->format >= 0 && c->format != FORMAT_JPEG) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED,
                    WEBP_LIB ? "lossless: output must be JPEG or WebP, not %s" : "lossless: output must be JPEG, not %s",
                    format_name(c->format));
    }
    if (!(rd->caps & READ_LOSSLESS)) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "lossless: '%s' is not a JPEG file", c->in->name);
    }
    Image img = {0, 0, NULL};
    if (rule_needs_pixels(q->rule)) {
        if (!reader_decode(rd, NULL, &img, err)) return 0;
    } else if (!reader_open(rd, err)) {
        return 0;
    } else {
        img.w = rd->w;
        img.h = rd->h;
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
        if (!reader_cut(rd, whole, 1, 0, NULL, &why)) *err = why;
        ok = 0;
    }
    // The position moves the box before it goes onto the grid; entropy and
    // attention judge the picture decoded at a reduced scale (whole where
    // that decoder declines it).
    if (ok && position_needs_pixels(q->set.position)) {
        Image seen;
        if (!reader_decode_scaled(rd, NULL, judge_denom(whole.w, whole.h), &seen) &&
            !reader_decode(rd, NULL, &seen, err)) {
            ok = 0;
        } else {
            ok = judge_box(q->set.position, &seen, orientation, img.w, img.h, r, err);
            free(seen.px);
        }
    } else if (ok) {
        position_gravity(q->set.position, img.w, img.h, r);
    }
    c->o->image_w = img.w;
    c->o->image_h = img.h;
    free(img.px);
    return ok && reader_snap(rd, *r, orientation, r, err);
}

// Where the finished crop goes: encoded (or, crop NULL, cut losslessly from
// the input) into the destination's sink; encoding may spend the crop's
// pixels. The file destinations open their sink here; memory hands the
// block to the outcome.
static int deliver(Call *c, Image *crop, Failure *err) {
    Sink sink;
    memset(&sink, 0, sizeof sink);
    int dest = c->dest;
    const char *out_path = c->out_path;
    sink.kind = dest == TO_MEMORY ? SINK_MEMORY : SINK_FILE;
    const char *name = dest == TO_MEMORY ? "<memory>" : out_path;
    int keep = c->q->set.metadata == TRIMLET_KEEP;
    Replace rep;
    if (dest == TO_FILE && !begin_replace(out_path, &rep, &sink, err)) return 0;
    if (dest == TO_LEGACY_FILE) sink.path = out_path;
    int ok = crop != NULL ? encode_image(crop, c->format, &c->q->set, &c->meta, &sink, name, err)
                          : reader_cut(&c->reader, c->o->box, c->orientation, keep, &sink, err);
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
    c->o->block = sink.mem;
    c->o->block_size = sink.mem_size;
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

// The steps of a decoded crop: probe (the reader opened, its metadata and
// orientation), box and decode (cut), resize, encode and deliver.
static int run_decoded(Call *c, Failure *err) {
    const Request *q = c->q;
    Outcome *o = c->o;
    int apply_exif = q->set.orient == TRIMLET_APPLY_EXIF;
    if (!reader_open(&c->reader, err)) return 0;
    // Metadata is read while the input's bytes are at hand; the blocks only
    // for output that may carry them.
    reader_metadata(&c->reader, apply_exif, q->set.metadata == TRIMLET_KEEP && c->dest != TO_NOTHING, &c->meta);
    c->orientation = c->meta.orientation;
    // Upright output carries no turn for a viewer to apply again.
    if (apply_exif) set_orientation_one(&c->meta);
    Image crop;
    int ok = cut(c, &crop, err);
    done_with_input(c);
    if (ok) {
        // Scaled down after the turn, before encoding; a plan only says to
        // what size.
        resize_size(o->box.w, o->box.h, q->set.resize_w, q->set.resize_h, &o->out_w, &o->out_h);
        if (c->dest != TO_NOTHING) {
            o->format = c->format;
            ok = resize_image(&crop, o->out_w, o->out_h, err) && deliver(c, &crop, err);
        }
    }
    free(crop.px);
    return ok;
}

// The steps of a lossless cut: the box planned on the grid, then the input's
// coefficients cut into the destination, or, for a plan, read and checked
// as the cut would.
static int run_lossless(Call *c, Failure *err) {
    Outcome *o = c->o;
    c->orientation = 1;
    if (c->q->set.orient == TRIMLET_APPLY_EXIF) {
        Metadata meta;
        reader_metadata(&c->reader, 1, 0, &meta);
        c->orientation = meta.orientation;
        release_metadata(&meta);
    }
    int ok = plan_lossless(c, err);
    if (ok) {
        o->out_w = o->box.w;
        o->out_h = o->box.h;
        if (c->dest == TO_NOTHING) {
            ok = reader_cut(&c->reader, o->box, c->orientation, 0, NULL, err);
        } else {
            o->format = c->format;
            ok = deliver(c, NULL, err);
        }
    }
    done_with_input(c);
    return ok;
}

int run_pipeline(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                 Failure *err) {
    memset(o, 0, sizeof *o);
    o->format = -1;
    Call c;
    memset(&c, 0, sizeof c);
    c.in = in;
    c.q = q;
    c.dest = dest;
    c.out_path = out_path;
    c.format = output_format(q, dest, out_path);
    c.orientation = 1;
    c.o = o;
    int count = input_frame_count(in);
    int ok;
    if (frames_path(q, c.format, count)) {
        ok = run_frames(in, q, dest, out_path, c.format, count, o, err);
        release_input(in);
    } else {
        // Lossless WebP output is a decoded crop encoded losslessly; any
        // other lossless output is a cut of a JPEG's coefficients.
        reader_find(in, &c.reader);
        ok = q->set.lossless && c.format != FORMAT_WEBP ? run_lossless(&c, err) : run_decoded(&c, err);
        done_with_input(&c);
        release_metadata(&c.meta);
        o->frames = count;
    }
    if (!ok) {
        memset(o, 0, sizeof *o);
        o->format = -1;
    }
    return ok;
}
