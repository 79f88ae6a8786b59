// SPDX-License-Identifier: MIT
// The automatic border crop: the bounding box of every pixel that differs
// from its own quadrant's corner by more than the tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <random>

#include "support.h"
#include "trimlet.h"

namespace {

using Box = std::array<int, 4>;  // x, y, w, h
const Box UNIFORM = {0, 0, 0, 0};

// The rule written out plainly: every pixel against the corner of its quadrant.
Box reference_box(const tt::Pixels &p, int tolerance) {
    int T = std::clamp(tolerance, 0, 100) * 255 / 100;
    int x0 = p.w, x1 = -1, y0 = p.h, y1 = -1;
    for (int y = 0; y < p.h; ++y) {
        for (int x = 0; x < p.w; ++x) {
            const uint8_t *ref = p.at(x < p.w / 2 ? 0 : p.w - 1, y < p.h / 2 ? 0 : p.h - 1);
            bool content = false;
            for (int c = 0; c < 4; ++c) content |= std::abs(p.at(x, y)[c] - ref[c]) > T;
            if (content) {
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
        }
    }
    return x1 < 0 ? UNIFORM : Box{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

tt::CropCall autocrop(int tolerance) {
    return [tolerance](const char *in, const char *out) { return trimlet_auto(in, out, tolerance); };
}

std::string uniform_message(int tolerance) {
    std::string t = std::to_string(std::clamp(tolerance, 0, 100));
    return "auto: image is uniform (nothing to crop to, tolerance " + t + ")";
}

// Runs the library on img and expects its block `want`, or the uniform message.
void expect_auto(const tt::Pixels &img, int tolerance, Box want, const std::string &what) {
    tt::Pixels got = tt::run_crop(img, autocrop(tolerance));
    if (want[2] == 0) {
        EXPECT_EQ(got.w, 0) << what;
        EXPECT_EQ(std::string(trimlet_last_error()), uniform_message(tolerance)) << what;
    } else {
        EXPECT_EQ(tt::max_diff(got, tt::crop(img, want[0], want[1], want[2], want[3])), 0)
            << what << ": got " << got.w << "x" << got.h << ", want " << want[2] << "x" << want[3] << " at "
            << want[0] << "," << want[1];
    }
}

// Grey levels from shade(x, y), with R and G moved by x and y towards
// mid-grey: a position code far inside tolerance 20, so a block cut at the
// wrong place shows in its pixels.
tt::Pixels coded(int w, int h, const std::function<uint8_t(int, int)> &shade) {
    tt::Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int v = shade(x, y), s = v < 128 ? 1 : -1;
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(v + s * x), q[1] = uint8_t(v + s * y), q[2] = uint8_t(v);
        }
    }
    return p;
}
tt::Pixels plain(int w, int h, uint8_t v) { return coded(w, h, [v](int, int) { return v; }); }
// White, black from column `col` on and from row `row` on.
tt::Pixels two_tone(int w, int h, int col, int row) {
    return coded(w, h, [=](int x, int y) { return x >= col || y >= row ? 0 : 255; });
}

tt::Pixels with(tt::Pixels p, int x, int y, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    uint8_t *q = p.at(x, y);
    q[0] = r, q[1] = g, q[2] = b, q[3] = a;
    return p;
}

// A 13x9 gradient picture (blue 200) at (x, y) on a 40x30 plain background.
tt::Pixels framed(uint8_t r, uint8_t g, uint8_t b, uint8_t a, int x, int y) {
    tt::Pixels img = tt::solid(40, 30, r, g, b, a), picture = tt::gradient(13, 9);
    for (int i = 0; i < 13 * 9; ++i) picture.rgba[size_t(i) * 4 + 2] = 200;
    for (int row = 0; row < 9; ++row) std::copy_n(picture.at(0, row), 13 * 4, img.at(x, y + row));
    return img;
}

}  // namespace

TEST(AutoCrop, KeepsBoxOfPixelsDifferingFromTheirQuadrantCorner) {
    struct Case { const char *what; tt::Pixels img; int tolerance; Box want; };
    const Case cases[] = {
        {"single colour", tt::solid(7, 5, 90, 20, 200, 70), 0, UNIFORM},
        {"1x1", tt::solid(1, 1, 1, 2, 3, 4), 0, UNIFORM},
        {"white left half, black right half", two_tone(6, 4, 3, 4), 20, UNIFORM},
        {"odd width: white middle column", two_tone(5, 3, 3, 3), 20, {2, 0, 1, 3}},
        {"odd height: white middle row", two_tone(4, 5, 4, 3), 20, {0, 2, 4, 1}},
        {"top-left corner differs", with(plain(6, 6, 255), 0, 0, 255, 0, 0), 20, {0, 0, 3, 3}},
        {"bottom-right corner differs", with(plain(7, 5, 0), 6, 4, 0, 0, 255), 20, {3, 2, 4, 3}},
        {"3x6, top-left differs", with(plain(3, 6, 255), 0, 0, 255, 0, 0), 20, {0, 1, 1, 2}},
        {"3x3, top-left differs", with(plain(3, 3, 255), 0, 0, 255, 0, 0), 20, UNIFORM},
        {"red off by 1", with(tt::solid(9, 7, 0, 0, 0), 6, 5, 1, 0, 0), 0, {6, 5, 1, 1}},
        {"green off by 1", with(tt::solid(9, 7, 0, 0, 0), 2, 6, 0, 1, 0), 0, {2, 6, 1, 1}},
        {"blue off by 1", with(tt::solid(9, 7, 0, 0, 0), 1, 1, 0, 0, 1), 0, {1, 1, 1, 1}},
        {"alpha off by 1", with(tt::solid(9, 7, 255, 255, 255), 4, 2, 255, 255, 255, 254), 0, {4, 2, 1, 1}},
        {"-20 acts as 0", with(tt::solid(9, 7, 255, 255, 255), 8, 3, 254, 255, 255), -20, {8, 3, 1, 1}},
        {"-20 reports 0", tt::solid(4, 4, 255, 255, 255), -20, UNIFORM},
        {"250 acts as 100", with(tt::solid(20, 10, 255, 255, 255), 5, 4, 0, 0, 0, 0), 250, UNIFORM},
        {"difference equal to T", with(tt::solid(5, 5, 9, 9, 9), 1, 1, 9, 34, 9), 10, UNIFORM},
        {"difference T + 1", with(tt::solid(5, 5, 9, 9, 9), 1, 1, 9, 35, 9), 10, {1, 1, 1, 1}},
        // A picture on a plain background: exactly its box, whatever the colour.
        {"on white", framed(255, 255, 255, 255, 7, 5), 10, {7, 5, 13, 9}},
        {"on black", framed(0, 0, 0, 255, 20, 14), 10, {20, 14, 13, 9}},
        {"on transparent", framed(0, 0, 0, 0, 0, 9), 10, {0, 9, 13, 9}},
        {"on transparent white", framed(255, 255, 255, 0, 26, 20), 10, {26, 20, 13, 9}},
        {"on grey", framed(128, 128, 128, 255, 3, 0), 10, {3, 0, 13, 9}},
        {"on purple", framed(200, 30, 90, 255, 13, 11), 10, {13, 11, 13, 9}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(reference_box(c.img, c.tolerance), c.want) << "reference disagrees: " << c.what;
        expect_auto(c.img, c.tolerance, c.want, c.what);
    }
}

TEST(AutoCrop, FindsLoneBlackPixelAtEveryToleranceBelow100) {
    std::string in = tt::scratch("dot.png"), out = tt::scratch("out.png");
    tt::write_png(in, with(tt::solid(200, 100, 255, 255, 255), 50, 40, 0, 0, 0));
    for (int t = 0; t < 100; ++t) {
        ASSERT_NE(trimlet_auto(in.c_str(), out.c_str(), t), 0) << t << ": " << trimlet_last_error();
        EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::solid(1, 1, 0, 0, 0)), 0) << "tolerance " << t;
    }
    tt::expect_refusal(in, autocrop(100), uniform_message(100));
}

// Random images up to 40x40: four corner colours, each quadrant filled within
// the tolerance of its corner, a few pixels pushed just past it and a few
// random ones. The library must find exactly the box of the plain rule.
TEST(AutoCrop, MatchesPlainFullScanOnRandomImages) {
    static const unsigned RATES[] = {0, 1, 4, 20, 150};  // per 1000 pixels
    std::mt19937 rng(4242);
    for (int i = 0; i < 400 && !testing::Test::HasFailure(); ++i) {
        int w = 1 + int(rng() % 40), h = 1 + int(rng() % 40), tolerance = int(rng() % 131) - 15;
        int T = std::clamp(tolerance, 0, 100) * 255 / 100;
        unsigned spots = RATES[rng() % 5], nudges = RATES[rng() % 5];
        uint8_t corner[4][4];
        for (int q = 0; q < 4; ++q) {
            for (int k = 0; k < 4; ++k) corner[q][k] = q > 0 && rng() % 2 ? corner[0][k] : uint8_t(rng());
        }
        tt::Pixels img = tt::solid(w, h, 0, 0, 0, 0);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t *ref = corner[(x >= w / 2) + 2 * (y >= h / 2)];
                uint8_t *q = img.at(x, y);
                for (int k = 0; k < 4; ++k) {
                    int d = int(rng() % unsigned(2 * T + 1)) - T;
                    q[k] = rng() % 1000 < spots ? uint8_t(rng()) : uint8_t(std::clamp(ref[k] + d, 0, 255));
                }
                int k = int(rng() % 4), past = rng() % 2 ? T + 1 : -T - 1;
                if (rng() % 1000 < nudges) q[k] = uint8_t(std::clamp(ref[k] + past, 0, 255));
            }
        }
        for (int q = 0; q < 4; ++q) std::copy_n(corner[q], 4, img.at(q % 2 ? w - 1 : 0, q / 2 ? h - 1 : 0));
        expect_auto(img, tolerance, reference_box(img, tolerance),
                    "image " + std::to_string(i) + " (" + std::to_string(w) + "x" + std::to_string(h) +
                        ", tolerance " + std::to_string(tolerance) + ")");
    }
}

// Large pictures and single rows or columns, where the scan's wide steps
// meet odd lengths and the quadrant split leaves one side a single pixel.
TEST(AutoCrop, LargeAndVeryFlatImagesGiveThePlainRuleBox) {
    struct Case {
        int w, h, x, y;  // one dark pixel at (x, y) on white
    };
    const Case cases[] = {
        {32768, 1, 20001, 0}, {32768, 1, 0, 0},   {32767, 1, 16383, 0}, {1, 32768, 0, 30000},
        {1, 32767, 0, 5},     {32768, 2, 77, 1},  {3, 32768, 1, 16384}, {4001, 2999, 4000, 1},
        {4001, 2999, 1, 2998}, {4001, 2999, 2000, 1500},
    };
    for (const Case &c : cases) {
        tt::Pixels img = with(tt::solid(c.w, c.h, 255, 255, 255), c.x, c.y, 0, 0, 0);
        expect_auto(img, 0, reference_box(img, 0),
                    std::to_string(c.w) + "x" + std::to_string(c.h) + " dark at " + std::to_string(c.x) + "," +
                        std::to_string(c.y));
    }
    // A large flat picture has nothing to cut to.
    expect_auto(tt::solid(32768, 2, 9, 9, 9), 0, UNIFORM, "32768x2 uniform");
}

TEST(AutoCrop, ImageWithNoPixelsIsUniform) {
    for (int t : {-5, 37, 300}) {
        tt::expect_refusal(tt::empty_image(0, 4), autocrop(t), uniform_message(t));
    }
}
