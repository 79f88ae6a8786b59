// Fuzz target for the four crop functions.
//
// The input is an image file followed by a 6-byte trailer: the rule (0 rect,
// 1 aspect, 2 auto, 3 edges), the output format (0 PNG, 1 JPEG, 2 BMP, 3 TGA,
// 4 no extension) and four parameter bytes. The image is written to a
// scratch file, cropped, and the result checked against the library's
// contract: on failure an error text of at most 511 characters that starts
// as one of the library's messages does; on success an empty error text and
// an output that decodes to a size that fits the input. Any breach aborts.
//
// A JPEG or PNG input is also cropped from memory with the photo options on
// (the EXIF orientation applied, profile and Exif block kept), into PNG or
// JPEG by the format byte, and planned with the same options: the plan and
// the crop agree on success and on the message, and the output decodes to
// the box's size.
//
// Built with -fsanitize=fuzzer (TRIMLET_FUZZ) this is a libFuzzer target.
// Otherwise it is a replay program: each argument is a file or a directory
// of files, each run once, and CTest replays fuzz/corpus this way.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trimlet.h"

// The harness decodes the library's outputs with its own copy of stb_image,
// and asks it for the input's size only after the library accepted the input.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

static const int TRAILER = 6;
static const int64_t MAX_FUZZ_PIXELS = 1 << 22;
static const char *const EXTENSIONS[5] = {".png", ".jpg", ".bmp", ".tga", ""};
static const char *const RULES[4] = {"rect", "aspect", "auto", "edges"};

static void fail(const char *what, const char *detail) {
    fprintf(stderr, "fuzz_crop: contract broken: %s [%s]\n", what, detail);
    abort();
}

static int starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

static void write_input(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    if (f == NULL || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        perror(path);
        abort();
    }
}

// Checks the text a failed call left: bounded, terminated, one of ours.
static void check_failure(const char *rule, const char *in, const char *out) {
    const char *msg = trimlet_last_error();
    size_t n = strnlen(msg, 512);
    if (n == 0) fail("failure without a message", rule);
    if (n > 511) fail("message longer than 511 characters", rule);
    char decode[600], encode[600], own[32];
    snprintf(decode, sizeof decode, "cannot decode '%s': ", in);
    snprintf(encode, sizeof encode, "cannot encode '%s' (check the extension)", out);
    snprintf(own, sizeof own, "%s: ", rule);
    if (!(starts_with(msg, decode) || starts_with(msg, "image too large: ") ||
          starts_with(msg, own) || strcmp(msg, encode) == 0 ||
          starts_with(msg, "out of memory"))) {
        fail("unexpected message", msg);
    }
}

// Checks a successful call's output: it decodes, and its size fits the
// input (exactly the clipped rectangle for the rectangle rule).
static void check_output(int rule, const char *out, const uint8_t *img,
                         size_t size, const int *p) {
    if (trimlet_last_error()[0] != '\0') fail("success left a message", out);
    int w = 0, h = 0, n = 0;
    unsigned char *px = stbi_load(out, &w, &h, &n, 0);
    if (px == NULL) fail("output does not decode", stbi_failure_reason());
    stbi_image_free(px);
    int iw = 0, ih = 0, in = 0;
    if (!stbi_info_from_memory(img, (int)size, &iw, &ih, &in)) return;
    if (w < 1 || h < 1 || w > iw || h > ih) fail("output larger than input", out);
    if (rule == 0) {
        int64_t x0 = p[0] < 0 ? 0 : p[0], y0 = p[1] < 0 ? 0 : p[1];
        int64_t x1 = (int64_t)p[0] + p[2], y1 = (int64_t)p[1] + p[3];
        if (x1 > iw) x1 = iw;
        if (y1 > ih) y1 = ih;
        if (w != x1 - x0 || h != y1 - y0) fail("rectangle of the wrong size", out);
    }
}

// The size an input's header claims. JPEG headers are found by a plain
// search for a frame marker, because the harness's own stb_image must not
// parse the Huffman tables of a hostile JPEG (the library screens those).
static int claimed_size(const uint8_t *d, size_t n, int *w, int *h) {
    if (n > 0 && d[0] == 0xFF) {
        for (size_t i = 0; i + 8 < n; ++i) {
            if (d[i] == 0xFF && d[i + 1] >= 0xC0 && d[i + 1] <= 0xC2) {
                *h = d[i + 5] << 8 | d[i + 6];
                *w = d[i + 7] << 8 | d[i + 8];
                return 1;
            }
        }
        return 0;
    }
    int c = 0;
    return stbi_info_from_memory(d, (int)n, w, h, &c);
}

// The photo options on a JPEG or PNG input, checked as the header above says.
static void photo_pass(const uint8_t *data, size_t size, const uint8_t *t) {
    int is_jpeg = size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
    int is_png = size >= 8 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0;
    if (!is_jpeg && !is_png) return;
    static const int RULE_OF[4] = {TRIMLET_RECT, TRIMLET_ASPECT, TRIMLET_AUTO, TRIMLET_EDGES};
    int rule = RULE_OF[t[0] % 4];
    int p[4];
    for (int i = 0; i < 4; ++i) p[i] = (int8_t)t[2 + i];
    if (rule == TRIMLET_ASPECT) p[0] = (t[2] % 7) - 1;
    if (rule == TRIMLET_EDGES) {
        for (int i = 0; i < 4; ++i) p[i] %= 60;
    }
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = t[1] % 2 ? "jpg" : "png";
    o.orient = TRIMLET_APPLY_EXIF;
    o.metadata = TRIMLET_KEEP;
    char crop_err[TRIMLET_ERROR_SIZE], plan_err[TRIMLET_ERROR_SIZE];
    void *out = NULL;
    size_t out_size = 0;
    trimlet_box box;
    int ok = trimlet_crop_memory(data, size, rule, p, &o, &out, &out_size, crop_err);
    int planned = trimlet_plan_memory(data, size, rule, p, &o, &box, plan_err);
    // Only encoding, which a plan skips, may fail a crop whose plan succeeds
    // (memory running out).
    if (ok != planned && !(planned && starts_with(crop_err, "cannot encode"))) {
        fail("photo: plan and crop disagree", ok ? plan_err : crop_err);
    }
    if (!ok) {
        if (out != NULL || out_size != 0) fail("photo: failure returned output", crop_err);
        if (crop_err[0] == '\0' || strnlen(crop_err, 512) > 511) fail("photo: bad message", crop_err);
        // Plans decode as crops do, but encode nothing: messages agree
        // except for the encoder's own.
        if (strcmp(crop_err, plan_err) != 0 && !starts_with(crop_err, "cannot encode")) {
            fail("photo: plan and crop messages differ", crop_err);
        }
        return;
    }
    if (crop_err[0] != '\0') fail("photo: success left a message", crop_err);
    int w = 0, h = 0, n = 0;
    unsigned char *px = stbi_load_from_memory((const unsigned char *)out, (int)out_size, &w, &h, &n, 0);
    if (px == NULL) fail("photo: output does not decode", stbi_failure_reason());
    stbi_image_free(px);
    trimlet_free(out);
    if (w != box.w || h != box.h) fail("photo: output is not the box's size", o.format);
    if (box.x < 0 || box.y < 0 || box.w < 1 || box.h < 1 || box.w > box.image_w - box.x ||
        box.h > box.image_h - box.y) {
        fail("photo: box outside the image", o.format);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t t[TRAILER] = {0, 0, 0, 0, 1, 1};
    if (size >= (size_t)TRAILER) {
        size -= TRAILER;
        memcpy(t, data + size, TRAILER);
    }
    // Sizes up to 32768 a side are accepted, and a few bytes can claim them
    // (a GIF canvas, a JPEG padded with zeros): such inputs only cost the
    // time and memory the README states, so the fuzzer skips them rather
    // than spend its minutes on them. Above 32768 they are refused early
    // and stay in.
    int cw = 0, ch = 0;
    if (claimed_size(data, size, &cw, &ch) && cw <= 32768 && ch <= 32768 &&
        (int64_t)cw * ch > MAX_FUZZ_PIXELS) {
        return 0;
    }
    int rule = t[0] % 4;
    int p[4];
    for (int i = 0; i < 4; ++i) p[i] = (int8_t)t[2 + i];

    const char *dir = getenv("TMPDIR");
    char in[512], out[512];
    snprintf(in, sizeof in, "%s/trimlet-fuzz-%d.in", dir ? dir : "/tmp", (int)getpid());
    snprintf(out, sizeof out, "%s/trimlet-fuzz-%d.out%s", dir ? dir : "/tmp", (int)getpid(),
             EXTENSIONS[t[1] % 5]);
    write_input(in, data, size);
    remove(out);

    int ok;
    switch (rule) {
    case 0: ok = trimlet_rect(in, out, p[0], p[1], p[2], p[3]); break;
    case 1: ok = trimlet_aspect(in, out, (t[2] % 7) - 1); break;
    case 2: ok = trimlet_auto(in, out, p[0]); break;
    default: ok = trimlet_edges(in, out, p[0] % 60, p[1] % 60, p[2] % 60, p[3] % 60); break;
    }
    if (ok) {
        check_output(rule, out, data, size, p);
    } else {
        check_failure(RULES[rule], in, out);
    }
    remove(in);
    remove(out);
    photo_pass(data, size, t);
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
