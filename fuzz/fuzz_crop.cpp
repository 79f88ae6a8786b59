// SPDX-License-Identifier: MIT
// Fuzz target for the reentrant interface, memory to memory.
//
// The input is an image file followed by a 9-byte trailer:
//   0  the rule: 0 rect, 1 aspect, 2 auto, 3 edges, 4 ratio (value % 6; 5 is
//      a number that names no rule)
//   1  the format option (value % 7): png, jpg, bmp, tga, NULL (PNG), "JPEG",
//      "webp" (unavailable in a build without libwebp)
//   2-5 four signed parameter bytes for the rule
//   6  JPEG quality: 0 the default, 1..100 as is, 255 out of range, others
//      folded into 0..100
//   7  background: bit 7 set means NULL (white), else this byte spread over
//      R, G and B
//   8  flags: 1 lossless, 2 apply the EXIF orientation, 4 keep metadata,
//      8 no options record at all, 16 a record from an older header (size up
//      to quality), 32 an orientation value that is not one of the two,
//      64 every frame of an animation (TRIMLET_ALL_FRAMES), 128 GIF output
//      (instead of byte 1's format)
// Shorter inputs are all image, with a default trailer.
//
// Each input is planned (trimlet_plan_memory) and cropped
// (trimlet_crop_memory) with the same rule and options, and both results
// are checked against the interface's contract; any breach aborts:
//   - a result is 1 or 0; on 1 the error text is "", on 0 it is one line of
//     1 to 511 characters that starts as one of the library's messages, and
//     a failed crop returns no block and size 0;
//   - the plan's box lies inside its image, whose sides are at most 32768;
//     for the rectangle rule it is exactly the clipped rectangle;
//   - plan and crop agree: a plan that fails makes the crop fail with the
//     same message, and a crop may fail where its plan succeeded only in
//     encoding or for memory;
//   - a successful crop is a non-empty block that decodes (with the
//     harness's own copy of stb_image, or libwebp for WebP) to exactly the
//     plan's box;
//   - a PNG that the library's stb_image decodes gives the same pixels
//     through the fast path (png_decode: the library's inflater, or
//     libspng), whole and for the trailer's rectangle, or the fast path
//     declines it.
//
// Built with -fsanitize=fuzzer (TRIMLET_FUZZ) this is a libFuzzer target.
// Otherwise it is a replay program: each argument is a file or a directory
// of files, each run once, and CTest replays fuzz/corpus this way.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>
#include <sys/stat.h>

#include "api/api.h"
#include "base/stb.h"
#include "base/zlib.h"
#include "codecs/parts.h"
#include "crop/crop.h"
#include "trimlet.h"

// The harness decodes the library's outputs with its own copy of stb_image.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#ifdef TRIMLET_USE_LIBWEBP
#include <webp/decode.h>
#include <webp/demux.h>
#endif

static const size_t TRAILER = 9;
static const int64_t MAX_FUZZ_PIXELS = 1 << 22;
static const char *const FORMATS[7] = {"png", "jpg", "bmp", "tga", NULL, "JPEG", "webp"};
static const char *const RULE_NAMES[6] = {"rect", "aspect", "auto", "edges", "ratio", "crop"};

static void broken(const char *what, const char *detail) {
    fprintf(stderr, "fuzz_crop: contract broken: %s [%s]\n", what, detail);
    abort();
}

static int starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// The checks every result's error text must pass: "" on success; on failure
// one line of at most 511 characters that starts as a message of ours.
static void check_text(int ok, const char *err, const char *rule, const char *call) {
    if (ok != 0 && ok != 1) broken("result neither 0 nor 1", call);
    size_t n = strnlen(err, TRIMLET_ERROR_SIZE);
    if (ok) {
        if (n != 0) broken("success left a message", err);
        return;
    }
    if (n == 0) broken("failure without a message", call);
    if (n >= TRIMLET_ERROR_SIZE) broken("message not terminated within 512 bytes", call);
    if (strchr(err, '\n') != NULL) broken("message of more than one line", err);
    char own[32];
    snprintf(own, sizeof own, "%s: ", rule);
    if (!(starts_with(err, "cannot decode '<memory>': ") || starts_with(err, "image too large: ") ||
          starts_with(err, own) || starts_with(err, "options: ") || starts_with(err, "lossless: ") ||
          starts_with(err, "cannot encode '<memory>'") || starts_with(err, "out of memory") ||
          starts_with(err, "frames: ") || starts_with(err, "animation too large: ") ||
          strcmp(err, "GIF output needs a GIF input") == 0)) {
        broken("unexpected message", err);
    }
}

// The options the trailer asks for; NULL when it asks for none.
static const trimlet_options *options_from(const uint8_t *t, trimlet_options *o,
                                           unsigned char bg[3]) {
    memset(o, 0, sizeof *o);
    o->size = sizeof *o;
    o->format = FORMATS[t[1] % 7];
    o->quality = t[6] == 255 ? 101 : t[6] % 101;
    if (!(t[7] & 0x80)) {
        bg[0] = t[7];
        bg[1] = (unsigned char)(t[7] * 3);
        bg[2] = (unsigned char)(t[7] * 7);
        o->background = bg;
    }
    o->lossless = t[8] & 1;
    o->orient = t[8] & 32 ? 2 : (t[8] & 2 ? TRIMLET_APPLY_EXIF : TRIMLET_AS_STORED);
    o->metadata = t[8] & 4 ? TRIMLET_KEEP : TRIMLET_STRIP;
    if (t[8] & 64) o->frames = TRIMLET_ALL_FRAMES;
    if (t[8] & 128) o->format = "gif";
    if (t[8] & 16) o->size = offsetof(trimlet_options, quality) + sizeof o->quality;
    return t[8] & 8 ? NULL : o;
}

// The PNG fast path against stb_image on the same bytes: where both decode
// the file, the pixels are the same, and a region holds the whole's pixels.
static void check_png_paths(const uint8_t *data, size_t size, const int *p) {
    Input in;
    input_from_memory(data, size, 0, &in);
    if (size < 8 || memcmp(data, "\x89PNG\r\n\x1a\n", 8) != 0) return;
    int w = 0, h = 0;
    const char *why = NULL;
    unsigned char *want = stb_decode(data, size, &w, &h, &why);
    Image whole = {0, 0, NULL};
    int got = png_decode(&in, NULL, &whole, NULL) == 1;
    if (got && want != NULL) {
        if (whole.w != w || whole.h != h || memcmp(whole.px, want, (size_t)w * (size_t)h * 4) != 0) {
            broken("libspng and stb_image decode a PNG differently", "whole");
        }
    }
    if (got) {
        Rect r = {abs(p[0]) % whole.w, abs(p[1]) % whole.h, 0, 0};
        r.w = 1 + abs(p[2]) % (whole.w - r.x);
        r.h = 1 + abs(p[3]) % (whole.h - r.y);
        Image part = {0, 0, NULL};
        if (png_decode(&in, &r, &part, NULL) != 1) broken("libspng decodes a PNG but not its region", "region");
        for (int y = 0; y < r.h; ++y) {
            if (memcmp(part.px + (size_t)y * (size_t)r.w * 4,
                       whole.px + ((size_t)(r.y + y) * (size_t)whole.w + (size_t)r.x) * 4, (size_t)r.w * 4) != 0) {
                broken("a PNG region differs from the whole image", "region");
            }
        }
        free(part.px);
    }
    free(whole.px);
    free(want);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t t[TRAILER] = {0, 0, 0, 0, 1, 1, 0, 0x80, 0};
    if (size >= TRAILER) {
        size -= TRAILER;
        memcpy(t, data + size, TRAILER);
    }
    // Sizes up to 32768 a side are accepted, and a few bytes can claim them
    // (a GIF canvas, a JPEG padded with zeros): such inputs only cost the
    // time and memory the README states, so the fuzzer skips them rather
    // than spend its minutes on them. The size is the one the library's own
    // screening reads (a top-down BMP's height is negative in its header, and
    // the decoder's info call gives it so). Above 32768 they are refused
    // early and stay in.
    {
        Input in;
        input_from_memory(data, size, 0, &in);
        int cw = 0, ch = 0;
        Failure err;
        Reader rd;
        reader_find(&in, &rd);
        int opened = reader_open(&rd, &err);
        cw = rd.w;
        ch = rd.h;
        reader_close(&rd);
        if (opened && cw <= MAX_SIDE && ch <= MAX_SIDE &&
            (int64_t)cw * ch > MAX_FUZZ_PIXELS) {
            return 0;
        }
        // So do animations of many large frames, with every frame asked.
        if ((t[8] & 64) && (int64_t)cw * ch * input_frame_count(&in) > 4 * MAX_FUZZ_PIXELS) return 0;
    }

    int rule = t[0] % 6;
    const char *name = RULE_NAMES[rule];
    int number = rule < 5 ? rule : 5 + t[0] / 6;
    int p[4];
    for (int i = 0; i < 4; ++i) p[i] = (int8_t)t[2 + i];
    if (rule == TRIMLET_ASPECT) p[0] = (t[2] % 7) - 1;
    if (rule == TRIMLET_EDGES) {
        for (int i = 0; i < 4; ++i) p[i] %= 60;
    }
    check_png_paths(data, size, p);
    trimlet_options o;
    unsigned char bg[3];
    const trimlet_options *opt = options_from(t, &o, bg);

    // A non-NULL pointer for an empty input: NULL is refused before any check.
    static const uint8_t EMPTY[1] = {0};
    const void *input = size > 0 ? (const void *)data : (const void *)EMPTY;

    trimlet_box box;
    memset(&box, 0xA5, sizeof box);
    char plan_err[TRIMLET_ERROR_SIZE];
    memset(plan_err, 'x', sizeof plan_err);
    int planned = trimlet_plan_memory(input, size, number, p, opt, &box, plan_err);
    check_text(planned, plan_err, name, "plan");

    // The crop through trimlet_run, memory to memory: the status says
    // success or one failure class, as the text does.
    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input = input;
    q.input_size = size;
    q.output_to_memory = 1;
    q.rule = number;
    q.params = p;
    q.options = opt;
    trimlet_result res;
    memset(&res, 0xA5, sizeof res);
    res.size = sizeof res;
    int cropped = trimlet_run(&q, &res);
    const char *crop_err = res.error;
    void *out = res.output;
    size_t out_size = res.output_size;
    check_text(cropped, res.error, name, "crop");
    if (cropped != (res.status == TRIMLET_OK)) broken("status disagrees with the result", crop_err);
    if (res.status < TRIMLET_OK || res.status > TRIMLET_ERR_UNAVAILABLE) broken("status out of range", crop_err);

    if (!cropped && (out != NULL || out_size != 0)) broken("failed crop returned a block", crop_err);
    if (cropped && (out == NULL || out_size == 0)) broken("crop returned no bytes", name);
    // A plan has no output, so only the crop learns that a lossless cut was
    // given no format and would go to memory as PNG; that check comes first.
    if (!cropped && o.lossless && o.format == NULL && opt != NULL &&
        (strcmp(crop_err, "lossless: output must be JPEG, not png") == 0 ||
         strcmp(crop_err, "lossless: output must be JPEG or WebP, not png") == 0)) {
        return 0;
    }
    // Likewise every frame of an animation, which PNG cannot hold.
    if (!cropped && o.frames != 0 && o.format == NULL && opt != NULL && starts_with(crop_err, "frames: ")) {
        return 0;
    }
    if (!planned) {
        if (cropped) broken("crop succeeded where its plan failed", plan_err);
        if (strcmp(plan_err, crop_err) != 0) broken("plan and crop failed differently", crop_err);
        return 0;
    }
    if (!cropped && !starts_with(crop_err, "cannot encode '<memory>'") &&
        !starts_with(crop_err, "out of memory")) {
        broken("crop failed where its plan succeeded", crop_err);
    }

    if (box.image_w < 1 || box.image_h < 1 || box.image_w > MAX_SIDE || box.image_h > MAX_SIDE) {
        broken("plan's image size out of range", name);
    }
    if (box.w < 1 || box.h < 1 || box.x < 0 || box.y < 0 || box.x > box.image_w - box.w ||
        box.y > box.image_h - box.h) {
        broken("plan's box outside its image", name);
    }
    if (rule == TRIMLET_RECT && !o.lossless) {
        int64_t x0 = p[0] < 0 ? 0 : p[0], y0 = p[1] < 0 ? 0 : p[1];
        int64_t x1 = (int64_t)p[0] + p[2], y1 = (int64_t)p[1] + p[3];
        if (x1 > box.image_w) x1 = box.image_w;
        if (y1 > box.image_h) y1 = box.image_h;
        if (box.x != x0 || box.y != y0 || box.w != x1 - x0 || box.h != y1 - y0) {
            broken("rectangle rule's box is not the clipped rectangle", name);
        }
    }
    if (cropped) {
        int w = 0, h = 0, n = 0;
#ifdef TRIMLET_USE_LIBWEBP
        WebPBitstreamFeatures f;
        if (out_size >= 4 && memcmp(out, "RIFF", 4) == 0 &&
            WebPGetFeatures((const uint8_t *)out, out_size, &f) == VP8_STATUS_OK && f.has_animation) {
            // Every frame of an animation decodes.
            WebPData d = {(const uint8_t *)out, out_size};
            WebPAnimDecoder *dec = WebPAnimDecoderNew(&d, NULL);
            WebPAnimInfo info;
            if (dec == NULL || !WebPAnimDecoderGetInfo(dec, &info)) broken("WebP animation does not open", name);
            w = (int)info.canvas_width;
            h = (int)info.canvas_height;
            while (WebPAnimDecoderHasMoreFrames(dec)) {
                uint8_t *px = NULL;
                int ts = 0;
                if (!WebPAnimDecoderGetNext(dec, &px, &ts)) broken("WebP animation frame does not decode", name);
            }
            WebPAnimDecoderDelete(dec);
        } else if (out_size >= 4 && memcmp(out, "RIFF", 4) == 0) {
            uint8_t *px = WebPDecodeRGBA((const uint8_t *)out, out_size, &w, &h);
            if (px == NULL) broken("WebP output does not decode", name);
            WebPFree(px);
        } else
#endif
        {
            unsigned char *px = stbi_load_from_memory((const stbi_uc *)out, (int)out_size, &w, &h, &n, 0);
            if (px == NULL) broken("output does not decode", stbi_failure_reason());
            stbi_image_free(px);
        }
        if (w != box.w || h != box.h) broken("output is not the plan's box", name);
        trimlet_free(out);
    }
    return 0;
}

#if !defined(TRIMLET_LIBFUZZER)
// Replays one file through the target.
static int replay_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        perror(path);
        return 0;
    }
    size_t cap = 1 << 16, n = 0;
    uint8_t *buf = (uint8_t *)malloc(cap);
    for (;;) {
        n += fread(buf + n, 1, cap - n, f);
        if (n < cap) break;
        cap *= 2;
        buf = (uint8_t *)realloc(buf, cap);
    }
    fclose(f);
    fprintf(stderr, "replay %s\n", path);
    LLVMFuzzerTestOneInput(buf, n);
    free(buf);
    return 1;
}

int main(int argc, char **argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
            DIR *d = opendir(argv[i]);
            struct dirent *e;
            while (d != NULL && (e = readdir(d)) != NULL) {
                if (e->d_name[0] == '.') continue;
                char path[4096];
                snprintf(path, sizeof path, "%s/%s", argv[i], e->d_name);
                if (!replay_file(path)) return 1;
                ++files;
            }
            if (d != NULL) closedir(d);
        } else {
            if (!replay_file(argv[i])) return 1;
            ++files;
        }
    }
    printf("fuzz_crop: %d inputs replayed, contract held\n", files);
    return files > 0 ? 0 : 1;
}
#endif
