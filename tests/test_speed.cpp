// The speed options: compact PNG (every colour type it chooses, read back
// with libpng), effort, and a verdict on the crop's region alone (files cut
// off or damaged below the crop, and inside it); their checks and messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "support.h"
#include "trimlet.h"

namespace {

using tt::Pixels;
using Bytes = std::vector<uint8_t>;

trimlet_options options() {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    return o;
}

struct Outcome {
    int status = -1;
    std::string error;
    Bytes out;
};

// trimlet_run on bytes in memory, PNG (or the options' format) out.
Outcome run(const Bytes &in, int rule, std::vector<int> params, const trimlet_options &o) {
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input = in.data();
    q.input_size = in.size();
    q.output_to_memory = 1;
    q.rule = rule;
    q.params = params.data();
    q.options = &o;
    trimlet_result r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    Outcome got;
    trimlet_run(&q, &r);
    got.status = r.status;
    got.error = r.error;
    if (r.output != nullptr) {
        const uint8_t *b = static_cast<const uint8_t *>(r.output);
        got.out.assign(b, b + r.output_size);
        trimlet_free(r.output);
    }
    return got;
}

Pixels read_png_bytes(const Bytes &png, const std::string &name) {
    std::string path = tt::scratch(name + ".png");
    tt::write_file(path, png);
    return tt::read_png(path);
}

Bytes png_file(const Pixels &p, const std::string &name) {
    std::string path = tt::scratch(name + ".in.png");
    tt::write_png(path, p);
    return tt::read_file(path);
}

// Noise that no predictor guesses: the files are large, and damage at a
// given byte lands in a known band of rows.
Pixels noise(int w, int h, uint32_t seed) {
    Pixels p = tt::solid(w, h, 0, 0, 0);
    for (size_t i = 0; i < p.rgba.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        if (i % 4 != 3) p.rgba[i] = uint8_t(seed >> 24);
    }
    return p;
}

TEST(SpeedOptions, BadValuesAreRefusedWithTheirFieldAndValue) {
    struct Case {
        const char *name;
        void (*set)(trimlet_options &);
        int status;
        const char *message;
    } CASES[] = {
        {"frames 2", [](trimlet_options &o) { o.frames = 2; }, TRIMLET_ERR_ARGUMENT,
         "options: frames 2 is not 0 (the first) or TRIMLET_ALL_FRAMES"},
        {"verify", [](trimlet_options &o) { o.verify = 2; }, TRIMLET_ERR_ARGUMENT,
         "options: verify 2 is not TRIMLET_VERIFY_WHOLE or TRIMLET_VERIFY_REGION"},
        {"effort high", [](trimlet_options &o) { o.effort = 11; }, TRIMLET_ERR_ARGUMENT,
         "options: effort 11 out of range 0..10"},
        {"effort negative", [](trimlet_options &o) { o.effort = -1; }, TRIMLET_ERR_ARGUMENT,
         "options: effort -1 out of range 0..10"},
        {"png_compact", [](trimlet_options &o) { o.png_compact = 2; }, TRIMLET_ERR_ARGUMENT,
         "options: png_compact 2 is not 0 or 1"},
    };
    Bytes in = png_file(tt::solid(8, 8, 1, 2, 3), "small");
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        trimlet_options o = options();
        c.set(o);
        Outcome got = run(in, TRIMLET_RECT, {0, 0, 4, 4}, o);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.error, c.message);
    }
    // A caller built before these fields gets their defaults.
    trimlet_options old = options();
    old.size = offsetof(trimlet_options, frames);
    old.frames = 7;
    EXPECT_EQ(run(in, TRIMLET_RECT, {0, 0, 4, 4}, old).status, TRIMLET_OK);
    for (const char *f : {"verify", "effort", "png-compact"}) EXPECT_EQ(trimlet_has(f), 1) << f;
}

// The picture each case fills, pixel (x, y) by its rule.
struct FormCase {
    const char *name;
    int w, h;
    void (*paint)(int x, int y, uint8_t *px);
    int color, depth;  // what IHDR must say
};

TEST(CompactPng, EachColourTypeHoldsExactlyTheRgbaOutputsPixels) {
    const FormCase CASES[] = {
        {"opaque, many colours: RGB", 40, 30,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t(x * 6), p[1] = uint8_t(y * 8), p[2] = uint8_t(x ^ y), p[3] = 255; },
         2, 8},
        {"grey, many levels: grey", 40, 30,
         [](int x, int y, uint8_t *p) { p[0] = p[1] = p[2] = uint8_t(x * 5 + y), p[3] = 255; }, 0, 8},
        {"grey with alpha, many: grey and alpha", 40, 30,
         [](int x, int y, uint8_t *p) { p[0] = p[1] = p[2] = uint8_t(x * 6), p[3] = uint8_t(y * 8); }, 4, 8},
        {"2 colours: 1-bit palette", 13, 7,
         [](int x, int y, uint8_t *p) { p[0] = (x + y) % 2 ? 200 : 10, p[1] = 50, p[2] = 90, p[3] = 255; }, 3, 1},
        {"4 colours, transparent: 2-bit palette", 13, 7,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t((x + y) % 4 * 60), p[1] = 7, p[2] = 9, p[3] = (x + y) % 4 ? 255 : 0; },
         3, 2},
        {"16 colours with alpha: 4-bit palette", 13, 7,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t((x * 3 + y) % 16 * 16), p[1] = 1, p[2] = 2, p[3] = uint8_t(255 - (x + y) % 2 * 100); },
         3, 4},
        {"16 grey levels: 4-bit palette", 16, 9,
         [](int x, int, uint8_t *p) { p[0] = p[1] = p[2] = uint8_t(x * 16 + 8), p[3] = 255; }, 3, 4},
        {"256 colours, rows in pairs (the second written with Up): 8-bit palette", 32, 32,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t(x * 8), p[1] = uint8_t(y / 2 % 8 * 32), p[2] = 3, p[3] = uint8_t(x == 0 ? 0 : 255); },
         3, 8},
        {"100 colours on 100 pixels, too few for a palette: RGB", 10, 10,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t(x * 20), p[1] = uint8_t(y * 20), p[2] = 3, p[3] = 255; }, 2, 8},
        {"257 colours with alpha: RGBA", 17, 16,
         [](int x, int y, uint8_t *p) { p[0] = uint8_t(x * 15), p[1] = uint8_t(y * 16), p[2] = 3, p[3] = uint8_t(x == y ? 9 : 255); },
         6, 8},
    };
    for (const FormCase &c : CASES) {
        SCOPED_TRACE(c.name);
        Pixels p = tt::solid(c.w, c.h, 0, 0, 0);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) c.paint(x, y, p.at(x, y));
        Bytes in = png_file(p, "form");
        trimlet_options o = options();
        Outcome rgba = run(in, TRIMLET_RECT, {0, 0, c.w, c.h}, o);
        o.png_compact = 1;
        Outcome compact = run(in, TRIMLET_RECT, {0, 0, c.w, c.h}, o);
        ASSERT_EQ(compact.status, TRIMLET_OK) << compact.error;
        ASSERT_GT(compact.out.size(), 26u);
        EXPECT_EQ(rgba.out[25], 6);  // 8-bit RGBA by default
        EXPECT_EQ(compact.out[24], c.depth);
        EXPECT_EQ(compact.out[25], c.color);
        Pixels want = read_png_bytes(rgba.out, "rgba");
        EXPECT_EQ(tt::max_diff(want, p), 0);
        EXPECT_EQ(tt::max_diff(read_png_bytes(compact.out, "compact"), want), 0);
    }
}

// Every effort writes the same pixels; for 8-bit RGBA 0 and 4 are 1.2's
// writer, byte for byte (the compact forms have an effort 0 of their own);
// each compact form gets each effort too.
TEST(Effort, EveryLevelWritesTheSamePixels) {
    Pixels photo = noise(64, 40, 7);
    for (int y = 0; y < photo.h; ++y)  // smooth rows with noise, like a photo
        for (int x = 0; x < photo.w; ++x) photo.at(x, y)[0] = uint8_t(x * 4 + photo.at(x, y)[0] / 16);
    for (int compact = 0; compact < 2; ++compact) {
        Bytes in = png_file(photo, "effort");
        trimlet_options o = options();
        o.png_compact = compact;
        Outcome base = run(in, TRIMLET_RECT, {3, 2, 50, 30}, o);
        Pixels want = read_png_bytes(base.out, "base");
        EXPECT_EQ(tt::max_diff(want, tt::crop(photo, 3, 2, 50, 30)), 0);
        for (int effort = 1; effort <= 10; ++effort) {
            SCOPED_TRACE(effort);
            o.effort = effort;
            Outcome got = run(in, TRIMLET_RECT, {3, 2, 50, 30}, o);
            ASSERT_EQ(got.status, TRIMLET_OK) << got.error;
            EXPECT_EQ(tt::max_diff(read_png_bytes(got.out, "effort"), want), 0);
            if (effort == 4 && compact == 0) {
                EXPECT_EQ(got.out, base.out);
            }
        }
    }
}

// A PNG of noise written here: raw rows (filter byte 0) deflated into one
// IDAT, so that a byte of the rows can be damaged before deflating.
Bytes raw_png(const Pixels &p, int bad_filter_row) {
    Bytes raw;
    for (int y = 0; y < p.h; ++y) {
        raw.push_back(y == bad_filter_row ? 7 : 0);
        for (int x = 0; x < p.w; ++x) raw.insert(raw.end(), p.at(x, y), p.at(x, y) + 3);
    }
    auto be32 = [](Bytes &b, uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
    };
    auto chunk = [&](Bytes &o, const char *type, const Bytes &data) {
        be32(o, uint32_t(data.size()));
        size_t at = o.size();
        o.insert(o.end(), type, type + 4);
        o.insert(o.end(), data.begin(), data.end());
        be32(o, uint32_t(crc32(crc32(0, nullptr, 0), o.data() + at, uInt(data.size() + 4))));
    };
    Bytes o = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, ihdr;
    be32(ihdr, uint32_t(p.w));
    be32(ihdr, uint32_t(p.h));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(o, "IHDR", ihdr);
    uLongf n = compressBound(uLong(raw.size()));
    Bytes z(n);
    compress2(z.data(), &n, raw.data(), uLong(raw.size()), 1);
    z.resize(n);
    chunk(o, "IDAT", z);
    chunk(o, "IEND", {});
    return o;
}

Bytes cut(const Bytes &b, double keep) { return Bytes(b.begin(), b.begin() + long(double(b.size()) * keep)); }

// The crop is the top 24 rows of 160; "after" damage lies past row 80, where
// neither decoder has to read for the crop; "inside" cuts the file in the
// crop's own rows.
TEST(VerifyRegion, DamageBelowTheCropIsUnseenOnlyWithIt) {
    const int W = 64, H = 160;
    Pixels p = noise(W, H, 11);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) p.at(x, y)[3] = 255;
    std::string jpeg_path = tt::scratch("noise.jpg");
    tt::write_jpeg(jpeg_path, p, 90);
    Bytes jpeg = tt::read_file(jpeg_path), png = raw_png(p, -1);
    struct Case {
        const char *name;
        Bytes file, intact;
        int rule;
        std::vector<int> params;
        bool region_ok;  // with TRIMLET_VERIFY_REGION; whole always refuses
    } CASES[] = {
        {"PNG cut off below the crop", cut(png, 0.6), png, TRIMLET_RECT, {5, 0, 40, 24}, true},
        {"PNG with a bad filter in its last row", raw_png(p, H - 1), png, TRIMLET_RECT, {5, 0, 40, 24}, true},
        {"JPEG cut off below the crop", cut(jpeg, 0.6), jpeg, TRIMLET_RECT, {5, 0, 40, 24}, true},
        {"JPEG without its last fifth, edges", cut(jpeg, 0.8), jpeg, TRIMLET_EDGES, {0, 5, 49, 5}, true},
        {"PNG cut off inside the crop", cut(png, 0.05), png, TRIMLET_RECT, {5, 0, 40, 24}, false},
        {"PNG with a bad filter inside the crop", raw_png(p, 10), png, TRIMLET_RECT, {5, 0, 40, 24}, false},
        {"JPEG cut off inside the crop", cut(jpeg, 0.08), jpeg, TRIMLET_RECT, {5, 0, 40, 24}, false},
        // Auto looks at every pixel: the whole file is needed either way.
        {"PNG cut off, auto", cut(png, 0.6), png, TRIMLET_AUTO, {10}, false},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        // The region's verdict needs a decoder that stops after the region:
        // libspng for PNG, libjpeg-turbo for JPEG (stb_image decodes whole).
        bool is_png = c.file[0] == 0x89;
        if (c.region_ok && !(is_png ? TRIMLET_TEST_LIBSPNG : TRIMLET_TEST_LIBJPEG_TURBO)) continue;
        trimlet_options o = options();
        Outcome whole = run(c.file, c.rule, c.params, o);
        EXPECT_EQ(whole.status, TRIMLET_ERR_CORRUPT) << whole.error;
        o.verify = TRIMLET_VERIFY_REGION;
        Outcome region = run(c.file, c.rule, c.params, o);
        if (!c.region_ok) {
            EXPECT_EQ(region.status, TRIMLET_ERR_CORRUPT) << region.error;
            EXPECT_EQ(region.error, whole.error);
            continue;
        }
        ASSERT_EQ(region.status, TRIMLET_OK) << region.error;
        // The same pixels as the intact file's crop.
        Outcome intact = run(c.intact, c.rule, c.params, options());
        ASSERT_EQ(intact.status, TRIMLET_OK) << intact.error;
        EXPECT_EQ(region.out, intact.out);
    }
}

}  // namespace
