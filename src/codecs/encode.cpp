// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Encoding: RGBA to PNG, JPEG, BMP, TGA, WebP (webp.cpp) or AVIF (heif.cpp), into a sink that is a file or a
// block of memory. stb_image_write is compiled into this file, privately.

#include "codecs/parts.h"
#include "base/zlib.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

// PNG is written by pngwrite.cpp; stb_image_write's PNG writer is not used,
// but its compressor hook still names ours (zlib.cpp).
#define STBIW_ZLIB_COMPRESS zlib_stb_compress
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

// ---------------------------------------------------------------------------
// Encoders

// The quality an encoder is given: the caller's, else the format's default.
static int quality_for(int format, const Settings *set) {
    if (set->quality != 0) return set->quality;
    if (format == FORMAT_AVIF) return AVIF_DEFAULT_QUALITY;
    return format == FORMAT_WEBP ? WEBP_DEFAULT_QUALITY : JPEG_DEFAULT_QUALITY;
}

// The metadata an encoder that carries the blocks is given: meta when it
// has a profile or an Exif block, else NULL.
static const Metadata *blocks_of(const Metadata *meta) {
    return meta != NULL && (meta->icc != NULL || meta->exif != NULL) ? meta : NULL;
}

// The end of an encoder that reports only how it ended (ok < 0: the
// flattened copy could not be allocated; 0: the encoder ran out of memory),
// with its message. A failed sink ends it with 0 and no message: that
// failure is the sink owner's to report.
static int encoded(int ok, const Settings *set, Sink *sink, const char *name, Failure *err) {
    if (sink->failed) return 0;
    if (ok > 0) return 1;
    if (ok < 0) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    if (!set->system_reasons) return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s' (check the extension)", name);
    return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
}

// stb_image_write's callback.
static void stb_sink(void *context, void *data, int size) {
    if (size > 0) sink_write((Sink *)context, data, (size_t)size);
}

// img flattened onto the background, as stb_image_write's JPEG or BMP into
// sink; -1 when the flattened copy cannot be allocated, 0 when the encoder
// runs out of memory.
static int stb_flattened(const Image *img, int format, const Settings *set, Sink *sink) {
    unsigned char *rgb = flatten(img, set->background);
    if (rgb == NULL) return -1;
    int ok = format == FORMAT_BMP
                 ? stbi_write_bmp_to_func(stb_sink, sink, img->w, img->h, 3, rgb)
                 : stbi_write_jpg_to_func(stb_sink, sink, img->w, img->h, 3, rgb, quality_for(format, set));
    free(rgb);
    return ok;
}

static int encode_png(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                      Failure *err) {
    // The PNG writer puts the blocks after IHDR itself (pngwrite.cpp).
    return encoded(png_write(img, blocks_of(meta), set->effort, set->png_compact, sink), set, sink, name, err);
}

static int encode_jpeg(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                       Failure *err) {
    const Metadata *carried = blocks_of(meta);
    if (JPEG_TURBO) {
        // libjpeg-turbo writes the segments itself, between the header and
        // the pixels (jpeg.cpp).
        return encoded(jpeg_encode(img, quality_for(FORMAT_JPEG, set), set->background, carried, sink), set, sink,
                       name, err);
    }
    if (carried == NULL) return encoded(stb_flattened(img, FORMAT_JPEG, set, sink), set, sink, name, err);
    // stb_image_write's JPEG with metadata is encoded into memory first, then
    // written to the sink with the segments inserted after its header
    // (photo.cpp).
    Sink mem;
    memset(&mem, 0, sizeof mem);
    mem.kind = SINK_MEMORY;
    int ok = stb_flattened(img, FORMAT_JPEG, set, &mem);
    if (ok >= 0) ok = sink_finish(&mem, ok);
    if (ok > 0) jpeg_with_metadata(mem.mem, mem.mem_size, carried, sink);
    free(mem.mem);
    return encoded(ok, set, sink, name, err);
}

static int encode_bmp(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                      Failure *err) {
    (void)meta;
    return encoded(stb_flattened(img, FORMAT_BMP, set, sink), set, sink, name, err);
}

static int encode_tga(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                      Failure *err) {
    (void)meta;
    return encoded(stbi_write_tga_to_func(stb_sink, sink, img->w, img->h, 4, img->px), set, sink, name, err);
}

static int encode_webp(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                       Failure *err) {
    return webp_encode(img, quality_for(FORMAT_WEBP, set), set->lossless, set->effort, blocks_of(meta), sink, name,
                       err);
}

static int encode_avif(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                       Failure *err) {
    return avif_encode(img, quality_for(FORMAT_AVIF, set), set->effort, meta, sink, name, err);
}

static int always(void) { return 1; }
static int webp_built(void) { return WEBP_LIB; }
static int gif_built(void) { return GIF_LIB; }

// One format trimlet writes.
struct Encoder {
    int format;                 // its OutputFormat
    const char *name;           // as trimlet_result.output_format gives it
    const char *names[3];       // what options->format and extensions take, NULL-ended
    const char *feature;        // the trimlet_has name that answers for it, or NULL
    int (*available)(void);     // 1 when this build writes it (asked at the call)
    // Encodes img into sink (see encode_image); NULL: written frame by frame
    // by the animation path (frames.cpp).
    int (*encode)(Image *img, const Settings *set, const Metadata *meta, Sink *sink, const char *name,
                  Failure *err);
};

static const Encoder ENCODERS[] = {
    {FORMAT_PNG, "png", {"png"}, NULL, always, encode_png},
    {FORMAT_JPEG, "jpeg", {"jpg", "jpeg"}, NULL, always, encode_jpeg},
    {FORMAT_BMP, "bmp", {"bmp"}, NULL, always, encode_bmp},
    {FORMAT_TGA, "tga", {"tga"}, NULL, always, encode_tga},
    {FORMAT_WEBP, "webp", {"webp"}, "webp", webp_built, encode_webp},
    // The installed libheif's encoders.
    {FORMAT_AVIF, "avif", {"avif"}, "avif-write", avif_writable, encode_avif},
    {FORMAT_GIF, "gif", {"gif"}, "gif", gif_built, NULL},
};

static const Encoder *encoder_of(int format) {
    for (const Encoder &e : ENCODERS) {
        if (e.format == format) return &e;
    }
    return NULL;
}

// ASCII-only case-insensitive equality, independent of the C locale.
static int ext_equals(const char *a, const char *b) {
    for (;; ++a, ++b) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z') ca = (unsigned char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (unsigned char)(cb - 'A' + 'a');
        if (ca != cb) return 0;
        if (ca == '\0') return 1;
    }
}

int format_from_name(const char *name) {
    for (const Encoder &e : ENCODERS) {
        for (const char *const *n = e.names; *n != NULL; ++n) {
            if (ext_equals(name, *n)) return e.format;
        }
    }
    return -1;
}

int format_for_extension(const char *path) {
    const char *dot = strrchr(path, '.');
    return dot == NULL ? -1 : format_from_name(dot + 1);
}

int format_for_path(const char *path) {
    int format = format_for_extension(path);
    return format == FORMAT_JPEG || format == FORMAT_BMP || format == FORMAT_TGA ? format
                                                                               : (int)FORMAT_PNG;
}

const char *format_name(int format) {
    const Encoder *e = encoder_of(format);
    return e != NULL ? e->name : NULL;
}

int format_available(int format) {
    const Encoder *e = encoder_of(format);
    return e != NULL && e->available();
}

int format_of_feature(const char *feature) {
    for (const Encoder &e : ENCODERS) {
        if (e.feature != NULL && strcmp(feature, e.feature) == 0) return e.format;
    }
    return -1;
}

int encode_image(Image *img, int format, const Settings *set, const Metadata *meta,
                 Sink *sink, const char *name, Failure *err) {
    const Encoder *e = encoder_of(format);
    if (e == NULL || e->encode == NULL) {
        return fail(err, TRIMLET_ERR_UNSUPPORTED, "cannot encode '%s': no still encoder for this format", name);
    }
    return e->encode(img, set, meta, sink, name, err);
}
