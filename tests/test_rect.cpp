// SPDX-License-Identifier: MIT
// trimlet_rect: clipping any rectangle to the image, and its messages.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "support.h"
#include "trimlet.h"

namespace {

std::string overlap_error(int x, int y, int w, int h) {
    char text[160];
    std::snprintf(text, sizeof text, "rect: %d,%d %dx%d does not overlap the 100x80 image", x, y, w, h);
    return text;
}

std::string size_error(int w, int h) {
    return "rect: width/height must be > 0 (got " + std::to_string(w) + "x" + std::to_string(h) + ")";
}

}  // namespace

// Every row crops a 100x80 gradient: either to the block (cx, cy, cw, ch) or
// refused with the row's message, leaving the existing output untouched.
TEST(RectCrop, ClipsAnyRectangleToTheImageExactly) {
    struct Case {
        int x, y, w, h;
        int cx, cy, cw, ch;
        std::string error;
    };
    const Case CASES[] = {
        {0, 0, 100, 80, 0, 0, 100, 80, ""},
        {-5, 0, 10, 10, 0, 0, 5, 10, ""},
        {90, 70, 50, 50, 90, 70, 10, 10, ""},
        {-1000, -1000, 5000, 5000, 0, 0, 100, 80, ""},
        {5, 0, INT_MAX, 10, 5, 0, 95, 10, ""},
        {0, 5, 10, INT_MAX, 0, 5, 10, 75, ""},
        {99, 79, INT_MAX, INT_MAX, 99, 79, 1, 1, ""},
        {-1, -1, 2, 2, 0, 0, 1, 1, ""},
        {INT_MIN + 1, INT_MIN + 1, INT_MAX, INT_MAX, 0, 0, 0, 0, overlap_error(INT_MIN + 1, INT_MIN + 1, INT_MAX, INT_MAX)},
        {INT_MIN, 0, INT_MAX, 10, 0, 0, 0, 0, overlap_error(INT_MIN, 0, INT_MAX, 10)},
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0, 0, 0, 0, overlap_error(INT_MAX, INT_MAX, INT_MAX, INT_MAX)},
        {100, 0, 10, 10, 0, 0, 0, 0, overlap_error(100, 0, 10, 10)},
        {-10, 0, 10, 10, 0, 0, 0, 0, overlap_error(-10, 0, 10, 10)},
        {0, 80, 10, 10, 0, 0, 0, 0, overlap_error(0, 80, 10, 10)},
        {0, -10, 10, 10, 0, 0, 0, 0, overlap_error(0, -10, 10, 10)},
        {0, 0, 0, 10, 0, 0, 0, 0, size_error(0, 10)},
        {0, 0, 10, -1, 0, 0, 0, 0, size_error(10, -1)},
        {1000, 1000, INT_MIN, INT_MIN, 0, 0, 0, 0, size_error(INT_MIN, INT_MIN)},
    };
    tt::Pixels src = tt::gradient(100, 80);
    std::string in = tt::scratch("in.png");
    tt::write_png(in, src);
    int row = 0;
    for (const Case &c : CASES) {
        SCOPED_TRACE("row " + std::to_string(row));
        std::string out = tt::scratch("out" + std::to_string(row++) + ".png");
        tt::write_file(out, {'k', 'e', 'e', 'p'});
        EXPECT_EQ(tt::outcome(trimlet_rect(in.c_str(), out.c_str(), c.x, c.y, c.w, c.h)), c.error);
        if (c.error.empty()) {
            EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(src, c.cx, c.cy, c.cw, c.ch)), 0);
        } else {
            EXPECT_EQ(tt::read_file(out), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
        }
    }
}

TEST(RectCrop, RefusesNullPathsBeforeReadingAnything) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(4, 3));
    EXPECT_EQ(tt::outcome(trimlet_rect(nullptr, in.c_str(), 0, 0, 1, 1)), "rect: NULL input/output");
    EXPECT_EQ(tt::outcome(trimlet_rect("missing.png", nullptr, 0, 0, 0, 0)), "rect: NULL input/output");
}

TEST(RectCrop, ReportsDecodeFailureBeforeBadParameters) {
    std::string missing = tt::scratch("missing.png"), out = tt::scratch("out.png");
    std::string want = "cannot decode '" + missing + "': can't fopen";
    EXPECT_EQ(tt::outcome(trimlet_rect(missing.c_str(), out.c_str(), 0, 0, 0, 10)), want);
    EXPECT_EQ(tt::outcome(trimlet_rect(missing.c_str(), out.c_str(), 500, 500, 10, 10)), want);
}

TEST(RectCrop, FindsNoOverlapWithAnImageOfNoColumns) {
    std::string in = tt::scratch("empty.bmp"), out = tt::scratch("out.png");
    tt::write_bmp24(in, tt::solid(0, 5, 1, 2, 3));
    EXPECT_EQ(tt::outcome(trimlet_rect(in.c_str(), out.c_str(), 0, 0, 1, 1)),
              "rect: 0,0 1x1 does not overlap the 0x5 image");
}
