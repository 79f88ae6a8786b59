// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// A call's options: the caller's record checked field by field, every
// default filled in (Settings).

#include "api/api.h"

#include <stddef.h>
#include <string.h>

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

