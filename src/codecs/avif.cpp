// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// AVIF output through libheif's AV1 encoder (aom), with the crop's alpha, ICC
// profile and Exif block. Which encoders the installed libheif has is asked
// at run time: without an AV1 one, AVIF output fails as
// TRIMLET_ERR_UNAVAILABLE.

#include "codecs/parts.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBHEIF

#include "codecs/heiflib.h"

// The encoder's speed (aom: 0 slowest .. 9 fastest; libheif's default is
// 6). Chosen by measurement on a 12 MP crop: see docs/formats.md.
static const int AVIF_SPEED = 8;

int avif_writable(void) { return heif_lib() != NULL && heif_have_encoder_for_format(heif_compression_AV1); }

// libheif's writer: every byte to the sink, whose own failure is reported
// when it is finished.
static heif_error write_to_sink(heif_context *ctx, const void *data, size_t size, void *sink) {
    (void)ctx;
    sink_write((Sink *)sink, data, size);
    heif_error ok = {heif_error_Ok, heif_suberror_Unspecified, "Success"};
    return ok;
}

// 1 when some pixel of img is not opaque.
static int has_alpha(const Image *img) {
    size_t count = (size_t)img->w * (size_t)img->h;
    for (size_t i = 0; i < count; ++i) {
        if (img->px[i * 4 + 3] != 255) return 1;
    }
    return 0;
}

// The image to encode: img's pixels in a libheif image, RGBA when some pixel
// is not opaque, else RGB; with the ICC profile when there is one.
static heif_error make_image(const Image *img, const Metadata *meta, heif_image **out) {
    int alpha = has_alpha(img);
    heif_error e = heif_image_create(img->w, img->h, heif_colorspace_RGB,
                                     alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, out);
    if (e.code != heif_error_Ok) return e;
    e = heif_image_add_plane(*out, heif_channel_interleaved, img->w, img->h, 8);
    int stride = 0;
    uint8_t *dst = e.code == heif_error_Ok ? heif_image_get_plane(*out, heif_channel_interleaved, &stride) : NULL;
    if (dst != NULL) {
        for (int y = 0; y < img->h; ++y) {
            const unsigned char *s = img->px + (size_t)y * img->w * 4;
            uint8_t *d = dst + (size_t)y * stride;
            if (alpha) {
                memcpy(d, s, (size_t)img->w * 4);
            } else {
                for (int x = 0; x < img->w; ++x, s += 4, d += 3) memcpy(d, s, 3);
            }
        }
        if (meta != NULL && meta->icc != NULL) {
            e = heif_image_set_raw_color_profile(*out, "prof", meta->icc, meta->icc_size);
        }
    }
    return e;
}

int avif_encode(const Image *img, int quality, int effort, const Metadata *meta, Sink *sink, const char *name,
                Failure *err) {
    if (heif_lib() == NULL) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot encode '%s': avif is not available in this build", name);
    }
    heif_context *ctx = heif_context_alloc();
    if (ctx == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
    heif_encoder *enc = NULL;
    heif_error e = heif_context_get_encoder_for_format(ctx, heif_compression_AV1, &enc);
    if (e.code != heif_error_Ok) {
        heif_context_free(ctx);
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot encode '%s': this libheif has no AV1 encoder", name);
    }
    heif_encoder_set_lossy_quality(enc, quality);
    // aom's parameters; an encoder without them keeps its own defaults.
    heif_encoder_set_parameter_integer(enc, "threads", 1);
    heif_encoder_set_parameter_integer(enc, "speed", effort > 0 ? 10 - effort : AVIF_SPEED);
    heif_image *image = NULL;
    heif_encoding_options *options = NULL;
    heif_image_handle *handle = NULL;
    e = make_image(img, meta, &image);
    if (e.code == heif_error_Ok) {
        options = heif_encoding_options_alloc();
        // Both colour boxes when there is a profile: the profile, and the
        // matrix the pixels were coded with.
        if (options != NULL) options->save_two_colr_boxes_when_ICC_and_nclx_available = 1;
        e = heif_context_encode_image(ctx, image, enc, options, &handle);
    }
    if (e.code == heif_error_Ok && meta != NULL && meta->exif != NULL && meta->exif_size <= INT_MAX) {
        e = heif_context_add_exif_metadata(ctx, handle, meta->exif, (int)meta->exif_size);
    }
    if (e.code == heif_error_Ok) {
        heif_writer writer = {1, write_to_sink};
        e = heif_context_write(ctx, &writer, sink);
    }
    if (e.code == heif_error_Memory_allocation_error) {
        fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
    } else if (e.code != heif_error_Ok) {
        // The message may live in the context: written before it is freed.
        fail_heif(err, TRIMLET_ERR_WRITE, "encode", name, e.message);
    }
    if (handle != NULL) heif_image_handle_release(handle);
    if (options != NULL) heif_encoding_options_free(options);
    if (image != NULL) heif_image_release(image);
    heif_encoder_release(enc);
    heif_context_free(ctx);
    return e.code == heif_error_Ok && !sink->failed;
}

#else  // built without libheif

int avif_writable(void) { return 0; }

int avif_encode(const Image *img, int quality, int effort, const Metadata *meta, Sink *sink, const char *name,
                Failure *err) {
    (void)img;
    (void)quality;
    (void)effort;
    (void)meta;
    (void)sink;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot encode '%s': avif is not available in this build", name);
}

#endif
