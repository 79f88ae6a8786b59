// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The exported functions. trimlet_run is the one entry to the pipeline for
// the reentrant interface; the five 1.1 functions are thin wrappers over it.
// The seven original functions run the same pipeline with what they were
// promised to keep: paths passed to fopen unchanged, their original messages
// and limits, output written straight to the path, and the one process-wide
// error buffer.

#include "api/api.h"
#include "crop/crop.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

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
// record first: the paths may point into the process-wide buffer.
static int legacy_crop(int rule, const char *in_path, const char *out_path, int p0, int p1,
                       int p2, int p3) {
    Failure err;
    Request q = {rule, {p0, p1, p2, p3}, Settings()};
    default_settings(&q.set, 0);
    Input in;
    Outcome o;
    int ok = 0;
    if (in_path == NULL || out_path == NULL) {
        fail(&err, TRIMLET_ERR_ARGUMENT, "%s: NULL input/output", rule_name(rule));
    } else if (read_input_file(in_path, 0, 0, &in, &err)) {
        ok = run_pipeline(&in, &q, TO_LEGACY_FILE, out_path, &o, &err);
    }
    if (ok) {
        legacy_err()[0] = '\0';
    } else {
        memcpy(legacy_err(), err.text, sizeof err.text);
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
// trimlet_run

// The caller's request, checked, with the fields past its size at their
// defaults; and what is known about where the output goes.
static int check_request(const trimlet_request *caller, size_t result_size, trimlet_request *r,
                         Request *q, Failure *err) {
    memset(r, 0, sizeof *r);
    if (caller == NULL) return fail(err, TRIMLET_ERR_ARGUMENT, "run: NULL request");
    if (caller->size > sizeof *r) {
        return fail(err, TRIMLET_ERR_ARGUMENT,
                    "request: size %lu is larger than this library's %lu (built against a newer header)",
                    (unsigned long)caller->size, (unsigned long)sizeof *r);
    }
    memcpy(r, caller, caller->size);
    const char *name = rule_name(r->rule);
    if (name == NULL) return fail(err, TRIMLET_ERR_ARGUMENT, "crop: unknown rule %d", r->rule);
    if (r->input_path == NULL && r->input == NULL) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "%s: NULL input", name);
    }
    if (r->output_path != NULL && r->output_to_memory) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "%s: both output_path and output_to_memory are set",
                    name);
    }
    if (r->params == NULL) return fail(err, TRIMLET_ERR_ARGUMENT, "%s: NULL params", name);
    q->rule = r->rule;
    memset(q->params, 0, sizeof q->params);
    memcpy(q->params, r->params, (size_t)rule_param_count(r->rule) * sizeof(int));
    if (!read_options(r->options, r->rule, &q->set, err)) return 0;
    if (r->output_to_memory && result_size < offsetof(trimlet_result, output_size) + sizeof(size_t)) {
        return fail(err, TRIMLET_ERR_ARGUMENT,
                    "result: size %lu cannot hold the output (output_to_memory)",
                    (unsigned long)result_size);
    }
    // The reentrant interface writes only formats it is told: by the option
    // or by a known extension.
    if (r->output_path != NULL && q->set.format < 0) {
        q->set.format = format_for_extension(r->output_path);
        if (q->set.format < 0) {
            return fail(err, TRIMLET_ERR_UNSUPPORTED,
                        "cannot write '%s': unknown output extension (png, jpg, jpeg, bmp or tga; "
                        "or set options->format)",
                        r->output_path);
        }
        if (!format_available(q->set.format)) {
            return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot write '%s': %s is not available in this build",
                        r->output_path, format_name(q->set.format));
        }
    }
    return 1;
}

extern "C" TRIMLET_API int trimlet_run(const trimlet_request *request, trimlet_result *result) {
    // A record that cannot hold the status cannot tell the caller anything.
    if (result == NULL || result->size < offsetof(trimlet_result, status) + sizeof result->status) return 0;
    size_t size = result->size;
    trimlet_result out;
    memset(&out, 0, sizeof out);
    Failure err;
    trimlet_request r;
    Request q;
    int ok = 0;
    if (size > sizeof out) {
        fail(&err, TRIMLET_ERR_ARGUMENT,
             "result: size %lu is larger than this library's %lu (built against a newer header)",
             (unsigned long)size, (unsigned long)sizeof out);
        size = sizeof out;
    } else if (check_request(request, size, &r, &q, &err)) {
        Input in;
        long long limit = q.set.max_pixels;
        if (r.input_path != NULL) {
            ok = read_input_file(r.input_path, 1, limit, &in, &err);
        } else {
            input_from_memory(r.input, r.input_size, limit, &in);
            jpeg_mend_input(&in);  // a copy, owned by in, where the header needs mending
            ok = 1;
        }
        int dest = r.output_to_memory ? TO_MEMORY : r.output_path != NULL ? TO_FILE : TO_NOTHING;
        Outcome o;
        if (ok) out.input_format = input_format_name(&in);
        if (ok && run_pipeline(&in, &q, dest, r.output_path, &o, &err)) {
            out.box.x = o.box.x;
            out.box.y = o.box.y;
            out.box.w = o.box.w;
            out.box.h = o.box.h;
            out.box.image_w = o.image_w;
            out.box.image_h = o.image_h;
            out.output_w = o.out_w;
            out.output_h = o.out_h;
            out.output = o.block;
            out.output_size = o.block_size;
            out.output_format = format_name(o.format);
            out.frames = o.frames;
        } else {
            ok = 0;
        }
    }
    out.size = result->size;
    out.status = ok ? TRIMLET_OK : err.status;
    if (!ok) memcpy(out.error, err.text, sizeof out.error);
    // Only what the caller's record holds is written.
    memcpy(result, &out, size);
    return ok;
}

extern "C" TRIMLET_API const char *trimlet_version(void) { return TRIMLET_VERSION_STRING; }

extern "C" TRIMLET_API int trimlet_has(const char *feature) {
    if (feature == NULL) return 0;
    // The formats written, by an extension with its dot (".jpg") or by their
    // features ("webp", "avif-write", "gif"): the encoders' table answers.
    int format = feature[0] == '.' ? format_from_name(feature + 1) : format_of_feature(feature);
    if (format >= 0) return format_available(format);
    // Formats whose codecs a library chooses at its own build: asked of it.
    static const struct {
        const char *name;
        int (*present)(void);
    } CODEC_FEATURES[] = {
        {"heic", heic_readable},
        {"avif", avif_readable},
    };
    for (const auto &f : CODEC_FEATURES) {
        if (strcmp(feature, f.name) == 0) return f.present();
    }
    static const struct {
        const char *name;
        int present;
    } FEATURES[] = {
        {"libjpeg-turbo", JPEG_TURBO},
        {"lossless", JPEG_TURBO},
        {"libspng", PNG_SPNG},
        {"tiff", TIFF_READ},
        {"position", 1},
        {"resize", 1},
        {"verify", 1},
        {"effort", 1},
        {"png-compact", 1},
        {"animation", GIF_LIB || WEBP_LIB},
    };
    for (const auto &f : FEATURES) {
        if (strcmp(feature, f.name) == 0) return f.present;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The 1.1 functions, over trimlet_run

// Runs a request whose pointers the wrapper has checked, and copies the
// message into the caller's buffer (or nowhere when it passed NULL).
static int run_for(const trimlet_request *r, trimlet_result *res, char *error) {
    res->size = sizeof *res;
    int ok = trimlet_run(r, res);
    if (error != NULL) memcpy(error, res->error, TRIMLET_ERROR_SIZE);
    return ok;
}

// The wrappers' own refusal of a NULL pointer, after the rule's check as
// trimlet_run orders them.
static int refuse_null(int rule, const char *what, char *error) {
    Failure err;
    const char *name = rule_name(rule);
    if (name == NULL) {
        fail(&err, TRIMLET_ERR_ARGUMENT, "crop: unknown rule %d", rule);
    } else {
        fail(&err, TRIMLET_ERR_ARGUMENT, "%s: NULL %s", name, what);
    }
    if (error != NULL) memcpy(error, err.text, sizeof err.text);
    return 0;
}

static trimlet_request request_for(int rule, const int *params, const trimlet_options *options) {
    trimlet_request r;
    memset(&r, 0, sizeof r);
    r.size = sizeof r;
    r.rule = rule;
    r.params = params;
    r.options = options;
    return r;
}

extern "C" TRIMLET_API int trimlet_crop_file(const char *input_path, const char *output_path,
                                             int rule, const int *params,
                                             const trimlet_options *options, char *error) {
    if (input_path == NULL || output_path == NULL) return refuse_null(rule, "input/output", error);
    trimlet_request r = request_for(rule, params, options);
    r.input_path = input_path;
    r.output_path = output_path;
    trimlet_result res;
    return run_for(&r, &res, error);
}

extern "C" TRIMLET_API int trimlet_crop_memory(const void *input, size_t input_size, int rule,
                                               const int *params,
                                               const trimlet_options *options, void **output,
                                               size_t *output_size, char *error) {
    if (output != NULL) *output = NULL;
    if (output_size != NULL) *output_size = 0;
    if (input == NULL || output == NULL || output_size == NULL) {
        return refuse_null(rule, "input/output", error);
    }
    trimlet_request r = request_for(rule, params, options);
    r.input = input;
    r.input_size = input_size;
    r.output_to_memory = 1;
    trimlet_result res;
    int ok = run_for(&r, &res, error);
    if (ok) {
        *output = res.output;
        *output_size = res.output_size;
    }
    return ok;
}

// A plan of either input: the box, or zeros on failure.
static int plan(const char *input_path, const void *input, size_t input_size, int rule,
                const int *params, const trimlet_options *options, trimlet_box *box,
                char *error) {
    if (box != NULL) memset(box, 0, sizeof *box);
    if ((input_path == NULL && input == NULL) || box == NULL) {
        return refuse_null(rule, "input/box", error);
    }
    trimlet_request r = request_for(rule, params, options);
    r.input_path = input_path;
    r.input = input;
    r.input_size = input_size;
    trimlet_result res;
    int ok = run_for(&r, &res, error);
    *box = res.box;
    return ok;
}

extern "C" TRIMLET_API int trimlet_plan_file(const char *input_path, int rule, const int *params,
                                             const trimlet_options *options, trimlet_box *box,
                                             char *error) {
    return plan(input_path, NULL, 0, rule, params, options, box, error);
}

extern "C" TRIMLET_API int trimlet_plan_memory(const void *input, size_t input_size, int rule,
                                               const int *params,
                                               const trimlet_options *options, trimlet_box *box,
                                               char *error) {
    return plan(NULL, input, input_size, rule, params, options, box, error);
}

extern "C" TRIMLET_API void trimlet_free(void *block) { free(block); }
