// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// stb_image, compiled into the library privately, and the few entry points
// the other stages use: the decoder itself, and its own header parsers for
// the screening (see internal.h for why those are reached only from here).

#include "base/stb.h"
#include "base/base.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Decoder memory
//
// stb_image does not always write every byte of the blocks it allocates
// before they reach its output (truncated files, palette indices past the
// palette, scans that use a table never defined). Every block it allocates is
// therefore zeroed, so what it leaves unwritten reads as 0 and never as heap
// contents of the host. The unit is also built with stack variables starting
// zeroed (see CMakeLists.txt) for its stack arrays. Blocks it returns are
// still plain malloc blocks, released with free().

static void *zeroed_malloc(size_t size) { return calloc(1, size ? size : 1); }

// Grows a block with its new tail zeroed. A fresh calloc block rather than
// realloc and memset: a file may claim a chunk of gigabytes that it then
// fails to supply, and calloc leaves such a large block to the system's
// zero pages, costing nothing until written. The decoder always passes the
// size it last asked for as old_size.
static void *zeroed_realloc(void *p, size_t old_size, size_t new_size) {
    if (new_size <= old_size) return realloc(p, new_size ? new_size : 1);
    void *q = calloc(1, new_size);
    if (q == NULL) return NULL;
    if (p != NULL) memcpy(q, p, old_size);
    free(p);
    return q;
}

#define STBI_MALLOC(size) zeroed_malloc(size)
#define STBI_REALLOC_SIZED(p, old_size, new_size) \
    zeroed_realloc(p, (size_t)(old_size), (size_t)(new_size))
#define STBI_FREE(p) free(p)

// The library reads files itself (load_image), so the decoder's stdio entry
// points are left out.
#define STBI_NO_STDIO
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

// ---------------------------------------------------------------------------
// stb_image's private parsers, for the screening (see internal.h)

static void start(stbi__context *s, const unsigned char *d, size_t len) {
    // Inputs are at most INT_MAX bytes (read_input_file, trimlet_crop_memory).
    stbi__start_mem(s, d, (int)len);
}

int stb_kind(const unsigned char *d, size_t len) {
    stbi__context s;
    start(&s, d, len);
    if (stbi__bmp_test(&s)) return STB_BMP;
    if (stbi__psd_test(&s)) return STB_PSD;
    if (stbi__pic_test(&s)) return STB_PIC;
    if (stbi__hdr_test(&s)) return STB_HDR;
    if (stbi__tga_test(&s)) return STB_TGA;
    return STB_OTHER;
}

int stb_is_jpeg(const unsigned char *d, size_t len) {
    stbi__context s;
    start(&s, d, len);
    return stbi__jpeg_test(&s);
}

int stb_recognised(const unsigned char *d, size_t len) {
    // The probes stbi_load tries, in its order; each looks at a few dozen
    // bytes at most (PIC's, the furthest, at the first 92).
    stbi__context s;
    start(&s, d, len);
    return stbi__jpeg_test(&s) || stbi__png_test(&s) || stbi__bmp_test(&s) || stbi__gif_test(&s) ||
           stbi__psd_test(&s) || stbi__pic_test(&s) || stbi__pnm_test(&s) || stbi__hdr_test(&s) ||
           stbi__tga_test(&s);
}

int stb_info(const unsigned char *d, size_t len, int *w, int *h) {
    int channels = 0;
    return stbi_info_from_memory(d, (int)len, w, h, &channels);
}

int stb_pnm_header(const unsigned char *d, size_t len, int *w, int *h, int *channels,
                   int *bits, size_t *data) {
    stbi__context s;
    start(&s, d, len);
    *bits = stbi__pnm_info(&s, w, h, channels);
    if (*bits == 0) return 0;
    *data = (size_t)(s.img_buffer - s.img_buffer_original);
    return 1;
}

int stb_hdr_header(const unsigned char *d, size_t len, int *w, int *h, size_t *data) {
    stbi__context s;
    start(&s, d, len);
    int comp = 0;
    if (!stbi__hdr_info(&s, w, h, &comp)) return 0;
    *data = (size_t)(s.img_buffer - s.img_buffer_original);
    return 1;
}

int stb_sizes_valid(int a, int b, int c, int d, int add) {
    return stbi__mad4sizes_valid(a, b, c, d, add);
}


unsigned char *stb_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why) {
    int channels = 0;
    // stb_image keeps its last reason, from whichever call made it (a
    // metadata block inflated before, a format tested before), and a few
    // of its failures set none: a reason left from before must not stand
    // for this failure.
    stbi__g_failure_reason = NULL;
    unsigned char *px = stbi_load_from_memory(d, (int)len, w, h, &channels, 4);
    if (px == NULL) {
        // A few failures give no reason (a zlib block of type 3, PNG image
        // data past 2 GiB in all). GIF's header parser clears the reason to
        // "" and a later failure may leave it so.
        *why = stbi_failure_reason();
        if (*why == NULL) *why = "corrupt data";
        if (**why == '\0') *why = "unknown error";
    }
    return px;
}

// The class of each short reason stb_image gives (stb 2.27's texts), and of
// the screening's and our readers' reasons, which use the same words. Every
// reason not listed here is about data that does not hold together: damaged
// or truncated, TRIMLET_ERR_CORRUPT. Update this table with stb.
struct ReasonClass {
    const char *why;
    int status;
};
static const ReasonClass REASON_CLASSES[] = {
    {"unknown image type", TRIMLET_ERR_UNSUPPORTED},
    {"not BMP", TRIMLET_ERR_UNSUPPORTED},
    {"not GIF", TRIMLET_ERR_UNSUPPORTED},
    {"not HDR", TRIMLET_ERR_UNSUPPORTED},
    {"not PSD", TRIMLET_ERR_UNSUPPORTED},
    {"unknown BMP", TRIMLET_ERR_UNSUPPORTED},
    {"BMP JPEG/PNG", TRIMLET_ERR_UNSUPPORTED},
    {"BMP RLE", TRIMLET_ERR_UNSUPPORTED},
    {"1/2/4/8/16-bit only", TRIMLET_ERR_UNSUPPORTED},
    {"only 8-bit", TRIMLET_ERR_UNSUPPORTED},
    {"unsupported", TRIMLET_ERR_UNSUPPORTED},
    {"unsupported bit depth", TRIMLET_ERR_UNSUPPORTED},
    {"unsupported data layout", TRIMLET_ERR_UNSUPPORTED},
    {"unsupported format", TRIMLET_ERR_UNSUPPORTED},
    {"wrong version", TRIMLET_ERR_UNSUPPORTED},
    {"wrong color format", TRIMLET_ERR_UNSUPPORTED},
    {"max value > 65535", TRIMLET_ERR_UNSUPPORTED},
    {"too large", TRIMLET_ERR_TOO_LARGE},
    {"file too large", TRIMLET_ERR_TOO_LARGE},
    {"outofmem", TRIMLET_ERR_NO_MEMORY},
    {"can't fopen", TRIMLET_ERR_READ},
    {"can't fread", TRIMLET_ERR_READ},
};

int reason_status(const char *why) {
    for (const ReasonClass &c : REASON_CLASSES) {
        if (strcmp(why, c.why) == 0) return c.status;
    }
    return TRIMLET_ERR_CORRUPT;
}

// ---------------------------------------------------------------------------
// zlib streams inside files (a PNG's iCCP profile, photo.cpp)

// stb's decoder fills a block of fixed size and fails when the stream needs
// more, so the block starts at four times the stream (at least 4 KiB) and
// doubles up to the limit; a stream that fails even at the limit is corrupt
// or too large. The limit bounds what a small stream can make the library
// allocate.
unsigned char *zlib_inflate(const unsigned char *d, size_t len, size_t limit, size_t *out_len) {
    *out_len = 0;
    if (len == 0 || len > (size_t)INT32_MAX || limit == 0) return NULL;
    if (limit > (size_t)INT32_MAX) limit = (size_t)INT32_MAX;
    size_t cap = len < limit / 4 ? len * 4 : limit;
    if (cap < 4096) cap = limit < 4096 ? limit : 4096;
    for (;;) {
        char *out = (char *)malloc(cap);
        if (out == NULL) return NULL;
        int n = stbi_zlib_decode_buffer(out, (int)cap, (const char *)d, (int)len);
        if (n >= 0) {
            *out_len = (size_t)n;
            return (unsigned char *)out;
        }
        free(out);
        if (cap >= limit) return NULL;
        cap = cap > limit / 2 ? limit : cap * 2;
    }
}
