// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The exported functions and the pipeline that joins the stages: read the
// input, choose the rectangle by the rule, cut it out (decoding only that
// region where the decoder can), free the source, encode the crop into a file,
// a memory block or nowhere (a plan), free the crop.
//
// The seven original functions and the five reentrant ones run the same
// pipeline. The seven differ only in what they were promised to keep: paths
// passed to fopen unchanged, their original messages, output written straight
// to the path, and the one process-wide error buffer.

#include "internal.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Options

static const unsigned char WHITE[3] = {255, 255, 255};

// The settings the seven use, and every option's default.
static void default_settings(Settings *set, int system_reasons) {
    set->format = -1;
    set->quality = 90;
    memcpy(set->background, WHITE, 3);
    set->lossless = 0;
    set->orient = TRIMLET_AS_STORED;
    set->metadata = TRIMLET_STRIP;
    set->system_reasons = system_reasons;
}

// Checks a caller's options and fills in the defaults. A record from an older
// header (smaller size) lacks the later fields, which keep their defaults.
static int read_options(const trimlet_options *o, Settings *set, char *err) {
    default_settings(set, 1);
    if (o == NULL) return 1;
    size_t size = o->size;
    if (size > sizeof(trimlet_options)) {
        return fail(err, "options: size %lu is larger than this library's %lu (built against a newer header)",
                    (unsigned long)size, (unsigned long)sizeof(trimlet_options));
    }
#define HAS(field) (size >= offsetof(trimlet_options, field) + sizeof o->field)
    if (HAS(format) && o->format != NULL) {
        set->format = format_from_name(o->format);
        if (set->format < 0) {
            return fail(err, "options: unknown format '%s' (png, jpg, jpeg, bmp or tga)", o->format);
        }
    }
    if (HAS(quality) && o->quality != 0) {
        if (o->quality < 1 || o->quality > 100) {
            return fail(err, "options: quality %d out of range 1..100", o->quality);
        }
        set->quality = o->quality;
    }
    if (HAS(background) && o->background != NULL) memcpy(set->background, o->background, 3);
    if (HAS(lossless) && o->lossless != 0) {
        if (!JPEG_TURBO) return fail(err, "options: lossless is not available in this build");
        set->lossless = 1;
    }
    if (HAS(orient) && o->orient != TRIMLET_AS_STORED) {
        if (o->orient != TRIMLET_APPLY_EXIF) {
            return fail(err, "options: orient %d is not TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF",
                        o->orient);
        }
        // Turning the picture would mean decoding and re-encoding it.
        if (set->lossless) return fail(err, "options: orient cannot be combined with lossless");
        set->orient = TRIMLET_APPLY_EXIF;
    }
    if (HAS(metadata) && o->metadata != TRIMLET_STRIP) {
        if (o->metadata != TRIMLET_KEEP) {
            return fail(err, "options: metadata %d is not TRIMLET_STRIP or TRIMLET_KEEP",
                        o->metadata);
        }
        set->metadata = TRIMLET_KEEP;
    }
#undef HAS
    return 1;
}

// ---------------------------------------------------------------------------
// Pipeline

// What one call asks for: a rule with its ints, and the settings.
struct Request {
    int rule;
    int params[4];  // the rule's ints; unused entries 0
    Settings set;
};

// Where the crop goes.
enum Destination {
    TO_NOTHING,      // a plan
    TO_FILE,         // replaced safely (the reentrant interface)
    TO_LEGACY_FILE,  // written straight to the path (the seven)
    TO_MEMORY
};

// Turns a cut crop upright; on failure frees it.
static int turn_crop(Image *crop, int orientation, char *err) {
    if (orient_image(crop, orientation, err)) return 1;
    free(crop->px);
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    return 0;
}

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
static int cut(Input *in, const Request *q, int orientation, Rect *r, int *image_w,
               int *image_h, Image *crop, char *err) {
    crop->w = 0;
    crop->h = 0;
    crop->px = NULL;
    if (!rule_needs_pixels(q->rule) && region_decodable(in)) {
        int w = 0, h = 0;
        if (!screened_size(in, &w, &h, err)) return 0;
        Image size_only = {0, 0, NULL};
        upright_size(orientation, w, h, &size_only.w, &size_only.h);
        if (!rule_region(q->rule, q->params, &size_only, r, err)) {
            Image full;
            char why[TRIMLET_ERROR_SIZE];
            if (!decode_image(in, &full, why)) {
                memcpy(err, why, sizeof why);
                return 0;
            }
            free(full.px);
            return 0;  // the rule's message stands
        }
        *image_w = size_only.w;
        *image_h = size_only.h;
        int ok = decode_region(in, stored_rect(*r, orientation, w, h), crop, err);
        release_input(in);
        return ok && turn_crop(crop, orientation, err);
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
    *image_w = upright.w;
    *image_h = upright.h;
    Rect s = stored_rect(*r, left, full.w, full.h);
    *crop = sub_image(full.w, full.px, s.x, s.y, s.w, s.h, err);
    free(full.px);
    if (crop->px == NULL) return 0;
    return turn_crop(crop, left, err);
}

static const char *const FORMAT_NAMES[] = {"png", "jpeg", "bmp", "tga"};

// The rectangle of a lossless cut: the rule's, chosen on the header's size
// (auto: on the decoded pixels), then moved onto the file's block grid. The
// cut itself needs JPEG in and JPEG out (format -1: not known yet, a plan).
// A file that the cut would refuse is reported before a rule's refusal, as a
// lossy crop reports a file that does not decode first.
static int plan_lossless(const Input *in, const Request *q, int format, Rect *r, int *image_w,
                         int *image_h, char *err) {
    if (format >= 0 && format != FORMAT_JPEG) {
        return fail(err, "lossless: output must be JPEG, not %s", FORMAT_NAMES[format]);
    }
    if (!jpeg_takes(in)) return fail(err, "lossless: '%s' is not a JPEG file", in->name);
    Image img = {0, 0, NULL};
    if (rule_needs_pixels(q->rule)) {
        if (!decode_image(in, &img, err)) return 0;
    } else if (!screened_size(in, &img.w, &img.h, err)) {
        return 0;
    }
    Rect whole = {0, 0, img.w, img.h};
    int ok = rule_region(q->rule, q->params, &img, r, err);
    free(img.px);
    if (!ok) {
        char why[TRIMLET_ERROR_SIZE];
        if (!jpeg_lossless(in, whole, 0, NULL, why)) memcpy(err, why, sizeof why);
        return 0;
    }
    *image_w = whole.w;
    *image_h = whole.h;
    return jpeg_snap(in, *r, r, err);
}

// The pipeline of a lossless cut (see run): the input's coefficients are cut
// into the destination, or, for a plan, read and checked as the cut would.
static int run_lossless(Input *in, const Request *q, int dest, const char *out_path,
                        void **out_block, size_t *out_size, trimlet_box *box, char *err) {
    int format = q->set.format;
    if (format < 0 && dest == TO_MEMORY) format = FORMAT_PNG;
    if (format < 0 && dest != TO_NOTHING) format = format_for_path(out_path);
    Rect r = {0, 0, 0, 0};
    int image_w = 0, image_h = 0;
    int keep = q->set.metadata == TRIMLET_KEEP;
    int ok = plan_lossless(in, q, format, &r, &image_w, &image_h, err);
    if (ok && box != NULL) {
        box->x = r.x;
        box->y = r.y;
        box->w = r.w;
        box->h = r.h;
        box->image_w = image_w;
        box->image_h = image_h;
    }
    Sink sink;
    memset(&sink, 0, sizeof sink);
    sink.kind = dest == TO_MEMORY ? SINK_MEMORY : SINK_FILE;
    if (!ok || dest == TO_NOTHING) {
        ok = ok && jpeg_lossless(in, r, keep, NULL, err);
    } else if (dest == TO_FILE) {
        Replace rep;
        if (begin_replace(out_path, &rep, &sink, err)) {
            ok = jpeg_lossless(in, r, keep, &sink, err);
            ok = finish_replace(out_path, &rep, &sink, ok, err);
        } else {
            ok = 0;
        }
    } else {
        ok = jpeg_lossless(in, r, keep, &sink, err);
        if (!sink_finish(&sink, ok)) {
            free(sink.mem);
            ok = ok ? fail(err, "cannot encode '<memory>': out of memory") : 0;
        } else {
            *out_block = sink.mem;
            *out_size = sink.mem_size;
        }
    }
    release_input(in);
    return ok;
}

// Runs the whole pipeline on an input that has been read (and releases it). Writes the box
// to *box (when not NULL) and the encoded crop to the destination: out_path
// for the file destinations, *out_block / *out_size for memory.
static int run(Input *in, const Request *q, int dest, const char *out_path, void **out_block,
               size_t *out_size, trimlet_box *box, char *err) {
    if (q->set.lossless) return run_lossless(in, q, dest, out_path, out_block, out_size, box, err);
    // Metadata is read while the input's bytes are at hand; the blocks only
    // for output that may carry them.
    Metadata meta;
    int apply_exif = q->set.orient == TRIMLET_APPLY_EXIF;
    read_metadata(in, apply_exif, q->set.metadata == TRIMLET_KEEP && dest != TO_NOTHING, &meta);
    int orientation = meta.orientation;
    // Upright output carries no turn for a viewer to apply again.
    if (apply_exif) set_orientation_one(&meta);
    Rect r = {0, 0, 0, 0};
    int image_w = 0, image_h = 0;
    Image crop;
    int ok = cut(in, q, orientation, &r, &image_w, &image_h, &crop, err);
    release_input(in);
    if (!ok) {
        release_metadata(&meta);
        return 0;
    }
    if (box != NULL) {
        box->x = r.x;
        box->y = r.y;
        box->w = r.w;
        box->h = r.h;
        box->image_w = image_w;
        box->image_h = image_h;
    }
    if (dest == TO_NOTHING) {
        free(crop.px);
        release_metadata(&meta);
        return 1;
    }
    int format = q->set.format;
    if (format < 0) format = dest == TO_MEMORY ? (int)FORMAT_PNG : format_for_path(out_path);
    Sink sink;
    memset(&sink, 0, sizeof sink);
    sink.kind = dest == TO_MEMORY ? SINK_MEMORY : SINK_FILE;
    if (dest == TO_FILE) {
        Replace rep;
        if (!begin_replace(out_path, &rep, &sink, err)) {
            free(crop.px);
            release_metadata(&meta);
            return 0;
        }
        ok = encode_image(&crop, format, &q->set, &meta, &sink, out_path, err);
        free(crop.px);
        release_metadata(&meta);
        return finish_replace(out_path, &rep, &sink, ok, err);
    }
    if (dest == TO_LEGACY_FILE) {
        sink.path = out_path;
        ok = encode_image(&crop, format, &q->set, &meta, &sink, out_path, err);
        free(crop.px);
        release_metadata(&meta);
        if (!sink_finish(&sink, ok) && ok) {
            return fail(err, "cannot encode '%s' (check the extension)", out_path);
        }
        return ok;
    }
    ok = encode_image(&crop, format, &q->set, &meta, &sink, "<memory>", err);
    free(crop.px);
    release_metadata(&meta);
    if (!sink_finish(&sink, ok)) {
        free(sink.mem);
        return ok ? fail(err, "cannot encode '<memory>': out of memory") : 0;
    }
    *out_block = sink.mem;
    *out_size = sink.mem_size;
    return 1;
}

// ---------------------------------------------------------------------------
// The seven

extern "C" TRIMLET_API int trimlet_init(void) {
    legacy_err()[0] = '\0';
    return 1;
}

extern "C" TRIMLET_API void trimlet_cleanup(void) { legacy_err()[0] = '\0'; }

extern "C" TRIMLET_API const char *trimlet_last_error(void) { return legacy_err(); }

// One of the four original crop functions: the rule's NULL-path message,
// then the pipeline with the original settings, the message landing in the
// process-wide buffer (cleared on success). The message is built in a local
// buffer first: the paths may point into the process-wide one.
static int legacy_crop(int rule, const char *in_path, const char *out_path, int p0, int p1,
                       int p2, int p3) {
    char err[TRIMLET_ERROR_SIZE];
    Request q = {rule, {p0, p1, p2, p3}, Settings()};
    default_settings(&q.set, 0);
    Input in;
    int ok = 0;
    if (in_path == NULL || out_path == NULL) {
        fail(err, "%s: NULL input/output", rule_name(rule));
    } else if (read_input_file(in_path, 0, &in, err)) {
        ok = run(&in, &q, TO_LEGACY_FILE, out_path, NULL, NULL, NULL, err);
    }
    if (ok) {
        legacy_err()[0] = '\0';
    } else {
        memcpy(legacy_err(), err, sizeof err);
    }
    return ok;
}

extern "C" TRIMLET_API int trimlet_rect(const char *input_path, const char *output_path, int x,
                                        int y, int w, int h) {
    return legacy_crop(TRIMLET_RECT, input_path, output_path, x, y, w, h);
}

extern "C" TRIMLET_API int trimlet_aspect(const char *input_path, const char *output_path,
                                          int ratio_index) {
    return legacy_crop(TRIMLET_ASPECT, input_path, output_path, ratio_index, 0, 0, 0);
}

extern "C" TRIMLET_API int trimlet_auto(const char *input_path, const char *output_path,
                                        int tolerance_percent) {
    return legacy_crop(TRIMLET_AUTO, input_path, output_path, tolerance_percent, 0, 0, 0);
}

extern "C" TRIMLET_API int trimlet_edges(const char *input_path, const char *output_path,
                                         int top, int right, int bottom, int left) {
    return legacy_crop(TRIMLET_EDGES, input_path, output_path, top, right, bottom, left);
}

// ---------------------------------------------------------------------------
// The reentrant interface

// Checks what every reentrant call is given, in this order: the rule, the
// caller's pointers (have_io: the input and output pointers are all set),
// the params, the options. Fills *q.
static int begin_request(int rule, int have_io, const char *io_names, const int *params,
                         const trimlet_options *options, Request *q, char *err) {
    const char *name = rule_name(rule);
    if (name == NULL) return fail(err, "crop: unknown rule %d", rule);
    if (!have_io) return fail(err, "%s: NULL %s", name, io_names);
    if (params == NULL) return fail(err, "%s: NULL params", name);
    q->rule = rule;
    memset(q->params, 0, sizeof q->params);
    memcpy(q->params, params, (size_t)rule_param_count(rule) * sizeof(int));
    return read_options(options, &q->set, err);
}

// The message goes to the caller's buffer, or nowhere when it passed NULL.
// On success the buffer holds "".
static int finish_call(int ok, char *error, const char *err) {
    if (error != NULL) {
        if (ok) {
            error[0] = '\0';
        } else if (error != err) {
            memcpy(error, err, TRIMLET_ERROR_SIZE);
        }
    }
    return ok;
}

extern "C" TRIMLET_API int trimlet_crop_file(const char *input_path, const char *output_path,
                                             int rule, const int *params,
                                             const trimlet_options *options, char *error) {
    char local[TRIMLET_ERROR_SIZE];
    char *err = error != NULL ? error : local;
    Request q;
    Input in;
    int ok = begin_request(rule, input_path != NULL && output_path != NULL, "input/output",
                           params, options, &q, err) &&
             read_input_file(input_path, 1, &in, err) &&
             run(&in, &q, TO_FILE, output_path, NULL, NULL, NULL, err);
    return finish_call(ok, error, err);
}

extern "C" TRIMLET_API int trimlet_crop_memory(const void *input, size_t input_size, int rule,
                                               const int *params,
                                               const trimlet_options *options, void **output,
                                               size_t *output_size, char *error) {
    char local[TRIMLET_ERROR_SIZE];
    char *err = error != NULL ? error : local;
    if (output != NULL) *output = NULL;
    if (output_size != NULL) *output_size = 0;
    Request q;
    Input in;
    int ok = begin_request(rule, input != NULL && output != NULL && output_size != NULL,
                           "input/output", params, options, &q, err);
    if (ok) {
        input_from_memory(input, input_size, &in);
        ok = run(&in, &q, TO_MEMORY, NULL, output, output_size, NULL, err);
    }
    return finish_call(ok, error, err);
}

extern "C" TRIMLET_API int trimlet_plan_file(const char *input_path, int rule, const int *params,
                                             const trimlet_options *options, trimlet_box *box,
                                             char *error) {
    char local[TRIMLET_ERROR_SIZE];
    char *err = error != NULL ? error : local;
    if (box != NULL) memset(box, 0, sizeof *box);
    Request q;
    Input in;
    int ok = begin_request(rule, input_path != NULL && box != NULL, "input/box", params,
                           options, &q, err) &&
             read_input_file(input_path, 1, &in, err) &&
             run(&in, &q, TO_NOTHING, NULL, NULL, NULL, box, err);
    if (!ok && box != NULL) memset(box, 0, sizeof *box);
    return finish_call(ok, error, err);
}

extern "C" TRIMLET_API int trimlet_plan_memory(const void *input, size_t input_size, int rule,
                                               const int *params,
                                               const trimlet_options *options, trimlet_box *box,
                                               char *error) {
    char local[TRIMLET_ERROR_SIZE];
    char *err = error != NULL ? error : local;
    if (box != NULL) memset(box, 0, sizeof *box);
    Request q;
    Input in;
    int ok = begin_request(rule, input != NULL && box != NULL, "input/box", params, options, &q,
                           err);
    if (ok) {
        input_from_memory(input, input_size, &in);
        ok = run(&in, &q, TO_NOTHING, NULL, NULL, NULL, box, err);
    }
    if (!ok && box != NULL) memset(box, 0, sizeof *box);
    return finish_call(ok, error, err);
}

extern "C" TRIMLET_API void trimlet_free(void *block) { free(block); }
