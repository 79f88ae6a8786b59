// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// WebP through libwebp (linked dynamically): the size from the header, the
// whole image or a region of it decoded to RGBA, the first frame of an
// animation composited on its canvas (libwebpdemux), and encoding, lossy or
// lossless, with the ICC profile and Exif block added as chunks
// (libwebpmux). No call starts a thread: the decoders and the encoder are
// asked for none.
//
// A region of a lossy image is decoded by libwebp's cropping, which decodes
// and filters only the macroblocks the crop needs. It starts the crop on even
// offsets and upsamples the chroma at the crop's edges as if they were the
// image's, so a box one pixel wider on every side (where the image goes on)
// is decoded and the region copied out of it: its pixels are exactly those of
// a whole decode (an image whose alpha needs the rows above the box is
// decoded from its top row, see alpha_needs_rows_above). Lossless images and
// animations are decoded whole (the lossless decoder holds the whole image
// whatever the crop) and the region copied.
//
// libwebp reports a failure as a status code, not a text; the words for each
// are here. The metadata chunks of input files are read by photo.cpp.

#include "codecs/parts.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBWEBP

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

// ---------------------------------------------------------------------------
// Decoding

// The failure of a decoder status, as a class and words.
static int decode_failure(const Input *in, VP8StatusCode status, Failure *err) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", in->name);
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "cannot decode '%s': WebP feature not supported by libwebp",
                    in->name);
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP data truncated", in->name);
    case VP8_STATUS_INVALID_PARAM:
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP header invalid", in->name);
    default:
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP bitstream corrupt", in->name);
    }
}

// The bitstream's features: size (an animation's canvas), alpha, animation
// and whether the image is lossy. Reads the headers only.
static int read_features(const Input *in, WebPBitstreamFeatures *f, Failure *err) {
    VP8StatusCode status = WebPGetFeatures(in->data, in->size, f);
    if (status != VP8_STATUS_OK) return decode_failure(in, status, err);
    if (f->width < 1 || f->height < 1) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP header invalid", in->name);
    }
    return 1;
}

// Reads the features for the reader (kept in r->state). Lossy still images
// decode regions; format 1 is lossy, 2 lossless, 0 mixed (an animation).
static int webp_open(Reader *r, Failure *err) {
    WebPBitstreamFeatures *f = (WebPBitstreamFeatures *)malloc(sizeof(WebPBitstreamFeatures));
    if (f == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory", r->in->name);
    r->state = f;
    if (!read_features(r->in, f, err)) return 0;
    r->w = f->width;
    r->h = f->height;
    if (f->has_animation || f->format != 1) r->caps &= ~READ_REGION;
    return 1;
}

static void webp_close(Reader *r) {
    free(r->state);
    r->state = NULL;
}

// The first frame of an animation on its canvas (transparent where the frame
// does not cover it), then the region (or the whole) copied out.
static int decode_animation(const Input *in, const WebPBitstreamFeatures *f, Rect r, Image *out,
                            Failure *err) {
    WebPAnimDecoderOptions opt;
    if (!WebPAnimDecoderOptionsInit(&opt)) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': libwebp's demux library does not match",
                    in->name);
    }
    opt.color_mode = MODE_RGBA;
    opt.use_threads = 0;
    WebPData data = {in->data, in->size};
    WebPAnimDecoder *dec = WebPAnimDecoderNew(&data, &opt);
    if (dec == NULL) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP animation corrupt", in->name);
    }
    WebPAnimInfo info;
    uint8_t *canvas = NULL;
    int timestamp = 0;
    int ok;
    if (!WebPAnimDecoderGetInfo(dec, &info) || (int)info.canvas_width != f->width ||
        (int)info.canvas_height != f->height) {
        ok = fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP animation corrupt", in->name);
    } else if (!WebPAnimDecoderGetNext(dec, &canvas, &timestamp)) {
        ok = fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': WebP animation frame corrupt", in->name);
    } else {
        *out = sub_image(f->width, canvas, r.x, r.y, r.w, r.h, err);
        ok = out->px != NULL;
    }
    WebPAnimDecoderDelete(dec);
    return ok;
}

// 1 when the file's alpha is compressed losslessly with the horizontal
// filter. libwebp's cropping skips such alpha's rows above the crop (when
// the alpha is stored as palette indices), but the filter predicts each
// row's first value from the row above: a crop that starts below the top has
// every alpha value off by that prediction. Such a file is cropped from its
// top row.
static int alpha_needs_rows_above(const Input *in) {
    const unsigned char *d = in->data;
    size_t at = 12;  // after "RIFF", the size and "WEBP"
    while (at + 8 <= in->size) {
        uint32_t n = (uint32_t)d[at + 4] | (uint32_t)d[at + 5] << 8 | (uint32_t)d[at + 6] << 16 |
                     (uint32_t)d[at + 7] << 24;
        if (memcmp(d + at, "ALPH", 4) == 0) {
            if (n < 1 || at + 8 >= in->size) return 0;
            unsigned head = d[at + 8];
            return (head & 3) == 1 && (head >> 2 & 3) == 1;  // lossless, horizontal
        }
        if (n > in->size - at - 8) return 0;
        at += 8 + (size_t)n + (n & 1);
    }
    return 0;
}

// A still image: the whole, or a lossy image's box around the region (see
// the top of the file), into a block of its own.
static int decode_still(const Input *in, const WebPBitstreamFeatures *f, const Rect *region,
                        Image *out, Failure *err) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot decode '%s': libwebp does not match", in->name);
    }
    int x0 = 0, y0 = 0, x1 = f->width, y1 = f->height;
    if (region != NULL) {
        x0 = (region->x > 0 ? region->x - 1 : 0) & ~1;
        y0 = region->y > 0 && !alpha_needs_rows_above(in) ? (region->y - 1) & ~1 : 0;
        x1 = region->x + region->w < f->width ? region->x + region->w + 1 : f->width;
        y1 = region->y + region->h < f->height ? region->y + region->h + 1 : f->height;
        config.options.use_cropping = 1;
        config.options.crop_left = x0;
        config.options.crop_top = y0;
        config.options.crop_width = x1 - x0;
        config.options.crop_height = y1 - y0;
    }
    config.options.use_threads = 0;
    size_t bw = (size_t)(x1 - x0), bh = (size_t)(y1 - y0);
    unsigned char *px = (unsigned char *)block_malloc(bw * bh * 4);
    if (px == NULL) {
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': out of memory for %dx%d image",
                    in->name, (int)bw, (int)bh);
    }
    config.output.colorspace = MODE_RGBA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = px;
    config.output.u.RGBA.stride = (int)(bw * 4);
    config.output.u.RGBA.size = bw * bh * 4;
    VP8StatusCode status = WebPDecode(in->data, in->size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        free(px);
        return decode_failure(in, status, err);
    }
    if (region == NULL || (x0 == region->x && y0 == region->y && (int)bw == region->w &&
                           (int)bh == region->h)) {
        out->w = (int)bw;
        out->h = (int)bh;
        out->px = px;
        return 1;
    }
    *out = sub_image((int)bw, px, region->x - x0, region->y - y0, region->w, region->h, err);
    free(px);
    return out->px != NULL;
}

static int webp_decode(Reader *r, const Rect *region, int denom, Image *out, Failure *err) {
    (void)denom;
    const Input *in = r->in;
    const WebPBitstreamFeatures *f = (const WebPBitstreamFeatures *)r->state;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    Rect whole = {0, 0, f->width, f->height};
    if (f->has_animation) return decode_animation(in, f, region != NULL ? *region : whole, out, err);
    if (region == NULL || f->format == 1) return decode_still(in, f, region, out, err);
    Image full;
    if (!decode_still(in, f, NULL, &full, err)) return 0;
    *out = sub_image(full.w, full.px, region->x, region->y, region->w, region->h, err);
    free(full.px);
    return out->px != NULL;
}

const Codec WEBP_CODEC = {"webp", is_webp_file, READ_REGION, webp_open, webp_decode, NULL, NULL, NULL, webp_close};

// ---------------------------------------------------------------------------
// Encoding

// libwebp's writer: the encoded bytes to our sink. A failed sink stops the
// encoder.
static int write_to_sink(const uint8_t *data, size_t size, const WebPPicture *pic) {
    Sink *sink = (Sink *)pic->custom_ptr;
    if (size > 0) sink_write(sink, data, size);
    return !sink->failed;
}

// The file the encoder wrote, with meta's ICC profile and Exif block added as
// chunks (the mux library adds the VP8X header that announces them).
static WebPMuxError write_with_chunks(const WebPMemoryWriter *mem, const Metadata *meta,
                                      Sink *sink) {
    WebPData image = {mem->mem, mem->size};
    WebPMux *mux = WebPMuxCreate(&image, 0);
    if (mux == NULL) return WEBP_MUX_MEMORY_ERROR;
    WebPMuxError e = WEBP_MUX_OK;
    if (meta->icc != NULL) {
        WebPData icc = {meta->icc, meta->icc_size};
        e = WebPMuxSetChunk(mux, "ICCP", &icc, 0);
    }
    if (e == WEBP_MUX_OK && meta->exif != NULL) {
        WebPData exif = {meta->exif, meta->exif_size};
        e = WebPMuxSetChunk(mux, "EXIF", &exif, 0);
    }
    WebPData out = {NULL, 0};
    if (e == WEBP_MUX_OK) e = WebPMuxAssemble(mux, &out);
    if (e == WEBP_MUX_OK) sink_write(sink, out.bytes, out.size);
    WebPDataClear(&out);
    WebPMuxDelete(mux);
    return e;
}

// The failure of an encoder error code.
static int encode_failure(WebPEncodingError code, const char *name, Failure *err) {
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
    case VP8_ENC_ERROR_FILE_TOO_BIG:
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot encode '%s': too much data for a WebP file", name);
    default:
        return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s': libwebp's encoder failed (error %d)", name,
                    (int)code);
    }
}

int webp_encode(const Image *img, int quality, int lossless, int effort, const Metadata *meta, Sink *sink,
                const char *name, Failure *err) {
    if (img->w > WEBP_MAX_SIDE || img->h > WEBP_MAX_SIDE) {
        return fail(err, TRIMLET_ERR_TOO_LARGE, "cannot encode '%s': WebP holds at most %d pixels a side",
                    name, WEBP_MAX_SIDE);
    }
    WebPConfig config;
    WebPPicture pic;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&pic)) {
        return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot encode '%s': libwebp does not match", name);
    }
    // Lossless keeps every pixel's colour, those under alpha 0 included; its
    // effort stays at the library's default (quality 75, method 4), as
    // lossy's method does.
    if (lossless) {
        config.lossless = 1;
        config.exact = 1;
    } else {
        config.quality = (float)quality;
    }
    config.thread_level = 0;
    // The effort option picks the method (0 fastest .. 6 smallest).
    static const int METHOD[11] = {4, 0, 1, 1, 2, 3, 4, 4, 5, 6, 6};
    if (effort > 0 && effort <= 10) config.method = METHOD[effort];
    pic.use_argb = lossless;
    pic.width = img->w;
    pic.height = img->h;
    if (!WebPPictureImportRGBA(&pic, img->px, img->w * 4)) {
        WebPPictureFree(&pic);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
    }
    int carries = meta != NULL && (meta->icc != NULL || meta->exif != NULL);
    WebPMemoryWriter mem;
    WebPMemoryWriterInit(&mem);
    if (carries) {
        pic.writer = WebPMemoryWrite;
        pic.custom_ptr = &mem;
    } else {
        pic.writer = write_to_sink;
        pic.custom_ptr = sink;
    }
    int ok = WebPEncode(&config, &pic);
    WebPEncodingError code = pic.error_code;
    WebPPictureFree(&pic);
    if (!ok) {
        WebPMemoryWriterClear(&mem);
        // A failed sink is its owner's to report.
        if (code == VP8_ENC_ERROR_BAD_WRITE && !carries) return 0;
        return encode_failure(code, name, err);
    }
    if (carries) {
        WebPMuxError e = write_with_chunks(&mem, meta, sink);
        WebPMemoryWriterClear(&mem);
        if (e == WEBP_MUX_MEMORY_ERROR) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
        if (e != WEBP_MUX_OK) {
            return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s': cannot add the metadata chunks (error %d)",
                        name, (int)e);
        }
    }
    return !sink->failed;
}

#else  // no libwebp: WebP files are refused as unavailable (decode.cpp)

const Codec WEBP_CODEC = {"webp", is_webp_file, 0, NULL, NULL, NULL, NULL, NULL, NULL};

int webp_encode(const Image *img, int quality, int lossless, int effort, const Metadata *meta, Sink *sink,
                const char *name, Failure *err) {
    (void)img;
    (void)quality;
    (void)lossless;
    (void)effort;
    (void)meta;
    (void)sink;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "cannot encode '%s': webp is not available in this build", name);
}

#endif
