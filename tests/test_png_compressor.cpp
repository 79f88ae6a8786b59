// SPDX-License-Identifier: MIT
// PNG output round-trips exactly, whichever zlib compressor the library was
// built with: every crop is read back with libpng and compared byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "support.h"
#include "trimlet.h"

namespace {

// Independent random bytes in every channel: nothing to compress, so the
// compressor falls back to stored blocks.
tt::Pixels noise(int w, int h, unsigned seed) {
    tt::Pixels p = tt::solid(w, h, 0, 0, 0, 0);
    std::mt19937 rng(seed);
    for (uint8_t &b : p.rgba) b = uint8_t(rng());
    return p;
}

// Flat colour with sparse specks and a few repeated stripes: long matches at
// many distances, as in screenshots.
tt::Pixels sparse(int w, int h, unsigned seed) {
    tt::Pixels p = tt::solid(w, h, 240, 240, 236);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            if ((x / 7 + y / 3) % 11 == 0) q[0] = q[1] = q[2] = 20;
            if (rng() % 97 == 0) q[rng() % 4] = uint8_t(rng());
        }
    }
    return p;
}

struct Case {
    const char *what;
    tt::Pixels image;
    int x, y, w, h;
};

}  // namespace

TEST(PngCompressor, CropsReadBackWithExactlyTheSourcePixels) {
    const Case cases[] = {
        {"noise, whole image", noise(301, 217, 1), 0, 0, 301, 217},
        {"noise, inner block", noise(640, 480, 2), 13, 7, 600, 451},
        {"gradient, whole image", tt::gradient(700, 650), 0, 0, 700, 650},
        {"gradient, one row", tt::gradient(700, 650), 0, 300, 700, 1},
        {"gradient, one column", tt::gradient(700, 650), 345, 0, 1, 650},
        {"sparse, whole image", sparse(1024, 768, 3), 0, 0, 1024, 768},
        {"sparse, odd block", sparse(1024, 768, 4), 511, 383, 257, 129},
        {"single pixel", tt::gradient(3, 3), 1, 1, 1, 1},
        {"transparent", tt::solid(129, 65, 0, 0, 0, 0), 0, 0, 129, 65},
    };
    std::string in = tt::scratch("in.png");
    std::string out = tt::scratch("out.png");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tt::write_png(in, c.image);
        ASSERT_NE(trimlet_rect(in.c_str(), out.c_str(), c.x, c.y, c.w, c.h), 0) << trimlet_last_error();
        ASSERT_EQ(tt::sniff(out), "png");
        EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(c.image, c.x, c.y, c.w, c.h)), 0);
    }
}
