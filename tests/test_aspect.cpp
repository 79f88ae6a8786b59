// SPDX-License-Identifier: MIT
// The aspect-ratio crop: the largest centred block of a ratio from the table.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>

#include "support.h"
#include "trimlet.h"

namespace {

tt::CropCall aspect(int index) {
    return [index](const char *in, const char *out) { return trimlet_aspect(in, out, index); };
}

// Crops a w x h gradient and expects exactly its block (x, y, cw, ch).
void expect_block(int w, int h, int index, int x, int y, int cw, int ch) {
    ASSERT_TRUE(cw >= 1 && ch >= 1 && x >= 0 && y >= 0 && x + cw <= w && y + ch <= h);
    tt::Pixels src = tt::gradient(w, h), got = tt::run_crop(src, aspect(index));
    EXPECT_EQ(tt::max_diff(got, tt::crop(src, x, y, cw, ch)), 0)
        << w << "x" << h << " ratio " << index << " gave " << got.w << "x" << got.h << ", want " << cw
        << "x" << ch << " at " << x << "," << y;
}

TEST(AspectCrop, CutsTheCentredBlockOfEachWorkedExample) {
    struct Case { int w, h, index, x, y, cw, ch; };
    const Case cases[] = {
        {1000, 500, 0, 250, 0, 500, 500}, {1001, 500, 2, 56, 0, 889, 500},  // 8004 / 9
        {100, 100, 4, 22, 0, 56, 100},    {640, 480, 1, 0, 0, 640, 480},    // already 4:3
        {300, 600, 3, 0, 200, 300, 200},  {1, 100, 2, 0, 49, 1, 1},         // odd row below
        {6, 3, 0, 1, 0, 3, 3},            {32768, 1, 4, 16383, 0, 1, 1},    // odd column right
        {1, 32768, 4, 0, 16383, 1, 2},                                      // (16 + 4) / 9
    };
    for (const Case &c : cases) expect_block(c.w, c.h, c.index, c.x, c.y, c.cw, c.ch);
}

// The rule written out in 64 bits: the cut side rounded half up, the
// leftover split with the odd pixel last.
void expect_rounded_block(int w, int h, int k) {
    static const int64_t NUM[5] = {1, 4, 16, 3, 9}, DEN[5] = {1, 3, 9, 2, 16};
    int64_t n = NUM[k], d = DEN[k], cw = w, ch = h;
    if (w * d > h * n) cw = (2 * h * n + d) / (2 * d);
    else ch = (2 * w * d + n) / (2 * n);
    expect_block(w, h, k, int(w - cw) / 2, int(h - ch) / 2, int(cw), int(ch));
}

}  // namespace

// Several hundred sizes up to 40x40 against the rule written out.
TEST(AspectCrop, EverySmallSizeAndRatioGivesTheRoundedCentredBlock) {
    std::mt19937 rng(20261209);
    for (int i = 0; i < 300 && !testing::Test::HasFailure(); ++i) {
        expect_rounded_block(1 + int(rng() % 40), 1 + int(rng() % 40), i % 5);
    }
}

// Large pictures and very flat ones, where a side times a ratio's terms
// leaves 32 bits and a cut side rounds to one or two pixels.
TEST(AspectCrop, LargeAndVeryFlatImagesGiveTheRoundedCentredBlock) {
    const std::pair<int, int> sizes[] = {{1601, 901}, {901, 1601}, {32768, 3}, {3, 32768}, {32767, 2}, {17, 32768}};
    for (auto [w, h] : sizes) {
        for (int k = 0; k < 5 && !testing::Test::HasFailure(); ++k) expect_rounded_block(w, h, k);
    }
}

// The ratio is checked after decoding, and an image with no pixels after that.
TEST(AspectCrop, RefusesRatioOutsideTableThenImageWithNoPixels) {
    std::string picture = tt::scratch("in.png"), missing = tt::scratch("missing.png");
    tt::write_png(picture, tt::gradient(4, 3));
    struct Case { std::string in; int index; std::string message; };
    const Case cases[] = {
        {picture, 5, "aspect: ratio 5 out of range 0..4"},
        {picture, -1, "aspect: ratio -1 out of range 0..4"},
        {picture, INT_MIN, "aspect: ratio -2147483648 out of range 0..4"},
        {missing, 7, "cannot decode '" + missing + "': can't fopen"},
        {tt::empty_image(0, 5), 0, "aspect: image has no pixels (0x5)"},
        {tt::empty_image(7, 0), 4, "aspect: image has no pixels (7x0)"},
        {tt::empty_image(0, 0), 5, "aspect: ratio 5 out of range 0..4"},
    };
    for (const Case &c : cases) tt::expect_refusal(c.in, aspect(c.index), c.message);
}
