// Where aspect and ratio place their box (the gravities, entropy, attention)
// and the resize option: sizes, the filter against Pillow's, transparency.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "support.h"
#include "trimlet.h"

using tt::Pixels;

namespace {

struct Outcome {
    int ok;
    trimlet_result res;
};

// trimlet_run on a file, to output (a plan when empty).
Outcome run(const std::string &in, const std::string &out, int rule, std::vector<int> params,
            int position, int rw = 0, int rh = 0, int lossless = 0) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.position = position;
    o.resize_w = rw;
    o.resize_h = rh;
    o.lossless = lossless;
    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = in.c_str();
    q.output_path = out.empty() ? nullptr : out.c_str();
    q.rule = rule;
    q.params = params.data();
    q.options = &o;
    Outcome r;
    memset(&r.res, 0, sizeof r.res);
    r.res.size = sizeof r.res;
    r.ok = trimlet_run(&q, &r.res);
    return r;
}

struct Box {
    int x, y, w, h;
};

// The centred box of ratio n:d in W x H, then moved by the gravity: worked
// out here in doubles, apart from the library's arithmetic.
Box gravity_box(int W, int H, int n, int d, int position) {
    double cw = W, ch = H;
    if (double(W) / H > double(n) / d) {
        cw = std::floor(H * double(n) / d + 0.5);
    } else {
        ch = std::floor(W * double(d) / n + 0.5);
    }
    Box b = {(W - int(cw)) / 2, (H - int(ch)) / 2, int(cw), int(ch)};
    const char *name[] = {"c", "n", "ne", "e", "se", "s", "sw", "w", "nw"};
    std::string g = name[position];
    if (g.find('w') != std::string::npos) b.x = 0;
    if (g.find('e') != std::string::npos) b.x = W - b.w;
    if (g.find('n') != std::string::npos) b.y = 0;
    if (g.find('s') != std::string::npos) b.y = H - b.h;
    return b;
}

}  // namespace

TEST(Position, GravitiesPlaceTheRulesBoxExactlyAndCutIt) {
    struct Case {
        int W, H, rule, p0, p1, n, d;
    } cases[] = {
        {301, 200, TRIMLET_RATIO, 1, 1, 1, 1},   {200, 301, TRIMLET_RATIO, 1, 1, 1, 1},
        {240, 240, TRIMLET_RATIO, 16, 9, 16, 9}, {240, 240, TRIMLET_ASPECT, 4, 0, 9, 16},
        {301, 200, TRIMLET_RATIO, 21, 9, 21, 9}, {200, 301, TRIMLET_ASPECT, 1, 0, 4, 3},
    };
    for (const Case &c : cases) {
        Pixels img = tt::gradient(c.W, c.H);
        std::string png = tt::scratch("g.png"), jpg = tt::scratch("g.jpg");
        tt::write_png(png, img);
        tt::write_jpeg(jpg, img, 90);
        for (int pos = TRIMLET_CENTRE; pos <= TRIMLET_NORTHWEST; ++pos) {
            SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " " + std::to_string(c.n) +
                         ":" + std::to_string(c.d) + " position " + std::to_string(pos));
            Box want = gravity_box(c.W, c.H, c.n, c.d, pos);
            for (const std::string &in : {png, jpg}) {
                Outcome r = run(in, "", c.rule, {c.p0, c.p1}, pos);
                ASSERT_EQ(r.ok, 1) << r.res.error;
                EXPECT_EQ(r.res.box.x, want.x);
                EXPECT_EQ(r.res.box.y, want.y);
                EXPECT_EQ(r.res.box.w, want.w);
                EXPECT_EQ(r.res.box.h, want.h);
            }
            if (trimlet_has("lossless")) {  // the same box, its corner moved onto the 8-pixel grid
                Outcome r = run(jpg, "", c.rule, {c.p0, c.p1}, pos, 0, 0, 1);
                ASSERT_EQ(r.ok, 1) << r.res.error;
                const trimlet_box &b = r.res.box;
                EXPECT_EQ(b.x, want.x - want.x % 8);
                EXPECT_EQ(b.y, want.y - want.y % 8);
                EXPECT_EQ(b.x + b.w, want.x + want.w);
                EXPECT_EQ(b.y + b.h, want.y + want.h);
            }
            std::string out = tt::scratch("g_out.png");
            ASSERT_EQ(run(png, out, c.rule, {c.p0, c.p1}, pos).ok, 1);
            EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(img, want.x, want.y, want.w, want.h)), 0);
        }
    }
}

namespace {

// A smooth background: a gentle grey ramp along both axes.
Pixels background(int W, int H) {
    Pixels p = tt::solid(W, H, 0, 0, 0);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            uint8_t v = uint8_t(110 + 30 * x / W + 20 * y / H);
            uint8_t *q = p.at(x, y);
            q[0] = q[1] = q[2] = v;
        }
    }
    return p;
}

enum Subject { DETAILED, SATURATED, SKIN, FINE };

// Draws a size x size subject at (x0, y0): random grey blocks of 4 pixels
// (or of 1, fine), or a disc of saturated red or of a skin tone.
void draw(Pixels &p, Subject s, int x0, int y0, int size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> blocks(size_t((size / 4 + 1) * (size / 4 + 1)));
    for (uint8_t &b : blocks) b = uint8_t(rng());
    double r = size / 2.0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            uint8_t *q = p.at(x0 + x, y0 + y);
            if (s == DETAILED) {
                q[0] = q[1] = q[2] = blocks[size_t(y / 4 * (size / 4 + 1) + x / 4)];
                continue;
            }
            if (s == FINE) {
                q[0] = q[1] = q[2] = uint8_t(rng());
                continue;
            }
            double dx = x + 0.5 - r, dy = y + 0.5 - r;
            if (dx * dx + dy * dy > r * r) continue;
            const uint8_t red[3] = {220, 30, 40}, skin[3] = {224, 172, 140};
            memcpy(q, s == SATURATED ? red : skin, 3);
        }
    }
}

}  // namespace

// A subject on a smooth background, at many places along the long axis: the
// square box holds all of it. Entropy judges detail only; attention every
// kind. The large JPEG goes through the reduced-scale decode.
TEST(Position, EntropyAndAttentionKeepTheSubjectWhole) {
    struct Case {
        int position;
        Subject subject;
        int W, H, size;
        bool jpeg;
    } cases[] = {
        {TRIMLET_ENTROPY, DETAILED, 480, 270, 80, false},
        {TRIMLET_ENTROPY, DETAILED, 270, 480, 100, false},
        {TRIMLET_ATTENTION, DETAILED, 480, 270, 80, false},
        {TRIMLET_ATTENTION, SATURATED, 480, 270, 90, false},
        {TRIMLET_ATTENTION, SKIN, 270, 480, 120, false},
        {TRIMLET_ATTENTION, SATURATED, 1600, 900, 300, true},
        {TRIMLET_ENTROPY, DETAILED, 900, 1600, 240, true},
    };
    for (const Case &c : cases) {
        bool across = c.W > c.H;
        int along = across ? c.W : c.H, side = across ? c.H : c.W;
        for (int at = 0; at + c.size <= along; at += (along - c.size) / 11) {
            SCOPED_TRACE("position " + std::to_string(c.position) + " subject " + std::to_string(c.subject) +
                         " " + std::to_string(c.W) + "x" + std::to_string(c.H) + " at " + std::to_string(at));
            Pixels img = background(c.W, c.H);
            int other = (side - c.size) / 3;  // off-centre on the short axis too
            int x0 = across ? at : other, y0 = across ? other : at;
            draw(img, c.subject, x0, y0, c.size, unsigned(at));
            std::string in = tt::scratch(c.jpeg ? "scene.jpg" : "scene.png");
            c.jpeg ? tt::write_jpeg(in, img, 92) : tt::write_png(in, img);
            Outcome r = run(in, "", TRIMLET_RATIO, {1, 1}, c.position);
            ASSERT_EQ(r.ok, 1) << r.res.error;
            ASSERT_EQ(r.res.box.w, side);
            ASSERT_EQ(r.res.box.h, side);
            EXPECT_LE(r.res.box.x, x0);
            EXPECT_LE(r.res.box.y, y0);
            EXPECT_GE(r.res.box.x + r.res.box.w, x0 + c.size);
            EXPECT_GE(r.res.box.y + r.res.box.h, y0 + c.size);
        }
    }
}

// A subject at or near a side of the picture, or a fifth of the way in: the
// box, which can hold it, holds it to its first and last column. The
// pictures are within the reduced copy's size and past it (judged at a half
// and a fifth).
TEST(Position, ASubjectNearTheSideIsKeptToItsEdgeColumns) {
    struct Case {
        int position;
        Subject subject;
        int W, H, size;
    } cases[] = {
        {TRIMLET_ENTROPY, FINE, 320, 240, 90},       {TRIMLET_ATTENTION, DETAILED, 320, 240, 90},
        {TRIMLET_ATTENTION, SATURATED, 320, 240, 90}, {TRIMLET_ENTROPY, FINE, 240, 320, 90},
        {TRIMLET_ENTROPY, FINE, 640, 480, 150},       {TRIMLET_ATTENTION, SATURATED, 640, 480, 150},
        {TRIMLET_ENTROPY, FINE, 1600, 900, 300},      {TRIMLET_ATTENTION, SATURATED, 1600, 900, 300},
    };
    for (const Case &c : cases) {
        bool across = c.W > c.H;
        int along = across ? c.W : c.H, side = across ? c.H : c.W;
        for (int at : {0, 1, 2, 3, 5, 8, 13, 19, along / 5, along - c.size - 2, along - c.size}) {
            SCOPED_TRACE("position " + std::to_string(c.position) + " subject " + std::to_string(c.subject) +
                         " " + std::to_string(c.W) + "x" + std::to_string(c.H) + " at " + std::to_string(at));
            Pixels img = background(c.W, c.H);
            int other = (side - c.size) / 3;
            int x0 = across ? at : other, y0 = across ? other : at;
            draw(img, c.subject, x0, y0, c.size, unsigned(at));
            std::string in = tt::scratch("edge.png");
            tt::write_png(in, img);
            Outcome r = run(in, "", TRIMLET_RATIO, {1, 1}, c.position);
            ASSERT_EQ(r.ok, 1) << r.res.error;
            int lo = across ? r.res.box.x : r.res.box.y;
            EXPECT_LE(lo, at);
            EXPECT_GE(lo + side, at + c.size);
        }
    }
}

TEST(Position, AFlatPictureKeepsTheCentreBox) {
    for (bool jpeg : {false, true}) {
        for (int position : {TRIMLET_ENTROPY, TRIMLET_ATTENTION}) {
            for (auto size : {std::make_pair(640, 360), std::make_pair(2000, 3000)}) {
                Pixels img = tt::solid(size.first, size.second, 90, 140, 200);
                std::string in = tt::scratch(jpeg ? "flat.jpg" : "flat.png");
                jpeg ? tt::write_jpeg(in, img, 92) : tt::write_png(in, img);
                Outcome r = run(in, "", TRIMLET_RATIO, {4, 3}, position);
                Outcome c = run(in, "", TRIMLET_RATIO, {4, 3}, TRIMLET_CENTRE);
                ASSERT_EQ(r.ok, 1) << r.res.error;
                EXPECT_EQ(r.res.box.x, c.res.box.x);
                EXPECT_EQ(r.res.box.y, c.res.box.y);
            }
        }
    }
}

TEST(Resize, OutputSizesFollowTheRule) {
    struct Case {
        int W, H, rule, p[4], rw, rh, ow, oh;
    } cases[] = {
        {400, 300, TRIMLET_RECT, {0, 0, 400, 300}, 200, 200, 200, 150},  // the width sets the scale
        {400, 300, TRIMLET_RECT, {0, 0, 400, 300}, 0, 100, 133, 100},    // free width
        {400, 300, TRIMLET_RECT, {0, 0, 400, 300}, 300, 0, 300, 225},    // free height
        {401, 300, TRIMLET_RECT, {0, 0, 401, 300}, 1, 0, 1, 1},          // a side of 1
        {300, 100, TRIMLET_RECT, {0, 0, 300, 1}, 100, 100, 100, 1},      // never below 1
        {400, 300, TRIMLET_RECT, {0, 0, 4, 6}, 1, 100, 1, 2},            // 1.5: halves up
        {400, 300, TRIMLET_RECT, {0, 0, 100, 80}, 200, 200, 100, 80},    // fits: left as it is
        {400, 300, TRIMLET_RECT, {0, 0, 100, 80}, 100, 0, 100, 80},
        {1000, 700, TRIMLET_RATIO, {16, 9}, 160, 90, 160, 90},           // a thumbnail in one call
        {997, 601, TRIMLET_RATIO, {1, 1}, 256, 256, 256, 256},
        {1000, 701, TRIMLET_RATIO, {3, 7}, 30, 70, 30, 70},
        {50, 40, TRIMLET_RATIO, {1, 1}, 64, 64, 40, 40},                 // never enlarged
        {400, 300, TRIMLET_EDGES, {10, 10, 10, 10}, 0, 60, 80, 60},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.rw) + "x" + std::to_string(c.rh) + " want " + std::to_string(c.ow) + "x" +
                     std::to_string(c.oh));
        std::string in = tt::scratch("r.png"), out = tt::scratch("r_out.png");
        tt::write_png(in, tt::gradient(c.W, c.H));
        std::vector<int> params(c.p, c.p + 4);
        Outcome plan = run(in, "", c.rule, params, TRIMLET_CENTRE, c.rw, c.rh);
        ASSERT_EQ(plan.ok, 1) << plan.res.error;
        EXPECT_EQ(plan.res.output_w, c.ow);
        EXPECT_EQ(plan.res.output_h, c.oh);
        Outcome crop = run(in, out, c.rule, params, TRIMLET_CENTRE, c.rw, c.rh);
        ASSERT_EQ(crop.ok, 1) << crop.res.error;
        EXPECT_EQ(crop.res.output_w, c.ow);
        Pixels got = tt::read_png(out);
        EXPECT_EQ(got.w, c.ow);
        EXPECT_EQ(got.h, c.oh);
    }
}

namespace {

// Something like a photograph: smooth shading, waves of several sizes, hard
// edges and fine noise.
Pixels photo_like(int W, int H) {
    Pixels p = tt::solid(W, H, 0, 0, 0);
    std::mt19937 rng(7);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            double u = double(x) / W, v = double(y) / H;
            double base[3] = {120 + 80 * u, 90 + 60 * v, 150 - 70 * u * v};
            double wave = 30 * std::sin(x * 0.05) * std::cos(y * 0.031) + 12 * std::sin((x + 2 * y) * 0.4);
            bool shape = (x - W / 3) * (x - W / 3) + (y - H / 2) * (y - H / 2) < (H / 4) * (H / 4);
            uint8_t *q = p.at(x, y);
            for (int c = 0; c < 3; ++c) {
                double val = base[c] + wave + (shape ? (c == 0 ? 70 : -50) : 0) + int(rng() % 17) - 8;
                q[c] = uint8_t(val < 0 ? 0 : val > 255 ? 255 : val);
            }
        }
    }
    return p;
}

// Pillow's resize of the box of `in`, written to `out`; false when Python or
// Pillow is missing.
bool pillow_resize(const std::string &in, const trimlet_box &b, int ow, int oh, const std::string &out) {
    std::string cmd = "/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + in +
                      "').convert('RGBA'); im.crop((" + std::to_string(b.x) + "," + std::to_string(b.y) + "," +
                      std::to_string(b.x + b.w) + "," + std::to_string(b.y + b.h) + ")).resize((" +
                      std::to_string(ow) + "," + std::to_string(oh) + "), Image.LANCZOS).save('" + out + "')\"";
    return std::system(cmd.c_str()) == 0;
}

double mean_diff(const Pixels &a, const Pixels &b) {
    double sum = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) sum += std::abs(int(a.rgba[i]) - int(b.rgba[i]));
    return sum / double(a.rgba.size());
}

}  // namespace

TEST(Resize, MatchesPillowsLanczosOnAPhoto) {
    std::string in = tt::scratch("photo.png");
    tt::write_png(in, photo_like(900, 600));
    struct Case {
        int rule;
        std::vector<int> params;
        int rw, rh;
    } cases[] = {
        {TRIMLET_RATIO, {1, 1}, 256, 256},  // 600 -> 256
        {TRIMLET_RATIO, {16, 9}, 97, 0},    // 900 -> 97: strong reduction, odd size
        {TRIMLET_RECT, {13, 7, 700, 500}, 0, 401},
    };
    for (const Case &c : cases) {
        std::string out = tt::scratch("mine.png"), ref = tt::scratch("pillow.png");
        Outcome r = run(in, out, c.rule, c.params, TRIMLET_CENTRE, c.rw, c.rh);
        ASSERT_EQ(r.ok, 1) << r.res.error;
        if (!pillow_resize(in, r.res.box, r.res.output_w, r.res.output_h, ref)) GTEST_SKIP() << "no Pillow";
        Pixels mine = tt::read_png(out), theirs = tt::read_png(ref);
        ASSERT_EQ(mine.w, theirs.w);
        ASSERT_EQ(mine.h, theirs.h);
        EXPECT_LE(mean_diff(mine, theirs), 1.5) << r.res.output_w << "x" << r.res.output_h;
        EXPECT_LE(tt::max_diff(mine, theirs), 8);
    }
}

// A red opaque disc on transparent blue: the transparent pixels lend no blue
// to the disc's edge.
TEST(Resize, TransparentPixelsLendNoColour) {
    Pixels img = tt::solid(300, 300, 0, 0, 255, 0);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 300; ++x) {
            if ((x - 150) * (x - 150) + (y - 150) * (y - 150) < 100 * 100) memcpy(img.at(x, y), "\xff\0\0\xff", 4);
        }
    }
    std::string in = tt::scratch("disc.png"), out = tt::scratch("disc_out.png");
    tt::write_png(in, img);
    ASSERT_EQ(run(in, out, TRIMLET_RATIO, {1, 1}, TRIMLET_CENTRE, 41, 41).ok, 1);
    Pixels got = tt::read_png(out);
    int edge = 0;
    for (int y = 0; y < got.h; ++y) {
        for (int x = 0; x < got.w; ++x) {
            const uint8_t *q = got.at(x, y);
            if (q[3] == 0) continue;
            if (q[3] < 255) ++edge;
            EXPECT_EQ(q[2], 0) << x << "," << y << " alpha " << int(q[3]);
            if (q[3] > 64) {
                EXPECT_GE(q[0], 250) << x << "," << y;
            }
        }
    }
    EXPECT_GT(edge, 20);
}

TEST(PositionAndResize, OptionsAreChecked) {
    std::string in = tt::scratch("o.png");
    tt::write_png(in, tt::gradient(40, 30));
    struct Case {
        int rule, position, rw, rh, lossless;
        const char *message;
    } cases[] = {
        {TRIMLET_RATIO, 11, 0, 0, 0, "options: position 11 out of range 0..10"},
        {TRIMLET_ASPECT, -1, 0, 0, 0, "options: position -1 out of range 0..10"},
        {TRIMLET_RECT, TRIMLET_NORTH, 0, 0, 0, "options: position applies to aspect and ratio only"},
        {TRIMLET_AUTO, TRIMLET_ATTENTION, 0, 0, 0, "options: position applies to aspect and ratio only"},
        {TRIMLET_RECT, TRIMLET_CENTRE, -1, 5, 0, "options: resize -1x5 must not be negative"},
        {TRIMLET_RECT, TRIMLET_CENTRE, 10, 0, 1, "options: resize cannot be combined with lossless"},
    };
    for (const Case &c : cases) {
        if (c.lossless && !trimlet_has("lossless")) continue;
        Outcome r = run(in, "", c.rule, {1, 1, 5, 5}, c.position, c.rw, c.rh, c.lossless);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.res.status, TRIMLET_ERR_ARGUMENT);
        EXPECT_STREQ(r.res.error, c.message);
    }
    EXPECT_EQ(trimlet_has("position"), 1);
    EXPECT_EQ(trimlet_has("resize"), 1);
}

// Shrink-on-load: a JPEG decoded at 1/2, 1/4 or 1/8 of the size before the
// filter, against the same file decoded whole and filtered to the same size.
TEST(Resize, ReducedJpegDecodeStaysCloseToTheFullDecode) {
    if (!trimlet_has("libjpeg-turbo")) GTEST_SKIP() << "built without libjpeg-turbo";
    std::string jpg = tt::scratch("big.jpg"), full = tt::scratch("big_full.png");
    tt::write_jpeg(jpg, photo_like(1800, 1200), 92);
    ASSERT_EQ(run(jpg, full, TRIMLET_RECT, {0, 0, 1800, 1200}, TRIMLET_CENTRE).ok, 1);
    for (int side : {500, 256, 100, 64}) {  // full size, 1/2, 1/4, 1/8
        std::string a = tt::scratch("a.png"), b = tt::scratch("b.png");
        ASSERT_EQ(run(jpg, a, TRIMLET_RATIO, {1, 1}, TRIMLET_CENTRE, side, side).ok, 1);
        ASSERT_EQ(run(full, b, TRIMLET_RATIO, {1, 1}, TRIMLET_CENTRE, side, side).ok, 1);
        Pixels reduced = tt::read_png(a), whole = tt::read_png(b);
        ASSERT_EQ(reduced.w, side);
        ASSERT_EQ(whole.w, side);
        double mean = mean_diff(reduced, whole);
        std::printf("%dx%d from 1200x1200: mean difference %.3f, largest %d\n", side, side, mean,
                    tt::max_diff(reduced, whole));
        EXPECT_LE(mean, 1.5);
    }
}
