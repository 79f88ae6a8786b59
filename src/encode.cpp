// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Encoding: RGBA to PNG, JPEG, BMP or TGA, into a sink that is a file or a
// block of memory. stb_image_write is compiled into this file, privately.

#include "internal.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBDEFLATE
#include <libdeflate.h>

// stb_image_write builds each PNG itself (it picks every row's filter and
// writes the chunks) but hands the filtered rows to this zlib compressor.
// libdeflate is both faster and tighter than stb's own compressor; the
// decoded pixels are the same either way. stb's quality argument is its own
// level scale and is ignored. Level 6 was chosen with bench/: on photo-like
// and screenshot-like crops it is 1.65-1.85x as fast as stb's compressor with
// files 32-39 % smaller; level 3 is faster still but 2-4 % larger, and levels
// from 9 up are slower than stb's own.
static const int PNG_DEFLATE_LEVEL = 6;

// Returns a malloc'd zlib stream of data (stb releases it with free), or NULL
// when memory runs out, which stb reports as an encoder failure.
static unsigned char *zlib_compress(unsigned char *data, int data_len,
                                    int *out_len, int quality) {
    (void)quality;
    struct libdeflate_compressor *c =
        libdeflate_alloc_compressor(PNG_DEFLATE_LEVEL);
    if (c == NULL) return NULL;
    size_t bound = libdeflate_zlib_compress_bound(c, (size_t)data_len);
    unsigned char *out = (unsigned char *)malloc(bound);
    size_t n = 0;
    if (out != NULL) {
        n = libdeflate_zlib_compress(c, data, (size_t)data_len, out, bound);
    }
    libdeflate_free_compressor(c);
    if (n == 0 || n > (size_t)INT32_MAX) {
        free(out);
        return NULL;
    }
    // Give back the unused tail before stb allocates the file image.
    unsigned char *fit = (unsigned char *)realloc(out, n);
    *out_len = (int)n;
    return fit != NULL ? fit : out;
}
#define STBIW_ZLIB_COMPRESS zlib_compress
#endif

int png_deflate_level(void) {
#ifdef TRIMLET_USE_LIBDEFLATE
    return PNG_DEFLATE_LEVEL;
#else
    return 0;
#endif
}

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

// Chooses the encoder from the text after the last dot of the whole path.
// The names a format goes by, in options->format and as an extension.
struct FormatName {
    const char *name;
    int format;
};
static const FormatName FORMAT_NAMES[] = {
    {"png", FORMAT_PNG}, {"jpg", FORMAT_JPEG}, {"jpeg", FORMAT_JPEG},
    {"bmp", FORMAT_BMP}, {"tga", FORMAT_TGA},
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
    static const char *const NAMES[] = {"png", "jpeg", "bmp", "tga"};
    return format >= 0 && format < (int)(sizeof NAMES / sizeof NAMES[0]) ? NAMES[format] : NULL;
}

// ---------------------------------------------------------------------------
// Sinks
//
// A file sink given no open file opens its path only when the first bytes
// leave the buffer, so an encoder that fails before producing anything leaves
// an existing file alone (the seven write their outputs this way). Short
// writes are remembered and reported at the end, because stb_image_write's
// own writers ignore them. The JPEG encoder hands over its output one byte at
// a time, so small pieces are gathered in buf and leave in large writes.

// Sends size bytes at data to the file or the memory block.
static void sink_put(Sink *sink, const void *data, size_t size) {
    if (sink->failed || size == 0) return;
    if (sink->kind == SINK_MEMORY) {
        if (size > sink->mem_cap - sink->mem_size) {
            size_t cap = sink->mem_cap ? sink->mem_cap : 65536;
            while (cap - sink->mem_size < size) {
                if (cap > SIZE_MAX / 2) {
                    sink->failed = 1;
                    return;
                }
                cap *= 2;
            }
            unsigned char *bigger = (unsigned char *)realloc(sink->mem, cap);
            if (bigger == NULL) {
                sink->failed = 1;
                sink->error_no = ENOMEM;
                return;
            }
            sink->mem = bigger;
            sink->mem_cap = cap;
        }
        memcpy(sink->mem + sink->mem_size, data, size);
        sink->mem_size += size;
        return;
    }
    if (sink->f == NULL) {
        errno = 0;
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) {
            sink->failed = 1;
            sink->error_no = errno;
            return;
        }
    }
    errno = 0;
    if (fwrite(data, 1, size, sink->f) != size) {
        sink->failed = 1;
        sink->error_no = errno;
    }
}

static void sink_flush(Sink *sink) {
    sink_put(sink, sink->buf, sink->used);
    sink->used = 0;
}

void sink_write(Sink *sink, const void *data, size_t n) {
    if (n <= sizeof sink->buf - sink->used) {
        memcpy(sink->buf + sink->used, data, n);
        sink->used += n;
        return;
    }
    sink_flush(sink);
    if (n < sizeof sink->buf) {
        memcpy(sink->buf, data, n);
        sink->used = n;
    } else {
        sink_put(sink, data, n);
    }
}

// stb_image_write's callback.
static void stb_sink(void *context, void *data, int size) {
    if (size > 0) sink_write((Sink *)context, data, (size_t)size);
}

int sink_finish(Sink *sink, int encoded) {
    sink_flush(sink);
    if (sink->kind == SINK_MEMORY) {
        if (!sink->failed && sink->mem == NULL && encoded) {
            sink->mem = (unsigned char *)malloc(1);  // an empty result still has a block
            if (sink->mem == NULL) sink->failed = 1;
        }
        return sink->failed ? 0 : encoded;
    }
    if (encoded && !sink->failed && sink->f == NULL) {
        // An encoder that succeeded without producing a byte still owes the
        // caller a file; create it empty.
        errno = 0;
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) {
            sink->failed = 1;
            sink->error_no = errno;
        }
    }
    if (sink->f != NULL) {
        errno = 0;
        if (fclose(sink->f) != 0 && !sink->failed) {
            sink->failed = 1;
            sink->error_no = errno;
        }
    }
    sink->f = NULL;
    return sink->failed ? 0 : encoded;
}

// ---------------------------------------------------------------------------
// Flattening alpha for JPEG and BMP

// Composites one RGBA pixel over an opaque background colour into three
// bytes, rounding to nearest.
static inline void flatten_px(const unsigned char *s, const unsigned char bg[3],
                              unsigned char *d) {
    unsigned a = s[3], rest = 255u - a;
    d[0] = (unsigned char)((s[0] * a + bg[0] * rest + 127u) / 255u);
    d[1] = (unsigned char)((s[1] * a + bg[1] * rest + 127u) / 255u);
    d[2] = (unsigned char)((s[2] * a + bg[2] * rest + 127u) / 255u);
}

// Opaque pixels keep their colour, and most images are opaque throughout, so
// pixels go four at a time: when all four alphas are 255 the colours are
// moved with four overlapping 4-byte copies, each one's fourth byte
// overwritten by the next (the last one's by the next group, which is why a
// group is taken only while a pixel follows it). Other groups and the last
// pixels are composited one by one.
static void flatten_run(const unsigned char *s, size_t n, const unsigned char bg[3],
                        unsigned char *d) {
    size_t i = 0;
    for (; i + 4 < n; i += 4, s += 16, d += 12) {
        if ((s[3] & s[7] & s[11] & s[15]) == 255) {
            memcpy(d, s, 4);
            memcpy(d + 3, s + 4, 4);
            memcpy(d + 6, s + 8, 4);
            memcpy(d + 9, s + 12, 4);
        } else {
            flatten_px(s, bg, d);
            flatten_px(s + 4, bg, d + 3);
            flatten_px(s + 8, bg, d + 6);
            flatten_px(s + 12, bg, d + 9);
        }
    }
    for (; i < n; ++i, s += 4, d += 3) flatten_px(s, bg, d);
}

void flatten_row(const unsigned char *rgba, int w, const unsigned char bg[3],
                 unsigned char *rgb) {
    flatten_run(rgba, (size_t)w, bg, rgb);
}

unsigned char *flatten(const Image *img, const unsigned char bg[3]) {
    size_t n = (size_t)img->w * (size_t)img->h;
    unsigned char *rgb = (unsigned char *)malloc(n ? n * 3 : 1);
    if (rgb == NULL) return NULL;
    flatten_run(img->px, n, bg, rgb);
    return rgb;
}

// ---------------------------------------------------------------------------
// Encoding

// Encodes img with stb_image_write into sink; returns stb's result (0 only
// when memory runs out), or -1 when the flattened copy cannot be allocated.
static int encode_pixels(const Image *img, int format, const Settings *set, Sink *sink) {
    int ok;
    if (format == FORMAT_JPEG || format == FORMAT_BMP) {
        unsigned char *rgb = flatten(img, set->background);
        if (rgb == NULL) return -1;
        if (format == FORMAT_BMP) {
            ok = stbi_write_bmp_to_func(stb_sink, sink, img->w, img->h, 3, rgb);
        } else {
            ok = stbi_write_jpg_to_func(stb_sink, sink, img->w, img->h, 3, rgb, set->quality);
        }
        free(rgb);
    } else if (format == FORMAT_TGA) {
        ok = stbi_write_tga_to_func(stb_sink, sink, img->w, img->h, 4, img->px);
    } else {
        ok = stbi_write_png_to_func(stb_sink, sink, img->w, img->h, 4, img->px, 0);
    }
    return ok;
}

// PNG and JPEG output that carries a profile or an Exif block is encoded
// into memory first, then written to the sink with the chunks or segments
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
    if (ok && format == FORMAT_PNG) {
        ok = png_with_metadata(mem.mem, mem.mem_size, meta, sink);
    } else if (ok) {
        jpeg_with_metadata(mem.mem, mem.mem_size, meta, sink);
    }
    free(mem.mem);
    return ok;
}

int encode_image(const Image *img, int format, const Settings *set, const Metadata *meta,
                 Sink *sink, const char *name, Failure *err) {
    int carries = meta != NULL && (meta->icc != NULL || meta->exif != NULL) &&
                  (format == FORMAT_PNG || format == FORMAT_JPEG);
    int ok;
    if (format == FORMAT_JPEG && JPEG_TURBO) {
        // libjpeg-turbo writes the segments itself, between the header and
        // the pixels (jpeg.cpp).
        ok = jpeg_encode(img, set->quality, set->background, carries ? meta : NULL, sink);
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

unsigned char *zlib_deflate(const unsigned char *d, size_t len, size_t *out_len) {
    *out_len = 0;
    if (len > (size_t)INT32_MAX) return NULL;
    int n = 0;
    // stb's compressor, or libdeflate's through STBIW_ZLIB_COMPRESS; it only
    // reads the data.
    unsigned char *z = stbi_zlib_compress((unsigned char *)d, (int)len, &n,
                                          stbi_write_png_compression_level);
    if (z != NULL) *out_len = (size_t)n;
    return z;
}
