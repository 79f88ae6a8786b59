// SPDX-License-Identifier: MIT
// The percentage edge crop: a share of the width or height cut from each side.
#include <gtest/gtest.h>

#include "support.h"
#include "trimlet.h"

namespace {

tt::CropCall edges(int top, int right, int bottom, int left) {
    return [=](const char *in, const char *out) { return trimlet_edges(in, out, top, right, bottom, left); };
}

}  // namespace

TEST(EdgesCrop, CutsEachSideRoundedDownToWholePixels) {
    struct Case { int w, h, top, right, bottom, left, x, y, cw, ch; };
    const Case cases[] = {
        {12, 7, 0, 0, 0, 0, 0, 0, 12, 7},            // nothing cut
        {200, 100, 10, 0, 0, 25, 50, 10, 150, 90},   // top and left only
        {10, 4, 0, 0, 0, 15, 1, 0, 9, 4},            // 150 / 100 cuts one column
        {10, 4, 0, 0, 0, 9, 0, 0, 10, 4},            // 90 / 100 cuts none
        {3, 3, 49, 49, 49, 49, 1, 1, 1, 1},          // 147 / 100 each: the centre
        {7, 20, 0, 49, 30, 0, 0, 0, 4, 14},          // right 343 / 100, bottom 600 / 100
        {1, 1, 49, 49, 49, 49, 0, 0, 1, 1},          // a single pixel always stays
    };
    for (const Case &c : cases) {
        tt::Pixels src = tt::gradient(c.w, c.h);
        tt::Pixels got = tt::run_crop(src, edges(c.top, c.right, c.bottom, c.left));
        EXPECT_EQ(tt::max_diff(got, tt::crop(src, c.x, c.y, c.cw, c.ch)), 0)
            << c.w << "x" << c.h << " t=" << c.top << " r=" << c.right << " b=" << c.bottom << " l=" << c.left
            << " gave " << got.w << "x" << got.h;
    }
}

TEST(EdgesCrop, KeepsWholeImageReencodedInOutputFormat) {
    std::string in = tt::scratch("in.png"), out = tt::scratch("out.bmp");
    tt::write_png(in, tt::gradient(9, 5));
    ASSERT_NE(trimlet_edges(in.c_str(), out.c_str(), 0, 0, 0, 0), 0) << trimlet_last_error();
    EXPECT_EQ(tt::max_diff(tt::read_bmp(out), tt::flatten(tt::gradient(9, 5))), 0);
}

// All checks run after decoding: negative before range, columns before rows.
TEST(EdgesCrop, RefusesNegativeThenOutOfRangeThenNoColumnsThenNoRows) {
    std::string picture = tt::scratch("in.png"), missing = tt::scratch("missing.png");
    tt::write_png(picture, tt::gradient(5, 5));
    struct Case { std::string in; int top, right, bottom, left; std::string message; };
    const Case cases[] = {
        {picture, 50, 0, 0, 0, "edges: percentage must be 0..49 (t=50 r=0 b=0 l=0)"},
        {picture, 1, 2, 3, 50, "edges: percentage must be 0..49 (t=1 r=2 b=3 l=50)"},
        {picture, -1, 60, 0, 0, "edges: negative percentage (t=-1 r=60 b=0 l=0)"},
        {picture, 4, 3, 99, -2, "edges: negative percentage (t=4 r=3 b=99 l=-2)"},
        {missing, -1, 60, 0, 0, "cannot decode '" + missing + "': can't fopen"},
        {tt::empty_image(0, 5), 7, 20, 8, 10, "edges: left+right=30% leaves no columns (0 px wide)"},
        {tt::empty_image(0, 0), 7, 0, 8, 0, "edges: left+right=0% leaves no columns (0 px wide)"},
        {tt::empty_image(6, 0), 7, 20, 8, 10, "edges: top+bottom=15% leaves no rows (0 px tall)"},
        {tt::empty_image(6, 0), 7, 20, -8, 10, "edges: negative percentage (t=7 r=20 b=-8 l=10)"},
    };
    for (const Case &c : cases) tt::expect_refusal(c.in, edges(c.top, c.right, c.bottom, c.left), c.message);
}
