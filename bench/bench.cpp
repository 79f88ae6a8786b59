// SPDX-License-Identifier: MIT
// trimlet benchmark: where the time of a crop call goes, against the floor of
// stb's decoder plus stb's encoder alone.
//
//   trimlet_bench [--runs N] [--scale S] [--quick] [--count] [--image NAME] [--dir D]
//                 [--inputs-only]
//
// It generates its inputs (a 12-megapixel photo-like JPEG, a 2-megapixel
// screenshot-like PNG and a 24-megapixel JPEG of a photo inside a wide
// uniform border), then for every image, rule and output format:
//   - checks the call's output (read back and compared with the expected
//     pixels, and byte for byte with the floor's file where both use the
//     same encoder) before timing anything;
//   - runs one warm-up, then N interleaved rounds of {call, floor, stages};
//   - prints medians, the median of the per-round ratios call/floor, the
//     output size, and the call's peak memory (getrusage of a child process
//     that runs only the call) against decoded image + crop.
// Then the PNG compressor on its own (stb's own against libdeflate levels),
// and the trim scan's throughput on its worst cases.
//
// --count runs every call and floor once with callgrind collection switched
// on around them only; scripts/bench.sh --count turns the dumps into a table
// of instruction counts, which a busy machine cannot disturb.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define HAVE_CALLGRIND 1
#endif
#endif

#include "stages.h"
#include "util.h"
#include "trimlet.h"

namespace {

// ---------------------------------------------------------------------------
// Clock, statistics, small utilities

[[noreturn]] void die(const std::string &what) {
    fprintf(stderr, "trimlet_bench: %s\n", what.c_str());
    exit(1);
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// A small fast generator; the images only need to look irregular.
struct Rng {
    uint64_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 16);
    }
};

unsigned char clamp255(int v) { return (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v); }

// ---------------------------------------------------------------------------
// Generated inputs

struct Pixels {
    int w = 0, h = 0;
    std::vector<unsigned char> rgba;
    unsigned char *at(int x, int y) { return &rgba[((size_t)y * w + x) * 4]; }
};

Pixels blank(int w, int h, unsigned char r, unsigned char g, unsigned char b) {
    Pixels p;
    p.w = w;
    p.h = h;
    p.rgba.resize((size_t)w * h * 4);
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        p.rgba[i] = r;
        p.rgba[i + 1] = g;
        p.rgba[i + 2] = b;
        p.rgba[i + 3] = 255;
    }
    return p;
}

// Photo-like: smooth colour fields, fine texture and sensor noise, drawn into
// the w x h block of p at (x0, y0).
void paint_photo(Pixels &p, int x0, int y0, int w, int h, uint64_t seed) {
    Rng rng{seed};
    std::vector<int> col(w * 3), row(h * 3);
    for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
            int phase = (x * (3 + c)) % 2000;
            col[x * 3 + c] = (phase < 1000 ? phase : 2000 - phase) / 9;  // 0..111
        }
    }
    for (int y = 0; y < h; ++y) {
        for (int c = 0; c < 3; ++c) {
            int phase = (y * (5 - c) + 300 * c) % 1600;
            row[y * 3 + c] = (phase < 800 ? phase : 1600 - phase) / 7;  // 0..114
        }
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char *q = p.at(x0 + x, y0 + y);
            int texture = ((x * 7 + y * 13) ^ (x * y >> 5)) & 15;
            uint32_t r = rng.next();
            for (int c = 0; c < 3; ++c) {
                int noise = (int)((r >> (c * 5)) & 15) - 8;
                q[c] = clamp255(20 + col[x * 3 + c] + row[y * 3 + c] + texture + noise);
            }
            q[3] = 255;
        }
    }
}

Pixels photo(int w, int h) {
    Pixels p = blank(w, h, 0, 0, 0);
    paint_photo(p, 0, 0, w, h, 0x9e3779b97f4a7c15ull);
    return p;
}

void fill(Pixels &p, int x, int y, int w, int h, unsigned char r, unsigned char g,
          unsigned char b) {
    for (int j = y; j < y + h && j < p.h; ++j) {
        for (int i = x; i < x + w && i < p.w; ++i) {
            unsigned char *q = p.at(i, j);
            q[0] = r;
            q[1] = g;
            q[2] = b;
        }
    }
}

// Screenshot-like: a flat desktop, a window with a title bar, a sidebar,
// lines of text-like glyphs and a few coloured icons. The corners are desktop,
// so the automatic rule trims to the window.
Pixels screenshot(int w, int h) {
    Pixels p = blank(w, h, 236, 238, 241);
    Rng rng{12345};
    int wx = w / 16, wy = h / 14, ww = w - 2 * wx, wh = h - 2 * wy;
    fill(p, wx, wy, ww, wh, 255, 255, 255);
    fill(p, wx, wy, ww, h / 30 + 1, 52, 101, 164);
    int side = ww / 5;
    fill(p, wx, wy + h / 30 + 1, side, wh - h / 30 - 1, 246, 246, 246);
    int line = h / 60 + 4;
    int glyph_h = line * 5 / 8, glyph_w = glyph_h * 3 / 5 + 1;
    for (int ty = wy + h / 15; ty + line < wy + wh; ty += line) {
        int tx = wx + side + 20;
        int end = wx + ww - 20 - (int)(rng.next() % (unsigned)(ww / 3));
        while (tx + glyph_w < end) {
            if (rng.next() % 6 == 0) {
                tx += glyph_w;  // a space
                continue;
            }
            uint32_t bits = rng.next();
            for (int gy = 0; gy < glyph_h; ++gy) {
                for (int gx = 0; gx < glyph_w - 1; ++gx) {
                    if ((bits >> ((gy * 3 + gx) % 29)) & 1) fill(p, tx + gx, ty + gy, 1, 1, 30, 30, 30);
                }
            }
            tx += glyph_w;
        }
    }
    for (int i = 0; i < 12; ++i) {
        int ix = wx + 12, iy = wy + h / 15 + i * (line * 2);
        if (iy + line > wy + wh) break;
        fill(p, ix, iy, line, line, (unsigned char)(rng.next() & 255),
             (unsigned char)(rng.next() & 255), (unsigned char)(rng.next() & 255));
    }
    return p;
}

// A photo inside a wide uniform white border.
Pixels bordered(int w, int h) {
    Pixels p = blank(w, h, 255, 255, 255);
    paint_photo(p, w * 2 / 15, h * 3 / 20, w * 11 / 15, h * 7 / 10, 0x1234567ull);
    return p;
}

// ---------------------------------------------------------------------------
// Cases

struct Input {
    const char *name;
    std::string path;  // the encoded input file
    int w, h;          // decoded size
    std::vector<unsigned char> decoded;  // what stb decodes from the file
    long decode_peak_kib;                // stbi_load alone, in a child
    long call_peak_kib[4][3];            // each rule and format, in a child
};

struct RuleCase {
    const char *name;
    BenchRule rule;
    int params[4];
};

struct FormatCase {
    const char *name;
    BenchFormat fmt;
    const char *ext;
};

const FormatCase FORMATS[] = {{"png", FMT_PNG, "png"}, {"jpeg", FMT_JPEG, "jpg"}, {"bmp", FMT_BMP, "bmp"}};

std::vector<RuleCase> rules_for(int w, int h) {
    return {{"rect", RULE_RECT, {w / 4, h / 4, w / 2, h / 2}},
            {"aspect", RULE_ASPECT, {2, 0, 0, 0}},  // 16:9
            {"auto", RULE_AUTO, {10, 0, 0, 0}},
            {"edges", RULE_EDGES, {10, 10, 10, 10}}};
}

int call_library(const RuleCase &r, const char *in, const char *out) {
    const int *p = r.params;
    switch (r.rule) {
    case RULE_RECT: return trimlet_rect(in, out, p[0], p[1], p[2], p[3]);
    case RULE_ASPECT: return trimlet_aspect(in, out, p[0]);
    case RULE_AUTO: return trimlet_auto(in, out, p[0]);
    case RULE_EDGES: return trimlet_edges(in, out, p[0], p[1], p[2], p[3]);
    }
    return 0;
}

struct Options {
    int runs = 3;
    int scale = 1;
    bool count = false;
    bool inputs_only = false;
    std::string dir;
    std::string only;
    std::string self;
};

// ---------------------------------------------------------------------------
// Output checks: nothing is timed until these pass.

// The crop as the floor encodes it: RGBA for PNG, flattened RGB otherwise.
std::vector<unsigned char> floor_pixels(const BenchImage &crop, BenchFormat fmt) {
    if (fmt == FMT_PNG) return std::vector<unsigned char>(crop.px, crop.px + (size_t)crop.w * crop.h * 4);
    unsigned char *rgb = stage_flatten(&crop);
    if (rgb == NULL) die("out of memory");
    std::vector<unsigned char> v(rgb, rgb + (size_t)crop.w * crop.h * 3);
    free(rgb);
    return v;
}

// Built with libjpeg-turbo, the library decodes JPEG input and encodes JPEG
// output with it, so its pixels match the floor's (stb's) only within the two
// decoders' rounding, and its JPEG files differ from stb's.
#ifdef TRIMLET_USE_LIBJPEG_TURBO
const bool OWN_JPEG = true;
#else
const bool OWN_JPEG = false;
#endif

void check_output(const std::string &what, const std::string &path, const BenchImage &crop,
                  const std::vector<unsigned char> &expected, BenchFormat fmt, bool jpeg_input) {
    int w = 0, h = 0;
    unsigned char *got = floor_decode(path.c_str(), &w, &h);
    if (got == NULL) die(what + ": output does not decode");
    if (w != crop.w || h != crop.h) die(what + ": output has the wrong size");
    size_t n = (size_t)w * h;
    double err = 0;
    int channels = fmt == FMT_PNG ? 4 : 3;
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) err += abs((int)got[i * 4 + c] - (int)expected[i * channels + c]);
    }
    free(got);
    err /= (double)n * channels;
    // PNG and BMP are lossless; JPEG at quality 90 stays within a few levels.
    double limit = (fmt == FMT_JPEG ? 6.0 : 0.0) + (OWN_JPEG && jpeg_input ? 0.5 : 0.0);
    if (err > limit) die(what + ": output pixels differ from the crop (mean error " + std::to_string(err) + ")");
}

// ---------------------------------------------------------------------------
// Peak memory: a child process runs one call and nothing else.

long child_peak_kib(const Options &o, const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        std::vector<char *> argv;
        argv.push_back((char *)o.self.c_str());
        argv.push_back((char *)"--child");
        for (const std::string &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(NULL);
        execv(o.self.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        die("memory child failed");
    }
    return ru.ru_maxrss;
}

// Child side: "none" (baseline), "decode IN", or "call RULE P0 P1 P2 P3 IN OUT".
int child_main(int argc, char **argv) {
    if (argc >= 1 && strcmp(argv[0], "none") == 0) return 0;
    if (argc >= 2 && strcmp(argv[0], "decode") == 0) {
        int w, h;
        unsigned char *px = floor_decode(argv[1], &w, &h);
        free(px);
        return px ? 0 : 1;
    }
    if (argc >= 8 && strcmp(argv[0], "call") == 0) {
        RuleCase r = {"", (BenchRule)atoi(argv[1]), {atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5])}};
        return call_library(r, argv[6], argv[7]) ? 0 : 1;
    }
    return 2;
}

// ---------------------------------------------------------------------------
// The main table

struct Row {
    std::string image, rule, fmt;
    double call, floor, ratio, decode, copy, scan, flatten, encode;
    long out_bytes;
    double peak_mib, least_mib;
};

// Under callgrind (--count), instructions are collected only between two
// toggles, and each dump holds what was collected since the previous one.
void toggle_counting() {
#ifdef HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
}

void dump_counts(const std::string &name) {
#ifdef HAVE_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(name.c_str());
#else
    (void)name;
#endif
}

Row run_case(const Options &o, const Input &in, const RuleCase &r, const FormatCase &f, long peak_kib) {
    Row row = {};
    row.image = in.name;
    row.rule = r.name;
    row.fmt = f.name;
    std::string what = std::string(in.name) + " " + r.name + " " + f.name;
    std::string out_call = o.dir + "/call." + f.ext;
    std::string out_floor = o.dir + "/floor." + f.ext;

    BenchImage src = {in.w, in.h, (unsigned char *)in.decoded.data()};
    int rect[4];
    if (!stage_region(r.rule, r.params, &src, rect)) die(what + ": " + stage_error());
    BenchImage crop;
    if (!stage_copy(&src, rect, &crop)) die(what + ": out of memory");
    std::vector<unsigned char> floor_px = floor_pixels(crop, f.fmt);

    // The floor: stb decodes the file and encodes the same crop, which is
    // ready beforehand; freeing the decoded block is part of it.
    auto run_floor = [&](double *dec, double *enc) {
        double t0 = now_ms();
        int w, h;
        unsigned char *px = floor_decode(in.path.c_str(), &w, &h);
        double t1 = now_ms();
        if (px == NULL || !floor_encode(out_floor.c_str(), f.fmt, crop.w, crop.h, floor_px.data())) {
            die(what + ": floor failed");
        }
        double t2 = now_ms();
        free(px);
        double t3 = now_ms();
        if (dec) *dec = t1 - t0;
        if (enc) *enc = t2 - t1;
        return t3 - t0;
    };
    auto run_call = [&]() {
        double t0 = now_ms();
        if (!call_library(r, in.path.c_str(), out_call.c_str())) die(what + ": " + trimlet_last_error());
        return now_ms() - t0;
    };

    if (o.count) {
        toggle_counting();
        run_call();
        toggle_counting();
        dump_counts("call " + what);
        toggle_counting();
        run_floor(NULL, NULL);
        toggle_counting();
        dump_counts("floor " + what);
        free(crop.px);
        return row;
    }

    // Warm-up, and the checks every later timing relies on.
    run_call();
    run_floor(NULL, NULL);
    bool jpeg_input = in.path.size() > 4 && in.path.compare(in.path.size() - 4, 4, ".jpg") == 0;
    check_output(what, out_call, crop, floor_px, f.fmt, jpeg_input);
    // PNG output comes from the library's own writer (one filter per image),
    // not stb_image_write's: same pixels, other bytes.
    bool same_coder = (!OWN_JPEG || (!jpeg_input && f.fmt != FMT_JPEG)) && f.fmt != FMT_PNG;
    if (same_coder && read_all(out_call) != read_all(out_floor)) die(what + ": call and floor wrote different files");
    row.out_bytes = file_size(out_call);

    std::vector<double> call, floor, ratio, dec, enc, copy, scan, flat;
    for (int i = 0; i < o.runs; ++i) {
        double c, fl, d, e;
        if (i % 2 == 0) {
            c = run_call();
            fl = run_floor(&d, &e);
        } else {
            fl = run_floor(&d, &e);
            c = run_call();
        }
        call.push_back(c);
        floor.push_back(fl);
        ratio.push_back(c / fl);
        dec.push_back(d);
        enc.push_back(e);

        double t0 = now_ms();
        BenchImage c2;
        if (!stage_copy(&src, rect, &c2)) die("out of memory");
        free(c2.px);
        copy.push_back(now_ms() - t0);
        if (r.rule == RULE_AUTO) {
            int rr[4];
            t0 = now_ms();
            stage_region(r.rule, r.params, &src, rr);
            scan.push_back(now_ms() - t0);
        }
        if (f.fmt != FMT_PNG) {
            t0 = now_ms();
            free(stage_flatten(&crop));
            flat.push_back(now_ms() - t0);
        }
    }
    row.call = median(call);
    row.floor = median(floor);
    row.ratio = median(ratio);
    row.decode = median(dec);
    row.encode = median(enc);
    row.copy = median(copy);
    row.scan = median(scan);
    row.flatten = median(flat);

    row.peak_mib = peak_kib / 1024.0;
    row.least_mib = mib((double)in.w * in.h * 4 + (double)crop.w * crop.h * 4);
    free(crop.px);
    return row;
}

void print_rows(const std::vector<Row> &rows) {
    printf("| image | rule | format | call ms | floor ms | call/floor | decode | copy | scan | flatten | encode | output KiB | peak MiB | decoded+crop MiB |\n");
    printf("|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const Row &r : rows) {
        auto ms = [](double v) {
            static char b[8][32];
            static int i = 0;
            i = (i + 1) % 8;
            if (v <= 0) snprintf(b[i], sizeof b[i], "-");
            else snprintf(b[i], sizeof b[i], "%.1f", v);
            return b[i];
        };
        printf("| %s | %s | %s | %.1f | %.1f | %.3f | %s | %s | %s | %s | %s | %.0f | %.1f | %.1f |\n",
               r.image.c_str(), r.rule.c_str(), r.fmt.c_str(), r.call, r.floor, r.ratio, ms(r.decode),
               ms(r.copy), ms(r.scan), ms(r.flatten), ms(r.encode), r.out_bytes / 1024.0, r.peak_mib,
               r.least_mib);
    }
}

// ---------------------------------------------------------------------------
// Decode through the library against stb alone

void decode_table(const Options &o, const std::vector<Input> &inputs) {
    printf("\n### Decode: the library's load_image against stbi_load alone\n\n");
    printf("| image | file KiB | load_image ms | stbi_load ms | ratio | decode peak MiB | decoded MiB |\n");
    printf("|---|--:|--:|--:|--:|--:|--:|\n");
    for (const Input &in : inputs) {
        std::vector<double> lib, raw, ratio;
        for (int i = -1; i < o.runs; ++i) {  // round -1 is the warm-up
            double t0 = now_ms();
            BenchImage img;
            if (!stage_decode(in.path.c_str(), &img)) die(stage_error());
            double t1 = now_ms();
            bool jpeg = in.path.size() > 4 && in.path.compare(in.path.size() - 4, 4, ".jpg") == 0;
            bool same = img.w == in.w && img.h == in.h;
            if (same && OWN_JPEG && jpeg) {
                // libjpeg-turbo against stb: the decoders' rounding only.
                double err = 0;
                for (size_t k = 0; k < in.decoded.size(); ++k) err += abs((int)img.px[k] - (int)in.decoded[k]);
                same = err / (double)in.decoded.size() <= 0.5;
            } else if (same) {
                same = memcmp(img.px, in.decoded.data(), in.decoded.size()) == 0;
            }
            if (!same) {
                die(std::string(in.name) + ": load_image decodes different pixels");
            }
            free(img.px);
            int w, h;
            double t2 = now_ms();
            unsigned char *px = floor_decode(in.path.c_str(), &w, &h);
            double t3 = now_ms();
            free(px);
            if (i < 0) continue;
            lib.push_back(t1 - t0);
            raw.push_back(t3 - t2);
            ratio.push_back((t1 - t0) / (t3 - t2));
        }
        printf("| %s | %ld | %.1f | %.1f | %.3f | %.1f | %.1f |\n", in.name, file_size(in.path) / 1024,
               median(lib), median(raw), median(ratio), in.decode_peak_kib / 1024.0,
               mib((double)in.w * in.h * 4));
    }
}

// ---------------------------------------------------------------------------
// PNG compressors on the same crop

void compressor_table(const Options &o, const std::vector<Input> &inputs) {
    printf("\n### PNG encode of the rect crop: stb's own compressor against libdeflate\n\n");
    printf("| image | crop | compressor | encode ms | size KiB | speed vs stb | size vs stb |\n");
    printf("|---|---|---|--:|--:|--:|--:|\n");
    static const int LEVELS[] = {1, 3, 6, 9, 12};
    for (const Input &in : inputs) {
        BenchImage src = {in.w, in.h, (unsigned char *)in.decoded.data()};
        int rect[4] = {in.w / 4, in.h / 4, in.w / 2, in.h / 2};
        BenchImage crop;
        if (!stage_copy(&src, rect, &crop)) die("out of memory");
        struct Variant {
            std::string name;
            int level;  // 0: stb's own, -1: the library's build
        };
        std::vector<Variant> variants = {{"stb own (level 8)", 0}, {"library build", -1}};
        for (int l : LEVELS) variants.push_back({"libdeflate " + std::to_string(l), l});
        double stb_ms = 0, stb_size = 0;
        for (const Variant &v : variants) {
            auto encode = [&](int *len) {
                if (v.level == 0) return png_stb_own(crop.px, crop.w, crop.h, len);
                if (v.level < 0) return png_library(crop.px, crop.w, crop.h, len);
                return png_libdeflate(crop.px, crop.w, crop.h, v.level, len);
            };
            int len = 0;
            unsigned char *png = encode(&len);
            if (png == NULL) continue;  // built without libdeflate
            int w, h;
            unsigned char *back = floor_decode_memory(png, (size_t)len, &w, &h);
            bool same = back && w == crop.w && h == crop.h &&
                        memcmp(back, crop.px, (size_t)w * h * 4) == 0;
            free(back);
            free(png);
            if (!same) die(std::string(in.name) + ": " + v.name + " PNG does not decode to the crop");
            std::vector<double> t;
            for (int i = 0; i < o.runs; ++i) {
                double t0 = now_ms();
                free(encode(&len));
                t.push_back(now_ms() - t0);
            }
            double ms = median(t);
            if (v.level == 0) {
                stb_ms = ms;
                stb_size = len;
            }
            printf("| %s | %dx%d | %s | %.1f | %.0f | %.2fx | %.3f |\n", in.name, crop.w, crop.h,
                   v.name.c_str(), ms, len / 1024.0, stb_ms / ms, len / stb_size);
        }
        free(crop.px);
    }
}

// ---------------------------------------------------------------------------
// Trim scan throughput

void scan_table(const Options &o) {
    printf("\n### Trim scan alone (auto_region), GB/s of RGBA on one core\n\n");
    printf("| case | size | tolerance | box | ms | GB/s |\n");
    printf("|---|---|--:|---|--:|--:|\n");
    int w = 4000 / o.scale, h = 3000 / o.scale;
    struct ScanCase {
        const char *name;
        Pixels p;
        int tolerance;
    };
    std::vector<ScanCase> cases;
    cases.push_back({"uniform colour", blank(w, h, 90, 120, 200), 10});
    {
        // Every channel within +-12 of the corner's colour: no pixel is equal
        // to its reference, none is content, every channel must be tested.
        Pixels p = blank(w, h, 128, 128, 128);
        Rng rng{77};
        for (size_t i = 0; i < p.rgba.size(); i += 4) {
            uint32_t r = rng.next();
            for (int c = 0; c < 3; ++c) p.rgba[i + c] = (unsigned char)(128 + (int)((r >> (c * 8)) % 25) - 12);
        }
        for (int c = 0; c < 3; ++c) {
            p.at(0, 0)[c] = p.at(w - 1, 0)[c] = p.at(0, h - 1)[c] = p.at(w - 1, h - 1)[c] = 128;
        }
        cases.push_back({"noise within tolerance", p, 10});
        Pixels q = p;
        paint_photo(q, w / 4, h / 4, w / 2, h / 2, 99);
        cases.push_back({"noisy border, photo inside", q, 10});
    }
    {
        Pixels p = blank(w, h, 255, 255, 255);
        paint_photo(p, 1, 1, w - 2, h - 2, 5);
        cases.push_back({"thin 1-pixel border", p, 10});
    }
    cases.push_back({"photo, no border", photo(w, h), 10});
    for (ScanCase &c : cases) {
        BenchImage img = {c.p.w, c.p.h, c.p.rgba.data()};
        int params[4] = {c.tolerance, 0, 0, 0}, rect[4] = {0, 0, 0, 0};
        std::vector<double> t;
        int ok = 0;
        for (int i = -1; i < std::max(o.runs, 5); ++i) {
            double t0 = now_ms();
            ok = stage_region(RULE_AUTO, params, &img, rect);
            if (i >= 0) t.push_back(now_ms() - t0);
        }
        double ms = median(t);
        char box[64];
        if (ok) snprintf(box, sizeof box, "%dx%d at %d,%d", rect[2], rect[3], rect[0], rect[1]);
        else snprintf(box, sizeof box, "uniform");
        printf("| %s | %dx%d | %d | %s | %.2f | %.2f |\n", c.name, w, h, c.tolerance, box, ms,
               (double)w * h * 4 / (ms * 1e6));
    }
}

// ---------------------------------------------------------------------------

void write_input(const std::string &path, Pixels p, BenchFormat fmt) {
    BenchImage img = {p.w, p.h, p.rgba.data()};
    std::vector<unsigned char> px = floor_pixels(img, fmt);
    if (!floor_encode(path.c_str(), fmt, p.w, p.h, px.data())) die("cannot write " + path);
}

void load_input(Input &in) {
    int w, h;
    unsigned char *d = floor_decode(in.path.c_str(), &w, &h);
    if (d == NULL || w != in.w || h != in.h) die("cannot read back " + in.path);
    in.decoded.assign(d, d + (size_t)w * h * 4);
    free(d);
}

// Peaks are measured while this process is still small: a child's maximum
// resident size starts from what it shared with its parent before exec.
void measure_memory(const Options &o, std::vector<Input> &inputs) {
    long base = child_peak_kib(o, {"none"});
    for (Input &in : inputs) {
        fprintf(stderr, "peak memory: %s\n", in.name);
        in.decode_peak_kib = child_peak_kib(o, {"decode", in.path}) - base;
        std::vector<RuleCase> rules = rules_for(in.w, in.h);
        for (size_t r = 0; r < rules.size(); ++r) {
            for (size_t f = 0; f < 3; ++f) {
                const int *p = rules[r].params;
                std::string out = o.dir + "/peak." + FORMATS[f].ext;
                in.call_peak_kib[r][f] =
                    child_peak_kib(o, {"call", std::to_string((int)rules[r].rule), std::to_string(p[0]),
                                       std::to_string(p[1]), std::to_string(p[2]), std::to_string(p[3]),
                                       in.path, out}) - base;
                remove(out.c_str());
            }
        }
    }
}

void usage() {
    fprintf(stderr,
            "usage: trimlet_bench [--runs N] [--scale S] [--quick] [--count] [--image NAME] [--dir D]\n"
            "                     [--inputs-only]\n"
            "  --runs N   timed rounds per case after one warm-up (default 3)\n"
            "  --scale S  divide every image side by S (default 1)\n"
            "  --quick    --scale 8 --runs 1: a smoke run that checks every output\n"
            "  --count    one call and one floor per case under callgrind (see scripts/bench.sh)\n"
            "  --image NAME  only photo, screenshot or bordered\n"
            "  --dir D    where to write the inputs and outputs (default: a new directory in /tmp)\n"
            "  --inputs-only  write the inputs to --dir and stop (scripts/bench_jpeg.sh)\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--child") == 0) return child_main(argc - 2, argv + 2);
    Options o;
    o.self = argv[0];
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) o.runs = std::max(1, atoi(argv[++i]));
        else if (a == "--scale" && i + 1 < argc) o.scale = std::max(1, atoi(argv[++i]));
        else if (a == "--quick") o.scale = 8, o.runs = 1;
        else if (a == "--count") o.count = true;
        else if (a == "--dir" && i + 1 < argc) o.dir = argv[++i];
        else if (a == "--image" && i + 1 < argc) o.only = argv[++i];
        else if (a == "--inputs-only") o.inputs_only = true;
        else usage();
    }
    bool own_dir = o.dir.empty();
    if (own_dir) {
        char tmpl[] = "/tmp/trimlet-bench-XXXXXX";
        if (mkdtemp(tmpl) == NULL) die("cannot create a scratch directory");
        o.dir = tmpl;
    }
#ifndef HAVE_CALLGRIND
    if (o.count) die("--count needs valgrind/callgrind.h at build time");
#endif

    int s = o.scale;
    std::vector<Input> inputs = {
        {"photo", o.dir + "/photo.jpg", 4000 / s, 3000 / s, {}, 0, {}},
        {"screenshot", o.dir + "/screenshot.png", 1920 / s, 1080 / s, {}, 0, {}},
        {"bordered", o.dir + "/bordered.jpg", 6000 / s, 4000 / s, {}, 0, {}},
    };
    if (!o.only.empty()) {
        inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                                    [&](const Input &in) { return o.only != in.name; }),
                     inputs.end());
        if (inputs.empty()) usage();
    }
    // The inputs are generated in a child, so that this process stays small
    // until the memory children have run.
    fprintf(stderr, "generating inputs in %s ...\n", o.dir.c_str());
    pid_t gen = fork();
    if (gen < 0) die("fork failed");
    if (gen == 0) {
        for (const Input &in : inputs) {
            std::string name = in.name;
            if (name == "photo") write_input(in.path, photo(in.w, in.h), FMT_JPEG);
            if (name == "screenshot") write_input(in.path, screenshot(in.w, in.h), FMT_PNG);
            if (name == "bordered") write_input(in.path, bordered(in.w, in.h), FMT_JPEG);
        }
        _exit(0);
    }
    int status = 0;
    if (waitpid(gen, &status, 0) != gen || !WIFEXITED(status) || WEXITSTATUS(status) != 0) die("generating inputs failed");
    if (o.inputs_only) return 0;

    if (!o.count) measure_memory(o, inputs);
    for (Input &in : inputs) load_input(in);

    std::vector<Row> rows;
    for (const Input &in : inputs) {
        std::vector<RuleCase> rules = rules_for(in.w, in.h);
        for (size_t r = 0; r < rules.size(); ++r) {
            for (size_t f = 0; f < 3; ++f) {
                fprintf(stderr, "%s %s %s\n", in.name, rules[r].name, FORMATS[f].name);
                rows.push_back(run_case(o, in, rules[r], FORMATS[f], in.call_peak_kib[r][f]));
            }
        }
    }
    if (o.count) {
        // Decoding alone: the library's load_image against stbi_load.
        for (const Input &in : inputs) {
            BenchImage img;
            int w, h;
            toggle_counting();
            int ok = stage_decode(in.path.c_str(), &img);
            toggle_counting();
            dump_counts(std::string("call ") + in.name + " decode -");
            if (!ok) die(stage_error());
            free(img.px);
            toggle_counting();
            unsigned char *px = floor_decode(in.path.c_str(), &w, &h);
            toggle_counting();
            dump_counts(std::string("floor ") + in.name + " decode -");
            free(px);
        }
    } else {
        printf("### Whole call against the floor (stb decode + stb encode of the same crop)\n\n");
        printf("Medians of %d interleaved rounds after a warm-up; images scaled 1/%d per side.\n\n", o.runs, s);
        print_rows(rows);
        decode_table(o, inputs);
        compressor_table(o, inputs);
        scan_table(o);
    }
    if (own_dir) {
        for (const Input &in : inputs) remove(in.path.c_str());
        for (const FormatCase &f : FORMATS) {
            remove((o.dir + "/call." + f.ext).c_str());
            remove((o.dir + "/floor." + f.ext).c_str());
        }
        rmdir(o.dir.c_str());
    }
    return 0;
}
