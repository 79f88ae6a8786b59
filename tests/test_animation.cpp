// Animations: GIFs written here with giflib (global and local tables, every
// disposal, transparency, interlacing, frames offset, smaller than the
// canvas or outside the box, a 0 delay) and WebP animations made by
// libwebp's encoder, cut with every frame and read back by Pillow frame by
// frame (tests/animation_pillow.py); GIF to GIF read back by giflib's own
// reader for the stored indexes and tables; the rules on a subject that
// moves; still outputs and GIF output from other inputs refused; bombs (the
// frames x pixels limit on 10,000-frame GIF and WebP files, a frame that
// claims 65535x65535) refused in a child with little memory;
// files without a colour table or past a full LZW table read as the first-frame
// reader reads them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gif_lib.h>

#include "support.h"
#include "webp_make.h"
#include "trimlet.h"

namespace {

using tt::Pixels;

const bool GIF = trimlet_has("gif") != 0;
const bool WEBP = trimlet_has("webp") != 0;

// One frame of a generated GIF: its box, table (0: the global one, else a
// local one made from this seed), transparent index (-1: none), disposal,
// delay, interlacing, and the seed of its index pattern.
struct Frame {
    int x, y, w, h;
    int local;
    int transparent;
    int disposal;
    int delay;
    bool interlace;
    int seed;
};

struct Gif {
    const char *name;
    int w, h;
    bool global;
    int loop;  // -1: no NETSCAPE2.0 block
    std::vector<Frame> frames;
};

ColorMapObject *palette(int seed) {
    GifColorType c[16];
    for (int i = 0; i < 16; ++i) {
        c[i].Red = GifByteType(i * 16 + seed * 7);
        c[i].Green = GifByteType(255 - i * 13 - seed);
        c[i].Blue = GifByteType(i * 40 + seed * 31);
    }
    return GifMakeMapObject(16, c);
}

int index_at(const Frame &f, int x, int y) { return (x * 3 + y * 5 + f.seed + (x / 3) * (y / 2)) % 16; }

// The row of an interlaced frame's stored row i (of h): passes start at 0,
// 4, 2, 1 with steps 8, 8, 4, 2.
int interlaced(int i, int h) {
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        int n = h > start[p] ? (h - start[p] + step[p] - 1) / step[p] : 0;
        if (i < n) return start[p] + i * step[p];
        i -= n;
    }
    return 0;
}

void write_gif(const std::string &path, const Gif &g) {
    int err = 0;
    GifFileType *out = EGifOpenFileName(path.c_str(), false, &err);
    ASSERT_NE(out, nullptr);
    EGifSetGifVersion(out, true);
    ColorMapObject *global = g.global ? palette(0) : nullptr;
    ASSERT_EQ(EGifPutScreenDesc(out, g.w, g.h, 8, 0, global), GIF_OK);
    GifFreeMapObject(global);
    if (g.loop >= 0) {
        GifByteType loop[3] = {1, GifByteType(g.loop & 255), GifByteType(g.loop >> 8)};
        EGifPutExtensionLeader(out, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(out, 11, "NETSCAPE2.0");
        EGifPutExtensionBlock(out, 3, loop);
        EGifPutExtensionTrailer(out);
    }
    for (const Frame &f : g.frames) {
        GraphicsControlBlock gcb = {f.disposal, false, f.delay, f.transparent};
        GifByteType ext[4];
        size_t n = EGifGCBToExtension(&gcb, ext);
        EGifPutExtension(out, GRAPHICS_EXT_FUNC_CODE, int(n), ext);
        ColorMapObject *local = f.local ? palette(f.local) : nullptr;
        GifFreeMapObject(out->Image.ColorMap);  // giflib 5.2 loses it before a frame without one
        out->Image.ColorMap = nullptr;
        ASSERT_EQ(EGifPutImageDesc(out, f.x, f.y, f.w, f.h, f.interlace, local), GIF_OK);
        GifFreeMapObject(local);
        std::vector<int> rows;
        if (f.interlace) {
            const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
            for (int p = 0; p < 4; ++p) {
                for (int y = start[p]; y < f.h; y += step[p]) rows.push_back(y);
            }
        } else {
            for (int y = 0; y < f.h; ++y) rows.push_back(y);
        }
        std::vector<GifPixelType> line(size_t(f.w));
        for (int y : rows) {
            for (int x = 0; x < f.w; ++x) line[size_t(x)] = GifPixelType(index_at(f, x, y));
            ASSERT_EQ(EGifPutLine(out, line.data(), f.w), GIF_OK);
        }
    }
    GifFreeMapObject(out->Image.ColorMap);
    out->Image.ColorMap = nullptr;
    ASSERT_EQ(EGifCloseFile(out, &err), GIF_OK);
}

// Frames covering the cases: a full first frame, an offset frame with a
// transparent index and a 0 delay, an interlaced one with its own table
// disposed to the background, one restored to what was before, one wholly
// outside the box (8, 2, 30, 26), and a last one disposed to the background.
// Each first frame has a transparent index: Pillow disposes to the background
// with the transparent index's colour while its picture has no alpha yet,
// where browsers (and this library) clear to transparent.
std::vector<Gif> gifs() {
    return {
        {"global", 48, 32, true, 3,
         {{0, 0, 48, 32, 0, 15, 0, 10, false, 1},
          {4, 4, 16, 12, 0, 3, 1, 0, false, 2},
          {26, 18, 20, 10, 5, 5, 2, 7, true, 3},
          {0, 0, 10, 10, 9, 2, 3, 20, false, 4},
          {42, 28, 6, 4, 0, -1, 1, 4, false, 5},
          {6, 6, 30, 20, 0, 1, 2, 5, true, 6}}},
        {"local-only", 40, 30, false, -1,
         {{0, 0, 40, 30, 2, -1, 1, 8, false, 7},
          {10, 5, 12, 12, 3, 0, 3, 12, true, 8},
          {20, 10, 20, 20, 4, 6, 2, 9, false, 9}}},
    };
}

void sh_ok(const std::string &command, std::string *output = nullptr) {
    std::string log = tt::scratch("anim-sh.log");
    int rc = std::system((command + " >" + log + " 2>&1").c_str());
    std::vector<uint8_t> text = tt::read_file(log);
    std::string said(text.begin(), text.end());
    ASSERT_EQ(rc, 0) << command << "\n" << said;
    if (output) *output = said;
}

struct Call {
    int ok;
    trimlet_result r;
};

Call run(const std::string &in, const std::string &out, int rule, std::vector<int> params, int frames,
        const char *format = nullptr, int lossless = 0) {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.frames = frames;
    o.format = format;
    o.lossless = lossless;
    params.resize(4);
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = in.c_str();
    q.output_path = out.empty() ? nullptr : out.c_str();
    q.rule = rule;
    q.params = params.data();
    q.options = &o;
    Call r;
    std::memset(&r.r, 0, sizeof r.r);
    r.r.size = sizeof r.r;
    r.ok = trimlet_run(&q, &r.r);
    return r;
}

void pillow_agrees(const std::string &in, const std::string &out, const trimlet_box &b, double tolerance) {
    sh_ok(std::string(TRIMLET_PYTHON) + " " + TRIMLET_TEST_DIR "/animation_pillow.py " + in + " " + out + " " +
          std::to_string(b.x) + " " + std::to_string(b.y) + " " + std::to_string(b.w) + " " +
          std::to_string(b.h) + " " + std::to_string(tolerance));
}

// Every output frame is the input frame cut to the box: the same table
// (local or global), transparent index, disposal and delay, and the same
// indexes over the part inside the box; a frame outside is one transparent
// pixel with the delay.
void gif_frames_are_cut(const std::string &in_path, const std::string &out_path, const trimlet_box &b) {
    int err = 0;
    GifFileType *in = DGifOpenFileName(in_path.c_str(), &err);
    GifFileType *out = DGifOpenFileName(out_path.c_str(), &err);
    ASSERT_TRUE(in && out);
    ASSERT_EQ(DGifSlurp(in), GIF_OK);
    ASSERT_EQ(DGifSlurp(out), GIF_OK);
    ASSERT_EQ(out->ImageCount, in->ImageCount);
    EXPECT_EQ(out->SWidth, b.w);
    EXPECT_EQ(out->SHeight, b.h);
    for (int i = 0; i < in->ImageCount; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const SavedImage &s = in->SavedImages[i], &t = out->SavedImages[i];
        GraphicsControlBlock gs, gt;
        DGifSavedExtensionToGCB(in, i, &gs);
        DGifSavedExtensionToGCB(out, i, &gt);
        EXPECT_EQ(gt.DelayTime, gs.DelayTime);
        const GifImageDesc &d = s.ImageDesc;
        int x0 = std::max(d.Left, b.x), y0 = std::max(d.Top, b.y);
        int x1 = std::min(d.Left + d.Width, b.x + b.w), y1 = std::min(d.Top + d.Height, b.y + b.h);
        if (x1 <= x0 || y1 <= y0) {
            EXPECT_EQ(t.ImageDesc.Width * t.ImageDesc.Height, 1);
            EXPECT_EQ(t.RasterBits[0], gt.TransparentColor);
            continue;
        }
        EXPECT_EQ(gt.DisposalMode, gs.DisposalMode);
        EXPECT_EQ(gt.TransparentColor, gs.TransparentColor);
        EXPECT_EQ(t.ImageDesc.Left, x0 - b.x);
        EXPECT_EQ(t.ImageDesc.Top, y0 - b.y);
        ASSERT_EQ(t.ImageDesc.Width, x1 - x0);
        ASSERT_EQ(t.ImageDesc.Height, y1 - y0);
        const ColorMapObject *ms = d.ColorMap ? d.ColorMap : in->SColorMap;
        const ColorMapObject *mt = t.ImageDesc.ColorMap ? t.ImageDesc.ColorMap : out->SColorMap;
        ASSERT_EQ(mt->ColorCount, ms->ColorCount);
        EXPECT_EQ(std::memcmp(mt->Colors, ms->Colors, sizeof(GifColorType) * size_t(ms->ColorCount)), 0);
        int diffs = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                diffs += s.RasterBits[(y - d.Top) * d.Width + (x - d.Left)] !=
                         t.RasterBits[(y - y0) * (x1 - x0) + (x - x0)];
            }
        }
        EXPECT_EQ(diffs, 0);
    }
    DGifCloseFile(in, &err);
    DGifCloseFile(out, &err);
}

TEST(Animation, GifCutsAreExactAndShowTheInputsFramesInTheBox) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    for (const Gif &g : gifs()) {
        SCOPED_TRACE(g.name);
        std::string in = tt::scratch(std::string("anim-") + g.name + ".gif");
        write_gif(in, g);
        std::string gif = tt::scratch("anim-out.gif"), webp = tt::scratch("anim-out.webp");
        Call r = run(in, gif, TRIMLET_RECT, {8, 2, 30, 26}, TRIMLET_ALL_FRAMES);
        ASSERT_TRUE(r.ok) << r.r.error;
        EXPECT_EQ(r.r.frames, int(g.frames.size()));
        EXPECT_STREQ(r.r.output_format, "gif");
        gif_frames_are_cut(in, gif, r.r.box);
        pillow_agrees(in, gif, r.r.box, 0);
        if (!WEBP) continue;
        r = run(in, webp, TRIMLET_RECT, {8, 2, 30, 26}, TRIMLET_ALL_FRAMES, nullptr, 1);
        ASSERT_TRUE(r.ok) << r.r.error;
        pillow_agrees(in, webp, r.r.box, 0);
        // The first frame alone without the option.
        r = run(in, gif, TRIMLET_RECT, {8, 2, 30, 26}, 0);
        ASSERT_TRUE(r.ok) << r.r.error;
        int err = 0;
        GifFileType *one = DGifOpenFileName(gif.c_str(), &err);
        ASSERT_EQ(DGifSlurp(one), GIF_OK);
        EXPECT_EQ(one->ImageCount, 1);
        DGifCloseFile(one, &err);
    }
}

// WebP animations with alpha and blending, lossless and lossy, made with
// libwebp's encoder and mux library, to WebP (lossless exact; lossy close).
TEST(Animation, WebpAnimationsKeepEveryFrameAndItsTiming) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    const int delays[4] = {100, 40, 250, 60};
    std::vector<Pixels> pictures;
    for (int i = 0; i < 4; ++i) {
        Pixels p = tt::gradient(64, 48);
        for (int y = 8; y < 24; ++y) {
            for (int x = 10 * i; x < 10 * i + 16; ++x) {
                uint8_t *px = p.at(x, y);
                px[0] = 255;
                px[3] = uint8_t(i % 2 ? 0 : 200);  // see-through pixels, which blending shows
            }
        }
        pictures.push_back(p);
    }
    const struct {
        const char *options;
        int lossless;
        double tolerance;
    } CASES[] = {{"-lossless -exact", 1, 0}, {"-q 90", 0, 6}};
    for (const auto &c : CASES) {
        SCOPED_TRACE(c.options);
        std::vector<tt::WebpFrame> frames;
        for (int i = 0; i < 4; ++i) frames.push_back({tt::webp_encode(pictures[i], c.options), delays[i], 0, 0});
        std::string in = tt::scratch("anim-in.webp"), out = tt::scratch("anim-cut.webp");
        tt::write_file(in, tt::webp_animation(frames, 2));
        Call r = run(in, out, TRIMLET_RATIO, {1, 1}, TRIMLET_ALL_FRAMES, nullptr, c.lossless);
        ASSERT_TRUE(r.ok) << r.r.error;
        EXPECT_EQ(r.r.frames, 4);
        EXPECT_EQ(r.r.box.w, 48);
        pillow_agrees(in, out, r.r.box, c.tolerance);
        Call gif = run(in, tt::scratch("anim-x.gif"), TRIMLET_RATIO, {1, 1}, TRIMLET_ALL_FRAMES);
        EXPECT_EQ(gif.r.status, TRIMLET_ERR_UNSUPPORTED);
        EXPECT_STREQ(gif.r.error, "GIF output needs a GIF input");
    }
}

// A square that moves across the canvas on a white ground: auto keeps the
// union of every frame's content with every frame, the first frame's
// without; the rules that look at the size (and entropy, which judges the
// first frame) choose on the animation what they choose on its first frame.
TEST(Animation, RulesChooseOneBoxForEveryFrame) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    Gif moving = {"moving", 60, 40, true, 0, {}};
    for (int i = 0; i < 5; ++i) moving.frames.push_back({0, 0, 60, 40, 0, -1, 1, 10, false, 0});
    std::string in = tt::scratch("anim-moving.gif");
    // Index 0 everywhere but an 8x6 square of index 5 at (4 + 10i, 12 + 3i).
    {
        int err = 0;
        GifFileType *out = EGifOpenFileName(in.c_str(), false, &err);
        ASSERT_NE(out, nullptr);
        EGifSetGifVersion(out, true);
        ColorMapObject *map = palette(0);
        EGifPutScreenDesc(out, 60, 40, 8, 0, map);
        GifFreeMapObject(map);
        for (int i = 0; i < 5; ++i) {
            EGifPutImageDesc(out, 0, 0, 60, 40, false, nullptr);
            std::vector<GifPixelType> line(60);
            for (int y = 0; y < 40; ++y) {
                for (int x = 0; x < 60; ++x) {
                    bool in_square = x >= 4 + 10 * i && x < 12 + 10 * i && y >= 12 + 3 * i && y < 18 + 3 * i;
                    line[size_t(x)] = in_square ? 5 : 0;
                }
                EGifPutLine(out, line.data(), 60);
            }
        }
        ASSERT_EQ(EGifCloseFile(out, &err), GIF_OK);
    }
    Call all = run(in, "", TRIMLET_AUTO, {0}, TRIMLET_ALL_FRAMES);
    ASSERT_TRUE(all.ok) << all.r.error;
    EXPECT_EQ(all.r.frames, 5);
    EXPECT_EQ(all.r.box.x, 4);
    EXPECT_EQ(all.r.box.y, 12);
    EXPECT_EQ(all.r.box.w, 48);
    EXPECT_EQ(all.r.box.h, 18);
    Call first = run(in, "", TRIMLET_AUTO, {0}, 0);
    ASSERT_TRUE(first.ok) << first.r.error;
    EXPECT_EQ(first.r.box.w, 8);
    EXPECT_EQ(first.r.frames, 5);
    if (WEBP) {
        std::string out = tt::scratch("anim-auto.webp");
        Call r = run(in, out, TRIMLET_AUTO, {0}, TRIMLET_ALL_FRAMES, nullptr, 1);
        ASSERT_TRUE(r.ok) << r.r.error;
        pillow_agrees(in, out, r.r.box, 0);
    }
    // The first frame as a PNG, for the rules that see the size.
    Pixels still = tt::solid(60, 40, 0, 255, 0);
    std::string png = tt::scratch("anim-first.png");
    {
        ColorMapObject *map = palette(0);
        for (int y = 0; y < 40; ++y) {
            for (int x = 0; x < 60; ++x) {
                const GifColorType &c = map->Colors[x >= 4 && x < 12 && y >= 12 && y < 18 ? 5 : 0];
                uint8_t *p = still.at(x, y);
                p[0] = c.Red;
                p[1] = c.Green;
                p[2] = c.Blue;
            }
        }
        GifFreeMapObject(map);
        tt::write_png(png, still);
    }
    const struct {
        int rule;
        std::vector<int> params;
        int position;
    } RULES[] = {
        {TRIMLET_RECT, {5, 3, 20, 30}, 0},      {TRIMLET_EDGES, {10, 20, 5, 0}, 0},
        {TRIMLET_ASPECT, {0}, TRIMLET_WEST},    {TRIMLET_RATIO, {3, 1}, TRIMLET_SOUTH},
        {TRIMLET_ASPECT, {0}, TRIMLET_ENTROPY},
    };
    for (const auto &c : RULES) {
        SCOPED_TRACE(c.rule * 100 + c.position);
        trimlet_box boxes[2];
        const std::string *inputs[2] = {&in, &png};
        for (int k = 0; k < 2; ++k) {
            trimlet_options o;
            std::memset(&o, 0, sizeof o);
            o.size = sizeof o;
            o.frames = TRIMLET_ALL_FRAMES;
            o.position = c.position;
            std::vector<int> p = c.params;
            p.resize(4);
            char error[TRIMLET_ERROR_SIZE];
            ASSERT_TRUE(trimlet_plan_file(inputs[k]->c_str(), c.rule, p.data(), &o, &boxes[k], error)) << error;
        }
        EXPECT_EQ(std::memcmp(&boxes[0], &boxes[1], sizeof boxes[0]), 0)
            << boxes[0].x << "," << boxes[0].y << " " << boxes[0].w << "x" << boxes[0].h << " vs " << boxes[1].x
            << "," << boxes[1].y << " " << boxes[1].w << "x" << boxes[1].h;
    }
}

TEST(Animation, RefusalsWriteNothing) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    std::string in = tt::scratch("anim-refuse.gif");
    write_gif(in, gifs()[0]);
    std::string png = tt::scratch("anim-refused.png");
    tt::write_file(png, {1, 2, 3});
    Call still = run(in, png, TRIMLET_RECT, {0, 0, 4, 4}, TRIMLET_ALL_FRAMES);
    EXPECT_EQ(still.r.status, TRIMLET_ERR_ARGUMENT);
    EXPECT_NE(std::string(still.r.error).find("choose a frame"), std::string::npos) << still.r.error;
    EXPECT_EQ(tt::read_file(png), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(still.r.frames, 0);
    const struct {
        int frames;
        const char *from, *to;
        int status;
    } CASES[] = {
        {5, "gif", "gif", TRIMLET_ERR_ARGUMENT},
        {0, "png", "gif", TRIMLET_ERR_UNSUPPORTED},
    };
    std::string other = tt::scratch("anim-still.png");
    tt::write_png(other, tt::gradient(8, 8));
    for (const auto &c : CASES) {
        std::string out = tt::scratch("anim-none.gif");
        std::remove(out.c_str());
        Call r = run(std::string(c.from) == "gif" ? in : other, out, TRIMLET_RECT, {0, 0, 4, 4}, c.frames);
        EXPECT_EQ(r.r.status, c.status) << r.r.error;
        EXPECT_FALSE(tt::file_exists(out));
    }
    // A still input with every frame is cropped as usual, into any format.
    Call r = run(other, tt::scratch("anim-still-out.png"), TRIMLET_RECT, {1, 1, 4, 4}, TRIMLET_ALL_FRAMES);
    EXPECT_TRUE(r.ok) << r.r.error;
    EXPECT_EQ(r.r.frames, 1);
}

// A one-frame GIF of w x h with a 256-colour grey table whose image data is
// the given LZW codes (code size 8), packed as a decoder reads them.
std::vector<uint8_t> lzw_gif(int w, int h, const std::vector<int> &codes) {
    std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                              0xF7, 0, 0};
    for (int i = 0; i < 256; ++i) g.insert(g.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    g.insert(g.end(), {0x2C, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0, 8});
    std::vector<uint8_t> data;
    uint32_t bits = 0;
    int have = 0, width = 9, next = 258;
    bool after_clear = false;
    for (int code : codes) {
        bits |= uint32_t(code) << have;
        for (have += width; have >= 8; have -= 8, bits >>= 8) data.push_back(uint8_t(bits));
        if (code == 256) {
            width = 9;
            next = 258;
            after_clear = true;
        } else if (after_clear) {
            after_clear = false;
        } else if (next < 4096 && ++next == 1 << width && width < 12) {
            ++width;
        }
    }
    if (have > 0) data.push_back(uint8_t(bits));
    for (size_t p = 0; p < data.size(); p += 255) {
        size_t n = std::min<size_t>(255, data.size() - p);
        g.push_back(uint8_t(n));
        g.insert(g.end(), data.begin() + long(p), data.begin() + long(p + n));
    }
    g.insert(g.end(), {0, 0x3B});
    return g;
}

// The image data is checked code by code: a table full at 4096 entries
// without a clear code decodes; a code beyond the next free entry, or data
// that ends before the last pixel, is refused as damaged.
TEST(Animation, LzwCodesBeyondTheTableAreRefused) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    std::vector<int> full = {256};
    for (int i = 0; i < 4096; ++i) full.push_back(i % 256);
    full.push_back(257);
    const struct {
        const char *name;
        int w, h;
        std::vector<int> codes;
        int status;
    } CASES[] = {
        {"full table", 64, 64, full, TRIMLET_OK},
        {"code beyond", 4, 1, {256, 1, 300, 257}, TRIMLET_ERR_CORRUPT},
        {"ends early", 4, 4, {256, 1, 2, 257}, TRIMLET_ERR_CORRUPT},
    };
    for (const auto &c : CASES) {
        SCOPED_TRACE(c.name);
        std::string in = tt::scratch("anim-lzw.gif"), out = tt::scratch("anim-lzw-out.gif");
        tt::write_file(in, lzw_gif(c.w, c.h, c.codes));
        Call r = run(in, out, TRIMLET_RECT, {0, 0, c.w, c.h}, TRIMLET_ALL_FRAMES);
        EXPECT_EQ(r.r.status, c.status) << r.r.error;
        if (c.status != TRIMLET_OK) continue;
        int err = 0;
        GifFileType *g = DGifOpenFileName(out.c_str(), &err);
        ASSERT_TRUE(g != nullptr && DGifSlurp(g) == GIF_OK);
        int wrong = 0;
        for (int i = 0; i < c.w * c.h; ++i) wrong += g->SavedImages[0].RasterBits[i] != i % 256;
        EXPECT_EQ(wrong, 0);
        DGifCloseFile(g, &err);
    }
}

// GIFs giflib's writer cannot make, written byte by byte: no colour table
// at all, and LZW data that goes on past a full table without a clear code.
// Greedy LZW of the indexes at code size `min`, in sub-blocks; with
// `keep_full` a full table stays as it is (the writer fault), else a clear
// code starts a new one; `lead_clear` false leaves out the first clear code.
std::vector<uint8_t> lzw(const std::vector<uint8_t> &px, int min, bool keep_full, bool lead_clear) {
    const int clear = 1 << min;
    std::map<std::pair<int, int>, int> table;  // (prefix code, index) -> code
    std::vector<uint8_t> out = {uint8_t(min)}, data;
    uint32_t bits = 0;
    int have = 0, next = clear + 2, width = min + 1;
    auto put = [&](int code) {
        if (next - 1 >= 1 << width && width < 12) ++width;  // as the reader widens, one code later
        bits |= uint32_t(code) << have;
        for (have += width; have >= 8; have -= 8, bits >>= 8) data.push_back(uint8_t(bits));
    };
    if (lead_clear) put(clear);
    int w = px[0];
    for (size_t i = 1; i < px.size(); ++i) {
        auto it = table.find({w, px[i]});
        if (it != table.end()) {
            w = it->second;
            continue;
        }
        put(w);
        if (next < 4096) {
            table[{w, px[i]}] = next++;
        } else if (!keep_full) {
            put(clear);
            table.clear();
            next = clear + 2;
            width = min + 1;
        }
        w = px[i];
    }
    put(w);
    put(clear + 1);
    if (have > 0) data.push_back(uint8_t(bits));
    for (size_t p = 0; p < data.size(); p += 255) {
        size_t n = std::min<size_t>(255, data.size() - p);
        out.push_back(uint8_t(n));
        out.insert(out.end(), data.begin() + long(p), data.begin() + long(p + n));
    }
    out.push_back(0);
    return out;
}

struct RawFrame {
    int x, y, w, h;
    int local;  // 0: none, else the seed of its own table
    int transparent;
    bool interlace;
};

struct RawGif {
    const char *name;
    int w, h;
    int global;  // 0: none, else the seed of the table
    int min;     // LZW code size; the tables hold 1 << min colours
    bool keep_full;
    std::vector<RawFrame> frames;
    bool no_clear = false;  // no clear code before the first frame's data
};

std::vector<uint8_t> raw_gif(const RawGif &g) {
    auto le = [](std::vector<uint8_t> &v, int n) { v.insert(v.end(), {uint8_t(n), uint8_t(n >> 8)}); };
    auto table = [&g](std::vector<uint8_t> &v, int seed) {
        for (int i = 0; i < 1 << g.min; ++i) {
            v.insert(v.end(), {uint8_t(i * 37 + seed), uint8_t(255 - i * 11), uint8_t(i * 73 ^ seed)});
        }
    };
    std::vector<uint8_t> f = {'G', 'I', 'F', '8', '9', 'a'};
    le(f, g.w);
    le(f, g.h);
    f.insert(f.end(), {uint8_t(g.global ? 0x80 | (g.min - 1) : 0), 0, 0});
    if (g.global) table(f, g.global);
    for (size_t k = 0; k < g.frames.size(); ++k) {
        const RawFrame &r = g.frames[k];
        f.insert(f.end(), {0x21, 0xF9, 4, uint8_t(r.transparent >= 0 ? 1 : 0), 5, 0, uint8_t(r.transparent), 0, 0x2C});
        le(f, r.x);
        le(f, r.y);
        le(f, r.w);
        le(f, r.h);
        f.push_back(uint8_t((r.local ? 0x80 | (g.min - 1) : 0) | (r.interlace ? 0x40 : 0)));
        if (r.local) table(f, r.local);
        // Noise, so that the table fills: rows in the order stored.
        std::vector<uint8_t> px;
        for (int i = 0; i < r.h; ++i) {
            int y = r.interlace ? interlaced(i, r.h) : i;
            for (int x = 0; x < r.w; ++x) {
                unsigned noise = unsigned(x) * 2654435761u ^ unsigned(y + int(k)) * 40503u;
                px.push_back(uint8_t(noise >> 7 & ((1u << g.min) - 1)));
            }
        }
        std::vector<uint8_t> data = lzw(px, g.min, g.keep_full, !(g.no_clear && k == 0));
        f.insert(f.end(), data.begin(), data.end());
    }
    f.push_back(0x3B);
    return f;
}

// Files the still reader takes where stb_image refuses them are read the
// same with every frame: a missing table is the grey ramp (index i grey i),
// a full table without a clear code stays full. The first frame through the
// frames reader and the GIF writer reads as the still reader reads the
// input; every frame to WebP shows what Pillow shows.
TEST(Animation, GifsWithoutATableOrPastAFullTableReadAsStills) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    const RawGif CASES[] = {
        {"no table", 40, 30, 0, 6, false, {{0, 0, 40, 30, 0, -1, false}, {5, 4, 20, 12, 0, 3, true}}},
        {"local table only", 40, 30, 0, 5, false, {{0, 0, 40, 30, 9, -1, false}, {8, 6, 16, 10, 0, -1, false}}},
        {"full table kept", 160, 120, 4, 8, true, {{0, 0, 160, 120, 0, -1, false}, {10, 10, 90, 70, 0, -1, true}}},
        {"full table kept, no table", 160, 120, 0, 4, true,
         {{0, 0, 160, 120, 0, -1, true}, {0, 0, 80, 60, 0, -1, false}}},
        {"no table, code size 1", 24, 16, 0, 1, false, {{0, 0, 24, 16, 0, -1, false}, {4, 4, 9, 7, 0, 1, true}}},
        {"no table, no first clear code", 40, 30, 0, 3, false,
         {{0, 0, 40, 30, 0, -1, false}, {2, 2, 5, 5, 0, -1, false}}, true},
    };
    for (const RawGif &g : CASES) {
        SCOPED_TRACE(g.name);
        std::string in = tt::scratch("anim-raw.gif"), still = tt::scratch("anim-raw.png"),
                    gif = tt::scratch("anim-raw-out.gif"), again = tt::scratch("anim-raw-again.png");
        tt::write_file(in, raw_gif(g));
        Call r = run(in, still, TRIMLET_RECT, {0, 0, g.w, g.h}, 0);
        ASSERT_TRUE(r.ok) << r.r.error;
        r = run(in, gif, TRIMLET_RECT, {0, 0, g.w, g.h}, 0);
        ASSERT_TRUE(r.ok) << r.r.error;
        r = run(gif, again, TRIMLET_RECT, {0, 0, g.w, g.h}, 0);
        ASSERT_TRUE(r.ok) << r.r.error;
        EXPECT_EQ(tt::max_diff(tt::read_png(again), tt::read_png(still)), 0);
        // Pillow 9 refuses code size 1 (it widens the codes one code later).
        if (!WEBP || g.min == 1) continue;
        std::string webp = tt::scratch("anim-raw.webp");
        r = run(in, webp, TRIMLET_RECT, {0, 0, g.w, g.h}, TRIMLET_ALL_FRAMES, nullptr, 1);
        ASSERT_TRUE(r.ok) << r.r.error;
        EXPECT_EQ(r.r.frames, 2);
        pillow_agrees(in, webp, r.r.box, 0);
    }
}

// Bombs: 10,000 frames of 3840x2160, each a few bytes, in a GIF and in a
// WebP (whose last frame, at the far corner, makes the canvas), refused from
// the container before any frame is decoded; a 16x16 GIF whose one frame
// claims 65535x65535 with a few bytes of data, refused when the data ends.
// Each runs in a child allowed 4 MiB more address space than a small crop
// took.
TEST(Animation, BombsAreRefusedWithinFourMebibytes) {
    if (!GIF) GTEST_SKIP() << "built without giflib";
    std::vector<uint8_t> gif_bomb = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x0F, 0x70, 0x08, 0x80, 0, 0,
                                     0, 0, 0, 255, 255, 255};
    for (int i = 0; i < 10000; ++i) {
        const uint8_t frame[] = {0x2C, 0, 0, 0, 0, 0x00, 0x0F, 0x70, 0x08, 0, 2, 2, 0x4C, 0x01, 0};
        gif_bomb.insert(gif_bomb.end(), frame, frame + sizeof frame);
    }
    gif_bomb.push_back(0x3B);
    std::vector<uint8_t> webp_bomb;
    if (WEBP) {
        std::vector<uint8_t> dot = tt::webp_encode(tt::solid(2, 2, 9, 9, 9), "-lossless");
        std::vector<tt::WebpFrame> frames(10000, tt::WebpFrame{dot, 40, 0, 0});
        frames.back().x = 3838;
        frames.back().y = 2158;
        webp_bomb = tt::webp_animation(frames, 0);
        ASSERT_FALSE(webp_bomb.empty());
    }
    std::vector<uint8_t> huge_frame = lzw_gif(16, 16, {256, 1, 2, 3, 257});
    const uint8_t claim[] = {0xFF, 0xFF, 0xFF, 0xFF};  // the frame's width and height
    std::memcpy(huge_frame.data() + 13 + 768 + 5, claim, sizeof claim);
    const struct {
        const char *name;
        const std::vector<uint8_t> &bytes;
        const char *format;
        int status;
        const char *said;
    } CASES[] = {
        {"gif frames", gif_bomb, "gif", TRIMLET_ERR_TOO_LARGE, "10000 frames of 3840x2160"},
        {"webp frames", webp_bomb, "webp", TRIMLET_ERR_TOO_LARGE, "10000 frames of 3840x2160"},
        {"gif frame", huge_frame, "gif", TRIMLET_ERR_CORRUPT, "ends before its last pixel"},
    };
    std::string small = tt::scratch("anim-small.gif");
    write_gif(small, gifs()[1]);
    for (const auto &c : CASES) {
        if (c.bytes.empty()) continue;  // no WebP
        SCOPED_TRACE(c.name);
        std::string in = tt::scratch("anim-bomb"), out = tt::scratch("anim-bomb-out");
        tt::write_file(in, c.bytes);
        Call r = run(in, out, TRIMLET_RECT, {0, 0, 10, 10}, TRIMLET_ALL_FRAMES, c.format);
        EXPECT_EQ(r.r.status, c.status) << r.r.error;
        EXPECT_NE(std::string(r.r.error).find(c.said), std::string::npos) << r.r.error;
#if !defined(_WIN32) && !defined(TRIMLET_NO_ADDRESS_LIMIT)
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            run(small, out, TRIMLET_RECT, {0, 0, 10, 10}, TRIMLET_ALL_FRAMES, c.format);
            FILE *f = std::fopen("/proc/self/statm", "r");
            unsigned long pages = 0;
            if (f == nullptr || std::fscanf(f, "%lu", &pages) != 1) _exit(100);
            std::fclose(f);
            rlimit lim;
            lim.rlim_cur = lim.rlim_max = pages * size_t(sysconf(_SC_PAGESIZE)) + (4u << 20);
            setrlimit(RLIMIT_AS, &lim);
            _exit(run(in, out, TRIMLET_RECT, {0, 0, 10, 10}, TRIMLET_ALL_FRAMES, c.format).r.status);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
#endif
    }
}

}  // namespace
