// SPDX-License-Identifier: MIT
// The reentrant interface: memory in and out, plans, options, per-call
// errors, and outputs that are replaced safely. Every result is compared with
// what the seven original functions do for the same request.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support.h"
#include "trimlet.h"

namespace fs = std::filesystem;
using tt::Pixels;

namespace {

// One request: a rule with its ints, as the reentrant interface takes it, and
// the matching call of the seven.
struct Request {
    const char *name;
    int rule;
    std::vector<int> params;
};

int call_seven(const Request &q, const char *in, const char *out) {
    const std::vector<int> &p = q.params;
    switch (q.rule) {
    case TRIMLET_RECT: return trimlet_rect(in, out, p[0], p[1], p[2], p[3]);
    case TRIMLET_ASPECT: return trimlet_aspect(in, out, p[0]);
    case TRIMLET_AUTO: return trimlet_auto(in, out, p[0]);
    default: return trimlet_edges(in, out, p[0], p[1], p[2], p[3]);
    }
}

const Request SEVEN_RULES[] = {
    {"rect", TRIMLET_RECT, {3, -2, 20, 9}},
    {"aspect", TRIMLET_ASPECT, {2}},
    {"auto", TRIMLET_AUTO, {10}},
    {"edges", TRIMLET_EDGES, {10, 5, 20, 25}},
};

// A picture with a plain border and off-centre content for auto, in few
// colours (so that every input format can hold it) and varied alpha.
Pixels framed(int w, int h) {
    Pixels p = tt::solid(w, h, 250, 250, 250);
    for (int y = h / 4; y < h - h / 5; ++y) {
        for (int x = w / 3; x < w - w / 6; ++x) {
            int k = (x / 3 + y / 2) % 8;
            uint8_t *px = p.at(x, y);
            px[0] = uint8_t(k * 30);
            px[1] = uint8_t(200 - k * 20);
            px[2] = uint8_t(k & 1 ? 40 : 160);
            px[3] = uint8_t(255 - (x + y) % 4 * 60);
        }
    }
    return p;
}

struct Output {
    int ok = 0;
    std::vector<uint8_t> bytes;
    std::string error;
};

Output crop_memory(const std::vector<uint8_t> &in, int rule, const std::vector<int> &params,
                   const trimlet_options *options = nullptr) {
    Output o;
    void *block = nullptr;
    size_t size = 0;
    char error[TRIMLET_ERROR_SIZE];
    std::memset(error, 'x', sizeof error);
    o.ok = trimlet_crop_memory(in.data(), in.size(), rule, params.data(), options, &block, &size,
                               error);
    o.error = error;
    if (o.ok) {
        EXPECT_NE(block, nullptr);
        o.bytes.assign(static_cast<uint8_t *>(block), static_cast<uint8_t *>(block) + size);
    } else {
        EXPECT_EQ(block, nullptr);
        EXPECT_EQ(size, 0u);
    }
    trimlet_free(block);
    EXPECT_EQ(o.ok == 1, o.error.empty()) << o.error;
    return o;
}

std::string plan_file(const std::string &in, int rule, const std::vector<int> &params,
                      trimlet_box *box, const trimlet_options *options = nullptr) {
    char error[TRIMLET_ERROR_SIZE];
    int ok = trimlet_plan_file(in.c_str(), rule, params.data(), options, box, error);
    EXPECT_EQ(ok == 1, error[0] == '\0') << error;
    return error;
}

std::string crop_file(const std::string &in, const std::string &out, int rule,
                      const std::vector<int> &params, const trimlet_options *options = nullptr) {
    char error[TRIMLET_ERROR_SIZE];
    int ok = trimlet_crop_file(in.c_str(), out.c_str(), rule, params.data(), options, error);
    EXPECT_EQ(ok == 1, error[0] == '\0') << error;
    return error;
}

trimlet_options with_format(const char *format) {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    return o;
}

#ifndef _WIN32
// Pixels that no encoder compresses much.
Pixels noise(int w, int h) {
    Pixels p = tt::solid(w, h, 0, 0, 0);
    uint32_t seed = 12345;
    for (uint8_t &b : p.rgba) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 24);
    }
    return p;
}

// The files in dir, by name.
std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
#endif

}  // namespace

TEST(ReentrantCrop, MemoryOutputEqualsTheSevensFileForEveryRuleAndFormat) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, framed(61, 47));
    std::vector<uint8_t> bytes = tt::read_file(in);
    for (const Request &q : SEVEN_RULES) {
        for (const char *format : {"png", "jpg", "bmp", "tga"}) {
            SCOPED_TRACE(std::string(q.name) + " to " + format);
            std::string out = tt::scratch(std::string("seven.") + format);
            ASSERT_EQ(tt::outcome(call_seven(q, in.c_str(), out.c_str())), "");
            trimlet_options o = with_format(format);
            Output mem = crop_memory(bytes, q.rule, q.params, &o);
            ASSERT_EQ(mem.error, "");
            EXPECT_EQ(mem.bytes, tt::read_file(out));
            std::string file = tt::scratch(std::string("five.") + format);
            ASSERT_EQ(crop_file(in, file, q.rule, q.params), "");
            EXPECT_EQ(tt::read_file(file), tt::read_file(out));
        }
    }
}

TEST(ReentrantCrop, MemoryOutputIsPngWithoutAFormat) {
    std::vector<uint8_t> png;
    std::string in = tt::scratch("in.bmp");
    tt::write_bmp24(in, tt::gradient(9, 7));
    Output mem = crop_memory(tt::read_file(in), TRIMLET_RECT, {1, 2, 3, 4});
    ASSERT_EQ(mem.error, "");
    std::string out = tt::scratch("out.png");
    tt::write_file(out, mem.bytes);
    EXPECT_EQ(tt::sniff(out), "png");
    Pixels opaque = tt::gradient(9, 7);
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 9; ++x) opaque.at(x, y)[3] = 255;
    }
    EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(opaque, 1, 2, 3, 4)), 0);
}

// The ratio rule against a reference written from its definition: the
// largest centred region of n:d, the cut side rounded half up.
TEST(ReentrantCrop, RatioRuleCutsAnyRatioLikeTheFixedOnes) {
    std::string in = tt::scratch("in.png");
    struct Case {
        int w, h, n, d;
    } cases[] = {{1001, 500, 16, 9}, {640, 480, 3, 4}, {1000, 500, 21, 9}, {100, 100, 1, 1000},
                 {100, 100, 1000, 1}, {37, 91, 4, 5}, {1, 1, 2147483647, 1}, {300, 200, 3, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " + std::to_string(c.n) +
                     ":" + std::to_string(c.d));
        tt::write_png(in, tt::gradient(c.w, c.h));
        int64_t cw, ch;
        if (int64_t(c.w) * c.d > int64_t(c.h) * c.n) {
            cw = (int64_t(c.h) * c.n + c.d / 2) / c.d;
            ch = c.h;
        } else {
            cw = c.w;
            ch = (int64_t(c.w) * c.d + c.n / 2) / c.n;
        }
        cw = std::min<int64_t>(std::max<int64_t>(cw, 1), c.w);
        ch = std::min<int64_t>(std::max<int64_t>(ch, 1), c.h);
        trimlet_box box;
        ASSERT_EQ(plan_file(in, TRIMLET_RATIO, {c.n, c.d}, &box), "");
        EXPECT_EQ(box.w, cw);
        EXPECT_EQ(box.h, ch);
        EXPECT_EQ(box.x, (c.w - cw) / 2);
        EXPECT_EQ(box.y, (c.h - ch) / 2);
    }
    // 16:9 is exactly the fixed ratio at index 2.
    tt::write_png(in, framed(333, 222));
    std::string a = tt::scratch("aspect.png"), r = tt::scratch("ratio.png");
    ASSERT_EQ(tt::outcome(trimlet_aspect(in.c_str(), a.c_str(), 2)), "");
    ASSERT_EQ(crop_file(in, r, TRIMLET_RATIO, {16, 9}), "");
    EXPECT_EQ(tt::read_file(a), tt::read_file(r));
}

TEST(ReentrantPlan, PlanEqualsTheCropOnEveryKindOfInput) {
    Pixels p = framed(40, 30);
    std::vector<std::pair<std::string, void (*)(const std::string &, const Pixels &)>> writers = {
        {"in.png", tt::write_png}, {"in.bmp", tt::write_bmp24}, {"in.ppm", tt::write_ppm},
        {"in.pgm", tt::write_pgm}, {"in.tga", tt::write_tga},   {"in.gif", tt::write_gif},
        {"in.psd", tt::write_psd}, {"in.pic", tt::write_pic},   {"in.hdr", tt::write_hdr}};
    for (const auto &w : writers) {
        std::string in = tt::scratch(w.first);
        w.second(in, p);
        for (Request q : SEVEN_RULES) {
            SCOPED_TRACE(w.first + " " + q.name);
            trimlet_box box;
            std::string planned = plan_file(in, q.rule, q.params, &box);
            std::string out = tt::scratch("out.png");
            fs::remove(out);
            std::string cropped = crop_file(in, out, q.rule, q.params);
            EXPECT_EQ(planned, cropped);
            if (!cropped.empty()) {
                EXPECT_EQ(box.w, 0);
                continue;
            }
            Pixels got = tt::read_png(out);
            EXPECT_EQ(box.w, got.w);
            EXPECT_EQ(box.h, got.h);
            EXPECT_EQ(box.image_w, 40);
            EXPECT_EQ(box.image_h, 30);
            Output mem = crop_memory(tt::read_file(in), q.rule, q.params);
            trimlet_box mbox;
            char error[TRIMLET_ERROR_SIZE];
            std::vector<uint8_t> bytes = tt::read_file(in);
            ASSERT_EQ(trimlet_plan_memory(bytes.data(), bytes.size(), q.rule, q.params.data(),
                                          nullptr, &mbox, error),
                      1);
            EXPECT_EQ(std::memcmp(&mbox, &box, sizeof box), 0);
            EXPECT_EQ(mem.bytes, tt::read_file(out));
        }
    }
}

TEST(ReentrantPlan, PlanAndCropFailAlikeWithTheSevensMessages) {
    std::string in = tt::scratch("in.png"), out = tt::scratch("out.png");
    tt::write_png(in, tt::solid(20, 10, 1, 2, 3));
    std::string missing = tt::scratch("missing.png");
    const std::string missing_message = "cannot decode '" + missing + "': No such file or directory";
    // The parameters as an initializer_list rather than a Request's vector:
    // an array of aggregates holding vectors makes GCC 12 at -O3 report false
    // maybe-uninitialized warnings in its clean-up path.
    struct Case {
        struct {
            const char *name;
            int rule;
            std::initializer_list<int> params;
        } q;
        std::string input;
        std::string message;
    } cases[] = {
        {{"rect", TRIMLET_RECT, {0, 0, 0, 5}}, in, "rect: width/height must be > 0 (got 0x5)"},
        {{"rect", TRIMLET_RECT, {20, 0, 5, 5}}, in, "rect: 20,0 5x5 does not overlap the 20x10 image"},
        {{"aspect", TRIMLET_ASPECT, {5}}, in, "aspect: ratio 5 out of range 0..4"},
        {{"auto", TRIMLET_AUTO, {-20}}, in, "auto: image is uniform (nothing to crop to, tolerance 0)"},
        {{"edges", TRIMLET_EDGES, {-1, 60, 0, 0}}, in, "edges: negative percentage (t=-1 r=60 b=0 l=0)"},
        {{"ratio", TRIMLET_RATIO, {0, 9}}, in, "ratio: parts must be > 0 (got 0:9)"},
        {{"ratio", TRIMLET_RATIO, {4, -3}}, in, "ratio: parts must be > 0 (got 4:-3)"},
        // The file is judged before the parameters.
        {{"aspect", TRIMLET_ASPECT, {9}}, missing, missing_message},
        {{"unknown", 5, {0, 0, 0, 0}}, in, "crop: unknown rule 5"},
        {{"unknown", -1, {0, 0, 0, 0}}, in, "crop: unknown rule -1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        trimlet_box box;
        std::memset(&box, 0x55, sizeof box);
        EXPECT_EQ(plan_file(c.input, c.q.rule, c.q.params, &box), c.message);
        trimlet_box zero = {0, 0, 0, 0, 0, 0};
        EXPECT_EQ(std::memcmp(&box, &zero, sizeof box), 0);
        EXPECT_EQ(crop_file(c.input, out, c.q.rule, c.q.params), c.message);
        EXPECT_FALSE(tt::file_exists(out));
        if (c.input == in) {
            std::string memory_message = c.message;
            EXPECT_EQ(crop_memory(tt::read_file(in), c.q.rule, c.q.params).error, memory_message);
        }
    }
    // Memory input is named "<memory>" where a path would stand.
    std::vector<uint8_t> junk = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    EXPECT_EQ(crop_memory(junk, TRIMLET_RECT, {0, 0, 1, 1}).error,
              "cannot decode '<memory>': unknown image type");
}

TEST(ReentrantCalls, NullArgumentsAreRefusedWithoutTouchingTheSevensBuffer) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(4, 4));
    trimlet_rect(nullptr, nullptr, 0, 0, 1, 1);
    const std::string before = trimlet_last_error();
    int p[4] = {0, 0, 1, 1};
    char e[TRIMLET_ERROR_SIZE];
    void *block = &e;
    size_t size = 7;
    trimlet_box box;
    EXPECT_EQ(trimlet_crop_file(nullptr, "x.png", TRIMLET_RECT, p, nullptr, e), 0);
    EXPECT_STREQ(e, "rect: NULL input/output");
    EXPECT_EQ(trimlet_crop_file(in.c_str(), nullptr, TRIMLET_AUTO, p, nullptr, e), 0);
    EXPECT_STREQ(e, "auto: NULL input/output");
    EXPECT_EQ(trimlet_crop_file(in.c_str(), "x.png", TRIMLET_EDGES, nullptr, nullptr, e), 0);
    EXPECT_STREQ(e, "edges: NULL params");
    EXPECT_EQ(trimlet_crop_memory(nullptr, 0, TRIMLET_RECT, p, nullptr, &block, &size, e), 0);
    EXPECT_STREQ(e, "rect: NULL input/output");
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(trimlet_crop_memory(p, sizeof p, TRIMLET_RECT, p, nullptr, nullptr, &size, e), 0);
    EXPECT_STREQ(e, "rect: NULL input/output");
    EXPECT_EQ(trimlet_plan_file(in.c_str(), TRIMLET_RATIO, p, nullptr, nullptr, e), 0);
    EXPECT_STREQ(e, "ratio: NULL input/box");
    EXPECT_EQ(trimlet_plan_memory(nullptr, 3, TRIMLET_ASPECT, p, nullptr, &box, e), 0);
    EXPECT_STREQ(e, "aspect: NULL input/box");
    // A NULL error buffer is allowed; success leaves "" in a given one.
    EXPECT_EQ(trimlet_plan_file(in.c_str(), TRIMLET_RECT, p, nullptr, &box, nullptr), 1);
    EXPECT_EQ(trimlet_plan_file("", TRIMLET_RECT, p, nullptr, &box, nullptr), 0);
    EXPECT_EQ(trimlet_plan_file(in.c_str(), TRIMLET_RECT, p, nullptr, &box, e), 1);
    EXPECT_STREQ(e, "");
    trimlet_free(nullptr);
    EXPECT_EQ(trimlet_last_error(), before);
}

TEST(ReentrantOptions, BadOptionsNameTheFieldAndValue) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(8, 8));
    trimlet_options o = with_format(nullptr);
    struct Case {
        void (*set)(trimlet_options &);
        const char *message;
    } cases[] = {
        {[](trimlet_options &o) { o.format = "pcx"; },
         "options: unknown format 'pcx' (png, jpg, jpeg, bmp or tga)"},
        {[](trimlet_options &o) { o.format = ""; }, "options: unknown format '' (png, jpg, jpeg, bmp or tga)"},
        {[](trimlet_options &o) { o.quality = 101; }, "options: quality 101 out of range 1..100"},
        {[](trimlet_options &o) { o.quality = -5; }, "options: quality -5 out of range 1..100"},
        {[](trimlet_options &o) { o.orient = 2; },
         "options: orient 2 is not TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF"},
        {[](trimlet_options &o) { o.metadata = -1; },
         "options: metadata -1 is not TRIMLET_STRIP or TRIMLET_KEEP"},
        {[](trimlet_options &o) { o.size = sizeof o + 8; },
         nullptr},  // message checked below: it names both sizes
    };
    for (const Case &c : cases) {
        trimlet_options bad = o;
        c.set(bad);
        std::string expected =
            c.message != nullptr
                ? c.message
                : "options: size " + std::to_string(sizeof o + 8) + " is larger than this library's " +
                      std::to_string(sizeof o) + " (built against a newer header)";
        SCOPED_TRACE(expected);
        std::string out = tt::scratch("out.png");
        EXPECT_EQ(crop_file(in, out, TRIMLET_RECT, {0, 0, 2, 2}, &bad), expected);
        EXPECT_FALSE(tt::file_exists(out));
        trimlet_box box;
        EXPECT_EQ(plan_file(in, TRIMLET_RECT, {0, 0, 2, 2}, &box, &bad), expected);
    }
}

TEST(ReentrantOptions, FormatNamesAnyCaseAndOverridesTheExtension) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(8, 8));
    struct Case {
        const char *format;
        const char *sniffed;
    } cases[] = {{"PNG", "png"}, {"jpg", "jpeg"}, {"JPEG", "jpeg"}, {"Jpg", "jpeg"},
                 {"bmp", "bmp"}, {"TGA", "tga"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        trimlet_options o = with_format(c.format);
        std::string out = tt::scratch("out.webp");
        ASSERT_EQ(crop_file(in, out, TRIMLET_RECT, {0, 0, 5, 5}, &o), "");
        EXPECT_EQ(tt::sniff(out), c.sniffed);
    }
}

TEST(ReentrantOptions, BackgroundFlattensAlphaOntoTheChosenColour) {
    Pixels p = tt::solid(6, 2, 200, 100, 50, 0);
    for (int x = 0; x < 6; ++x) p.at(x, 1)[3] = uint8_t(x * 51);
    std::string in = tt::scratch("in.png");
    tt::write_png(in, p);
    const unsigned char colours[][3] = {{0, 0, 0}, {255, 255, 255}, {10, 200, 90}};
    for (const auto &bg : colours) {
        trimlet_options o = with_format("bmp");
        o.background = bg;
        Output mem = crop_memory(tt::read_file(in), TRIMLET_RECT, {0, 0, 6, 2}, &o);
        ASSERT_EQ(mem.error, "");
        std::string out = tt::scratch("out.bmp");
        tt::write_file(out, mem.bytes);
        Pixels got = tt::read_bmp(out);
        for (int x = 0; x < 6; ++x) {
            for (int y = 0; y < 2; ++y) {
                unsigned a = p.at(x, y)[3];
                for (int c = 0; c < 3; ++c) {
                    unsigned want = (p.at(x, y)[c] * a + bg[c] * (255 - a) + 127) / 255;
                    EXPECT_EQ(got.at(x, y)[c], want) << x << "," << y << " channel " << c;
                }
            }
        }
    }
}

TEST(ReentrantOptions, OlderRecordsGetDefaultsForTheFieldsTheyLack) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(8, 8));
    // A record that ends before `quality`: the garbage after it is not read.
    trimlet_options o;
    std::memset(&o, 0xFF, sizeof o);
    o.format = "bmp";
    o.size = offsetof(trimlet_options, quality);
    Output a = crop_memory(tt::read_file(in), TRIMLET_RECT, {0, 0, 4, 4}, &o);
    ASSERT_EQ(a.error, "");
    trimlet_options plain = with_format("bmp");
    EXPECT_EQ(a.bytes, crop_memory(tt::read_file(in), TRIMLET_RECT, {0, 0, 4, 4}, &plain).bytes);
    // size 0 or NULL options: every default (PNG for memory).
    o.size = 0;
    EXPECT_EQ(crop_memory(tt::read_file(in), TRIMLET_RECT, {0, 0, 4, 4}, &o).bytes,
              crop_memory(tt::read_file(in), TRIMLET_RECT, {0, 0, 4, 4}).bytes);
}

TEST(ReentrantFiles, MissingInputAndUnwritableOutputNameTheSystemsReason) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(8, 8));
    std::string nowhere = tt::scratch("no/such/folder/out.png");
    EXPECT_EQ(crop_file(in, nowhere, TRIMLET_RECT, {0, 0, 2, 2}),
              "cannot write '" + nowhere + "': No such file or directory");
    std::string missing = tt::scratch("missing.png");
    EXPECT_EQ(crop_file(missing, tt::scratch("o.png"), TRIMLET_RECT, {0, 0, 2, 2}),
              "cannot decode '" + missing + "': No such file or directory");
#ifndef _WIN32
    trimlet_options png = with_format("png");
    EXPECT_EQ(crop_file(in, "/dev/full", TRIMLET_RECT, {0, 0, 2, 2}, &png),
              "cannot write '/dev/full': No space left on device");
#endif
}

#ifdef __linux__
// A disk that fills while an encoder writes (/dev/full takes the open and
// refuses every byte) is reported as the write's failure for every format
// the build writes, and by the seven (PNG for .webp and .avif) in their own
// words; no encoder's message stands in for it.
TEST(ReentrantFiles, EveryEncoderStoppedByAFullDiskReportsTheWrite) {
    // Noise, so that every encoder writes more than a buffer's worth.
    std::string in = tt::scratch("noise.png");
    tt::write_png(in, noise(256, 256));
    for (const char *format : {TRIMLET_OUTPUT_FORMATS}) {
        SCOPED_TRACE(format);
        std::string ext = std::string(".") + format;
        if (!trimlet_has(ext.c_str()) || ext == ".gif") continue;  // GIF: a GIF's frames only
        trimlet_options o = with_format(format);
        o.lossless = ext == ".webp";  // the larger WebP
        EXPECT_EQ(crop_file(in, "/dev/full", TRIMLET_RECT, {0, 0, 256, 256}, &o),
                  "cannot write '/dev/full': No space left on device");
        std::string full = tt::scratch("full" + ext);
        fs::remove(full);
        fs::create_symlink("/dev/full", full);
        EXPECT_EQ(trimlet_rect(in.c_str(), full.c_str(), 0, 0, 256, 256), 0);
        EXPECT_EQ(std::string(trimlet_last_error()), "cannot encode '" + full + "' (check the extension)");
    }
}
#endif

#ifndef _WIN32
// Write failures leave an existing output exactly as it was and no temporary
// file behind.
TEST(ReentrantFiles, FailedWritesLeaveTheOldOutputAndNoTemporaryFile) {
    // Noise, so that the PNG cannot be compressed into the small filesystem.
    std::string in = tt::scratch("in.png");
    tt::write_png(in, noise(300, 200));
    std::string dir = tt::scratch("ro");
    fs::create_directories(dir);
    std::string out = dir + "/out.png";
    tt::write_file(out, {1, 2, 3});
    // A read-only folder: root may write anywhere, so as root the folder is
    // made read-only by a read-only bind mount instead.
    bool mounted = false;
    if (geteuid() == 0) {
        mounted = mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                  mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    } else {
        chmod(dir.c_str(), 0555);
    }
    if (geteuid() != 0 || mounted) {
        EXPECT_EQ(crop_file(in, out, TRIMLET_RECT, {0, 0, 50, 50}),
                  "cannot write '" + out + "': " +
                      (mounted ? "Read-only file system" : "Permission denied"));
        EXPECT_EQ(tt::read_file(out), std::vector<uint8_t>({1, 2, 3}));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"out.png"});
    }
    if (mounted) umount(dir.c_str());
    chmod(dir.c_str(), 0755);

    // A full filesystem: a tiny tmpfs, where the test may mount one.
    std::string small = tt::scratch("small");
    fs::create_directories(small);
    if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    std::string full = small + "/out.png";
    std::vector<uint8_t> old(6000, 7);
    tt::write_file(full, old);
    std::string message = crop_file(in, full, TRIMLET_RECT, {0, 0, 300, 200});
    EXPECT_EQ(message, "cannot write '" + full + "': No space left on device");
    EXPECT_EQ(tt::read_file(full), old);
    EXPECT_EQ(listing(small), std::vector<std::string>{"out.png"});
    umount(small.c_str());
}

TEST(ReentrantFiles, ReplacingKeepsPermissionBitsAndWritesThroughLinks) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(30, 20));
    std::string out = tt::scratch("kept.png");
    tt::write_file(out, {9});
    chmod(out.c_str(), 0640);
    ASSERT_EQ(crop_file(in, out, TRIMLET_RECT, {0, 0, 5, 5}), "");
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(tt::read_png(out).w, 5);

    std::string target = tt::scratch("target.png"), link = tt::scratch("link.png");
    tt::write_file(target, {9});
    fs::create_symlink(target, link);
    ASSERT_EQ(crop_file(in, link, TRIMLET_RECT, {0, 0, 6, 6}), "");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(tt::read_png(target).w, 6);
}
#endif

TEST(ReentrantFiles, InPlaceCropReplacesTheInput) {
    std::string in = tt::scratch("photo.png");
    tt::write_png(in, tt::gradient(30, 20));
    ASSERT_EQ(crop_file(in, in, TRIMLET_EDGES, {10, 10, 10, 10}), "");
    Pixels got = tt::read_png(in);
    EXPECT_EQ(tt::max_diff(got, tt::crop(tt::gradient(30, 20), 3, 2, 24, 16)), 0);
}

// Paths are UTF-8 on every system; on Windows the library opens them with
// the wide-character calls, whatever the process's code page.
TEST(ReentrantFiles, NonAsciiNamesWorkForInputAndOutput) {
    std::string dir = tt::scratch_dir();
    std::string in = dir + "/\xc3\xa9t\xc3\xa9-\xe5\x8c\x97.png";    // été-北.png
    std::string out = dir + "/\xe5\x8c\x97-\xc3\xa9t\xc3\xa9.bmp";   // 北-été.bmp
    std::vector<uint8_t> png;
    {
        std::string plain = tt::scratch("plain.png");
        tt::write_png(plain, tt::gradient(12, 10));
        png = tt::read_file(plain);
    }
    fs::path in_path = fs::u8path(in), out_path = fs::u8path(out);
    {
        FILE *f = nullptr;
#ifdef _WIN32
        f = _wfopen(in_path.wstring().c_str(), L"wb");
#else
        f = std::fopen(in.c_str(), "wb");
#endif
        ASSERT_NE(f, nullptr);
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
    }
    ASSERT_EQ(crop_file(in, out, TRIMLET_RECT, {2, 3, 4, 5}), "");
    EXPECT_TRUE(fs::exists(out_path));
    EXPECT_EQ(fs::file_size(out_path) > 54, true);
    trimlet_box box;
    ASSERT_EQ(plan_file(in, TRIMLET_AUTO, {0}, &box), "");
}
