/* SPDX-License-Identifier: MIT */
/* Prints the layout of the public records as the C compiler lays them out:
 * "record size N" and "record.field offset" lines, for check_records.py to
 * hold the Python module's ctypes Structures against. */
#include <stddef.h>
#include <stdio.h>

#include "trimlet.h"

#define SIZE(t) printf(#t " size %lu\n", (unsigned long)sizeof(t))
#define FIELD(t, f) printf(#t "." #f " %lu\n", (unsigned long)offsetof(t, f))

int main(void) {
    SIZE(trimlet_options);
    FIELD(trimlet_options, size);
    FIELD(trimlet_options, format);
    FIELD(trimlet_options, quality);
    FIELD(trimlet_options, background);
    FIELD(trimlet_options, lossless);
    FIELD(trimlet_options, orient);
    FIELD(trimlet_options, metadata);
    FIELD(trimlet_options, max_pixels);
    FIELD(trimlet_options, position);
    FIELD(trimlet_options, resize_w);
    FIELD(trimlet_options, resize_h);
    SIZE(trimlet_box);
    FIELD(trimlet_box, x);
    FIELD(trimlet_box, image_h);
    SIZE(trimlet_request);
    FIELD(trimlet_request, size);
    FIELD(trimlet_request, input_path);
    FIELD(trimlet_request, input);
    FIELD(trimlet_request, input_size);
    FIELD(trimlet_request, output_path);
    FIELD(trimlet_request, output_to_memory);
    FIELD(trimlet_request, rule);
    FIELD(trimlet_request, params);
    FIELD(trimlet_request, options);
    SIZE(trimlet_result);
    FIELD(trimlet_result, size);
    FIELD(trimlet_result, status);
    FIELD(trimlet_result, box);
    FIELD(trimlet_result, output_w);
    FIELD(trimlet_result, output_h);
    FIELD(trimlet_result, output);
    FIELD(trimlet_result, output_size);
    FIELD(trimlet_result, output_format);
    FIELD(trimlet_result, error);
    FIELD(trimlet_result, input_format);
    FIELD(trimlet_result, frames);
    return 0;
}
