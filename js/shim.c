/* trimlet: crop image files. SPDX-License-Identifier: MIT
 *
 * The JavaScript module's door into the library: one trimlet_run from
 * memory with the options as plain numbers, and the result's fields as
 * 32-bit numbers (pointers and sizes are 32-bit in WebAssembly), so that no
 * JavaScript needs to know the records' layout. */

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "trimlet.h"

/* Runs one crop (to_memory) or plan from the input_size bytes at input.
 * format is NULL or a NUL-terminated name; background NULL or 3 bytes.
 * max_pixels is a double because JavaScript numbers are. Returns a result
 * record for trimlet_js_info and trimlet_js_release, or NULL when there is
 * no memory for the record itself. */
trimlet_result *trimlet_js_run(const void *input, size_t input_size, int rule, const int *params,
                               int to_memory, const char *format, int quality,
                               const unsigned char *background, int lossless, int orient,
                               int metadata, double max_pixels, int position, int resize_w,
                               int resize_h, int frames, int verify, int effort, int png_compact) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    o.quality = quality;
    o.background = background;
    o.lossless = lossless;
    o.orient = orient;
    o.metadata = metadata;
    if (max_pixels >= 9.2e18) {
        o.max_pixels = LLONG_MAX;
    } else if (max_pixels <= -9.2e18) {
        o.max_pixels = LLONG_MIN;
    } else {
        o.max_pixels = (long long)max_pixels;
    }
    o.position = position;
    o.resize_w = resize_w;
    o.resize_h = resize_h;
    o.frames = frames;
    o.verify = verify;
    o.effort = effort;
    o.png_compact = png_compact;

    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input = input;
    q.input_size = input_size;
    q.output_to_memory = to_memory;
    q.rule = rule;
    q.params = params;
    q.options = &o;

    trimlet_result *r = (trimlet_result *)calloc(1, sizeof *r);
    if (r == NULL) return NULL;
    r->size = sizeof *r;
    (void)trimlet_run(&q, r);
    return r;
}

/* Writes the result's fields into info[0..13]: status, x, y, w, h, image_w,
 * image_h, output_w, output_h, the output's address and size, the address
 * of the format's name (0 for none) and of the error text, and the input's
 * frame count. */
void trimlet_js_info(const trimlet_result *r, int *info) {
    info[0] = r->status;
    info[1] = r->box.x;
    info[2] = r->box.y;
    info[3] = r->box.w;
    info[4] = r->box.h;
    info[5] = r->box.image_w;
    info[6] = r->box.image_h;
    info[7] = r->output_w;
    info[8] = r->output_h;
    info[9] = (int)(size_t)r->output;
    info[10] = (int)r->output_size;
    info[11] = (int)(size_t)r->output_format;
    info[12] = (int)(size_t)r->error;
    info[13] = r->frames;
}

/* Frees the result record and the output it holds. NULL does nothing. */
void trimlet_js_release(trimlet_result *r) {
    if (r == NULL) return;
    trimlet_free(r->output);
    free(r);
}
