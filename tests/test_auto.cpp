// The automatic border crop: the bounding box of every pixel that differs
// from its own quadrant's corner by more than the tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "support.h"
#include "trimlet.h"

namespace {

struct Box {
    int x, y, w, h;  // w 0: no content, the image is uniform
    bool operator==(const Box &o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};
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

// Runs the library on img and expects the block `want` of it, or the uniform
// message carrying the clamped tolerance.
void expect_auto(const tt::Pixels &img, int tolerance, Box want, const std::string &what) {
    tt::Pixels got = tt::run_crop(
        img, [tolerance](const char *in, const char *out) { return trimlet_auto(in, out, tolerance); });
    if (want.w == 0) {
        EXPECT_EQ(got.w, 0) << what;
        EXPECT_EQ(std::string(trimlet_last_error()),
                  "auto: image is uniform (nothing to crop to, tolerance " +
                      std::to_string(std::clamp(tolerance, 0, 100)) + ")")
            << what;
    } else {
        EXPECT_EQ(tt::max_diff(got, tt::crop(img, want.x, want.y, want.w, want.h)), 0)
            << what << ": got " << got.w << "x" << got.h << ", want " << want.w << "x" << want.h
            << " at " << want.x << "," << want.y;
    }
}

// A plain colour carrying a faint position code (R and G move by x and y
// towards mid-grey), well inside tolerance 20, so a block cut at the wrong
// place shows in its pixels.
tt::Pixels plain(int w, int h, uint8_t v) {
    tt::Pixels p = tt::solid(w, h, v, v, v);
    int step = v < 128 ? 1 : -1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) p.at(x, y)[0] = uint8_t(v + step * x), p.at(x, y)[1] = uint8_t(v + step * y);
    }
    return p;
}

// White with black from column `col` and from row `row` on (plain codes kept).
tt::Pixels two_tone(int w, int h, int col, int row) {
    tt::Pixels p = plain(w, h, 255), black = plain(w, h, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (x >= col || y >= row) std::copy_n(black.at(x, y), 4, p.at(x, y));
        }
    }
    return p;
}

tt::Pixels with(tt::Pixels p, int x, int y, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    uint8_t *q = p.at(x, y);
    q[0] = r, q[1] = g, q[2] = b, q[3] = a;
    return p;
}

}  // namespace

TEST(AutoCrop, JudgesEachPixelAgainstItsOwnQuadrantCorner) {
    struct Case { const char *what; tt::Pixels img; int tolerance; Box want; };
    const Case cases[] = {
        {"single colour", tt::solid(7, 5, 90, 20, 200, 70), 0, UNIFORM},
        {"single colour, tolerance 63", tt::solid(7, 5, 90, 20, 200, 70), 63, UNIFORM},
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
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(reference_box(c.img, c.tolerance) == c.want) << "reference disagrees: " << c.what;
        expect_auto(c.img, c.tolerance, c.want, c.what);
    }
}

TEST(AutoCrop, FindsLoneBlackPixelAtEveryToleranceBelow100) {
    std::string in = tt::scratch("dot.png"), out = tt::scratch("out.png");
    tt::write_png(in, with(tt::solid(200, 100, 255, 255, 255), 50, 40, 0, 0, 0));
    for (int t = 0; t <= 100; ++t) {
        int ok = trimlet_auto(in.c_str(), out.c_str(), t);
        if (t == 100) {
            EXPECT_EQ(ok, 0);
            EXPECT_STREQ(trimlet_last_error(), "auto: image is uniform (nothing to crop to, tolerance 100)");
        } else {
            ASSERT_NE(ok, 0) << "tolerance " << t << ": " << trimlet_last_error();
            EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::solid(1, 1, 0, 0, 0)), 0) << "tolerance " << t;
        }
    }
}

TEST(AutoCrop, CropsPictureToItsBoundingBoxOnAnyPlainBackground) {
    struct Case { uint8_t r, g, b, a; int x, y; };
    const Case cases[] = {
        {255, 255, 255, 255, 7, 5}, {0, 0, 0, 255, 20, 14}, {0, 0, 0, 0, 0, 9},
        {255, 255, 255, 0, 26, 20}, {128, 128, 128, 255, 3, 0}, {200, 30, 90, 255, 13, 11},
    };
    tt::Pixels picture = tt::gradient(13, 9);
    for (int i = 0; i < 13 * 9; ++i) picture.rgba[size_t(i) * 4 + 2] = 200;
    for (const Case &c : cases) {
        tt::Pixels img = tt::solid(40, 30, c.r, c.g, c.b, c.a);
        for (int y = 0; y < 9; ++y) std::copy_n(picture.at(0, y), 13 * 4, img.at(c.x, c.y + y));
        expect_auto(img, 10, {c.x, c.y, 13, 9}, "background " + std::to_string(c.r) + "," +
                                                    std::to_string(c.a) + " at " + std::to_string(c.x));
    }
}

// Random images up to 40x40: four corner colours, each quadrant filled within
// the tolerance of its corner, a few pixels pushed just past it and a few
// random ones. The library must find exactly the box of the plain rule.
TEST(AutoCrop, MatchesPlainFullScanOnRandomImages) {
    std::mt19937 rng(4242);
    for (int i = 0; i < 400 && !testing::Test::HasFailure(); ++i) {
        int w = 1 + int(rng() % 40), h = 1 + int(rng() % 40), tolerance = int(rng() % 131) - 15;
        int T = std::clamp(tolerance, 0, 100) * 255 / 100;
        static const unsigned RATES[] = {0, 1, 4, 20, 150};  // per 1000 pixels
        unsigned spots = RATES[rng() % 5], nudges = RATES[rng() % 5];
        uint8_t corner[4][4];
        for (int q = 0; q < 4; ++q) {
            for (int k = 0; k < 4; ++k) corner[q][k] = q > 0 && rng() % 3 == 0 ? corner[0][k] : uint8_t(rng());
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
                if (rng() % 1000 < nudges) {
                    int k = int(rng() % 4);
                    q[k] = uint8_t(std::clamp(ref[k] + (rng() % 2 ? T + 1 : -T - 1), 0, 255));
                }
            }
        }
        std::copy_n(corner[0], 4, img.at(0, 0));
        std::copy_n(corner[1], 4, img.at(w - 1, 0));
        std::copy_n(corner[2], 4, img.at(0, h - 1));
        std::copy_n(corner[3], 4, img.at(w - 1, h - 1));
        expect_auto(img, tolerance, reference_box(img, tolerance),
                    "image " + std::to_string(i) + " (" + std::to_string(w) + "x" + std::to_string(h) +
                        ", tolerance " + std::to_string(tolerance) + ")");
    }
}

TEST(AutoCrop, ImageWithNoPixelsIsUniform) {
    for (int t : {-5, 0, 37, 300}) {
        EXPECT_EQ(trimlet_auto(tt::empty_image(0, 4).c_str(), tt::scratch("out.png").c_str(), t), 0);
        EXPECT_EQ(std::string(trimlet_last_error()), "auto: image is uniform (nothing to crop to, tolerance " +
                                                         std::to_string(std::clamp(t, 0, 100)) + ")");
    }
}
