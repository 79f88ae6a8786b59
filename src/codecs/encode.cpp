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
// Formats

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

// The names a format goes by, in options->format and as an extension.
struct FormatName {
    const char *name;
    int format;
};
static const FormatName FORMAT_NAMES[] = {
    {"png", FORMAT_PNG}, {"jpg", FORMAT_JPEG}, {"jpeg", FORMAT_JPEG},
    {"bmp", FORMAT_BMP}, {"tga", FORMAT_TGA}, {"webp", FORMAT_WEBP}, {"avif", FORMAT_AVIF},
    {"gif", FORMAT_GIF},
};

int format_from_name(const char *name) {
    for (const FormatName &f : FORMAT_NAMES) {
        if (ext_equals(name, f.name)) return f.format;
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
    static const char *const NAMES[] = {"png", "jpeg", "bmp", "tga", "webp", "avif", "gif"};
    return format >= 0 && format < (int)(sizeof NAMES / sizeof NAMES[0]) ? NAMES[format] : NULL;
}

int format_available(int format) {
    if (format == FORMAT_WEBP) return WEBP_LIB;
    if (format == FORMAT_AVIF) return avif_writable();  // the installed libheif's encoders
    if (format == FORMAT_GIF) return GIF_LIB;
    return 1;
}

// The quality an encoder is given: the caller's, else the format's default.
static int quality_for(int format, const Settings *set) {
    if (set->quality != 0) return set->quality;
    if (format == FORMAT_AVIF) return AVIF_DEFAULT_QUALITY;
    return format == FORMAT_WEBP ? WEBP_DEFAULT_QUALITY : JPEG_DEFAULT_QUALITY;
}

// stb_image_write's callback.
static void stb_sink(void *context, void *data, int size) {
    if (size > 0) sink_write((Sink *)context, data, (size_t)size);
}
// ---------------------------------------------------------------------------
// Encoding

// Encodes img with stb_image_write (JPEG, BMP, TGA) into sink; returns
// the encoder's result (0 only when memory runs out), or -1 when the
// flattened copy cannot be allocated.
static int encode_pixels(const Image *img, int format, const Settings *set, Sink *sink) {
    int ok;
    if (format == FORMAT_JPEG || format == FORMAT_BMP) {
        unsigned char *rgb = flatten(img, set->background);
        if (rgb == NULL) return -1;
        if (format == FORMAT_BMP) {
            ok = stbi_write_bmp_to_func(stb_sink, sink, img->w, img->h, 3, rgb);
        } else {
            ok = stbi_write_jpg_to_func(stb_sink, sink, img->w, img->h, 3, rgb, quality_for(format, set));
        }
        free(rgb);
    } else {
        ok = stbi_write_tga_to_func(stb_sink, sink, img->w, img->h, 4, img->px);
    }
    return ok;
}

// JPEG output (stb_image_write's) that carries a profile or an Exif block
// is encoded into memory first, then written to the sink with the segments
// inserted after its header (photo.cpp).
static int encode_with_metadata(const Image *img, int format, const Settings *set,
                                const Metadata *meta, Sink *sink) {
    Sink mem;
    memset(&mem, 0, sizeof mem);
    mem.kind = SINK_MEMORY;
    int ok = encode_pixels(img, format, set, &mem);
    if (ok < 0) {
        free(mem.mem);
        return ok;
    }
    ok = sink_finish(&mem, ok);
    if (ok) jpeg_with_metadata(mem.mem, mem.mem_size, meta, sink);
    free(mem.mem);
    return ok;
}

int encode_image(Image *img, int format, const Settings *set, const Metadata *meta,
                 Sink *sink, const char *name, Failure *err) {
    if (format == FORMAT_AVIF) return avif_encode(img, quality_for(format, set), set->effort, meta, sink, name, err);
    int carries = meta != NULL && (meta->icc != NULL || meta->exif != NULL) &&
                  (format == FORMAT_PNG || format == FORMAT_JPEG || format == FORMAT_WEBP);
    if (format == FORMAT_WEBP) {
        return webp_encode(img, quality_for(format, set), set->lossless, set->effort, carries ? meta : NULL, sink,
                           name, err);
    }
    int ok;
    if (format == FORMAT_JPEG && JPEG_TURBO) {
        // libjpeg-turbo writes the segments itself, between the header and
        // the pixels (jpeg.cpp).
        ok = jpeg_encode(img, quality_for(format, set), set->background, carries ? meta : NULL, sink);
    } else if (format == FORMAT_PNG) {
        // So does the PNG writer (pngwrite.cpp).
        ok = png_write(img, carries ? meta : NULL, set->effort, set->png_compact, sink);
    } else {
        ok = carries ? encode_with_metadata(img, format, set, meta, sink)
                     : encode_pixels(img, format, set, sink);
    }
    if (ok < 0) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    if (!ok) {
        // The encoders fail only when memory runs out.
        if (!set->system_reasons) return fail(err, TRIMLET_ERR_WRITE, "cannot encode '%s' (check the extension)", name);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot encode '%s': out of memory", name);
    }
    return ok;
}
