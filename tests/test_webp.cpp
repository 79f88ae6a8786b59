// SPDX-License-Identifier: MIT
// WebP through libwebp: inputs made with libwebp's own encoder and mux
// library as its tools (cwebp, webpmux) make them (webp_make.h) decode exactly as Pillow decodes them, regions equal whole decodes at any
// offset, every rule runs on them; WebP output read back by Pillow, lossless
// exactly; the ICC profile and Exif block carried both ways; damaged files
// refused with their class. A build without libwebp refuses WebP as
// unavailable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "trimlet.h"
#include "webp_make.h"

namespace {

using tt::Pixels;
using Bytes = std::vector<uint8_t>;

const bool WEBP = trimlet_has("webp") != 0;

void sh(const std::string &command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// Detail at every scale and colour edges, so that chroma upsampling and the
// loop filter at a region's edge show in the pixels; alpha varies when asked.
Pixels photo(int w, int h, bool alpha) {
    Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(128 + 100 * std::sin(x * 0.21) * std::cos(y * 0.13));
            q[1] = uint8_t((x / 5) * 71 ^ (y / 3) * 29);
            q[2] = uint8_t(x * y);
            if (alpha) q[3] = uint8_t(x < 6 ? 0 : (x * 13 + y * 7) & 255);
        }
    }
    return p;
}

// Smooth shading and soft-edged squares, as a photo has; alpha from 40 to
// 254 across, when asked.
Pixels smooth(int w, int h, bool alpha) {
    Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(128 + 100 * std::sin(x * 0.11) * std::cos(y * 0.07));
            q[1] = uint8_t(128 + 90 * std::cos((x + y) * 0.05));
            q[2] = uint8_t(60 + ((x / 16 + y / 16) % 2 ? 40 : 0) + x / 2);
            if (alpha) q[3] = uint8_t(40 + x * 214 / (w - 1));
        }
    }
    return p;
}

// cwebp's file of p with the given options.
std::string cwebp(const std::string &name, const Pixels &p, const std::string &options) {
    std::string out = tt::scratch(name + ".webp");
    Bytes file = tt::webp_encode(p, options);
    EXPECT_FALSE(file.empty()) << "cannot encode " << name << " with " << options;
    tt::write_file(out, file);
    return out;
}

// Pillow's decode of a WebP file (the first frame), and its chunks.
struct Pillow {
    Pixels px;
    Bytes icc, exif;
};
Pillow pillow(const std::string &webp) {
    std::string png = webp + ".pil.png", icc = webp + ".icc", exif = webp + ".exif";
    sh(std::string(TRIMLET_PYTHON) + " " + TRIMLET_TEST_DIR "/webp_pillow.py " + webp + " " + png + " " + icc +
       " " + exif);
    return Pillow{tt::read_png(png), tt::read_file(icc), tt::read_file(exif)};
}

struct Ran {
    int status = -1;
    std::string error;
    trimlet_box box{};
    Bytes out;
    std::string format;
    double seconds = 0;
};

// trimlet_run on a file, the output in memory.
Ran run(const std::string &in, int rule, std::vector<int> params, trimlet_options o = {}) {
    o.size = sizeof o;
    params.resize(4);
    trimlet_request r{};
    r.size = sizeof r;
    r.input_path = in.c_str();
    r.output_to_memory = 1;
    r.rule = rule;
    r.params = params.data();
    r.options = &o;
    trimlet_result res{};
    res.size = sizeof res;
    auto t0 = std::chrono::steady_clock::now();
    trimlet_run(&r, &res);
    Ran out;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out.status = res.status;
    out.error = res.error;
    out.box = res.box;
    if (res.output != nullptr) out.out.assign((uint8_t *)res.output, (uint8_t *)res.output + res.output_size);
    if (res.output_format != nullptr) out.format = res.output_format;
    trimlet_free(res.output);
    return out;
}

trimlet_options with(const char *format, int quality = 0, int lossless = 0) {
    trimlet_options o{};
    o.format = format;
    o.quality = quality;
    o.lossless = lossless;
    return o;
}

std::string saved(const Ran &r, const std::string &name) {
    std::string path = tt::scratch(name);
    tt::write_file(path, r.out);
    return path;
}
Pixels png_of(const Ran &r) { return tt::read_png(saved(r, "out.png")); }

double psnr(const Pixels &a, const Pixels &b) {
    double sum = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) {
        if (i % 4 == 3) continue;
        double d = double(a.rgba[i]) - b.rgba[i];
        sum += d * d;
    }
    double mse = sum / (double(a.rgba.size()) * 3 / 4);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The kinds of WebP file, each made by libwebp's own tools.
struct Kind {
    const char *name;
    bool alpha;
    const char *options;  // cwebp's; nullptr: the animation below
};
const Kind KINDS[] = {
    {"lossy", false, "-q 80"},
    {"lossy, simple filter", false, "-q 60 -nostrong -f 60"},
    {"lossy, alpha", true, "-q 80 -alpha_q 90"},
    {"lossless", false, "-lossless"},
    {"lossless, alpha", true, "-lossless -exact"},
    {"animation", true, nullptr},
};

// An animation whose first frame (30x20 at 10,6) lies on a 48x34 canvas that
// the second frame fills.
std::string animation() {
    std::string a = cwebp("frame1", photo(30, 20, true), "-q 90"), b = cwebp("frame2", photo(48, 34, false), "-lossless");
    std::string out = tt::scratch("anim.webp");
    Bytes file = tt::webp_animation({{tt::read_file(a), 100, 10, 6}, {tt::read_file(b), 100, 0, 0}}, 0);
    EXPECT_FALSE(file.empty());
    tt::write_file(out, file);
    return out;
}

std::string make(const Kind &k, int w, int h) {
    if (k.options == nullptr) return animation();
    return cwebp("in", photo(w, h, k.alpha), k.options);
}

TEST(WebpInput, WholeCropsEqualPillowAndRegionsEqualTheWholeDecodeAtOddOffsets) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    for (const Kind &k : KINDS) {
        SCOPED_TRACE(k.name);
        std::string in = make(k, 61, 45);
        Pixels ref = pillow(in).px;
        ASSERT_GT(ref.w, 0);
        Ran whole = run(in, TRIMLET_RECT, {0, 0, ref.w, ref.h}, with("png"));
        ASSERT_EQ(whole.error, "");
        EXPECT_EQ(tt::max_diff(png_of(whole), ref), 0);
        const int rects[][4] = {{1, 1, 7, 9}, {3, 5, 16, 16}, {2, 2, 1, 1}, {17, 3, 30, 21},
                                {ref.w - 9, ref.h - 7, 9, 7}, {0, 11, ref.w, 13}, {5, 0, 11, ref.h}};
        for (const auto &r : rects) {
            SCOPED_TRACE(std::to_string(r[0]) + "," + std::to_string(r[1]) + " " + std::to_string(r[2]) + "x" +
                         std::to_string(r[3]));
            Ran part = run(in, TRIMLET_RECT, {r[0], r[1], r[2], r[3]}, with("png"));
            ASSERT_EQ(part.error, "");
            EXPECT_EQ(tt::max_diff(png_of(part), tt::crop(ref, r[0], r[1], r[2], r[3])), 0);
        }
    }
}

// libwebp's own decode of a file (what dwebp writes), as RGBA.
Pixels dwebp(const std::string &webp) { return tt::webp_decode(tt::read_file(webp)); }

// Files of libwebp's test data that cwebp does not make: alpha compressed
// with the horizontal filter, and palette indices past the palette
// (transparent black in libwebp). Regions on every row parity equal
// libwebp's whole decode.
TEST(WebpInput, LibwebpTestFilesDecodeAsLibwebpDoesWholeAndByRegion) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    for (const char *name : {"alpha_filter_1.webp", "bad_palette_index.webp"}) {
        SCOPED_TRACE(name);
        std::string in = std::string(TRIMLET_TEST_DIR) + "/data/webp/" + name;
        Pixels ref = dwebp(in);
        ASSERT_EQ(ref.rgba.size(), size_t(ref.w) * ref.h * 4);
        const int rects[][4] = {{0, 0, ref.w, ref.h}, {0, 3, 16, 4}, {0, 2, 16, 1}, {1, 5, 9, 9}, {3, 1, 12, 14}};
        for (const auto &r : rects) {
            SCOPED_TRACE(std::to_string(r[0]) + "," + std::to_string(r[1]));
            Ran part = run(in, TRIMLET_RECT, {r[0], r[1], r[2], r[3]}, with("png"));
            ASSERT_EQ(part.error, "");
            EXPECT_EQ(tt::max_diff(png_of(part), tt::crop(ref, r[0], r[1], r[2], r[3])), 0);
        }
    }
}

TEST(WebpInput, EveryRuleCutsTheBoxItReports) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    // A white frame around the picture, kept exact by lossless coding, for
    // the automatic rule.
    Pixels framed = tt::solid(64, 40, 255, 255, 255);
    Pixels inner = photo(64, 40, false);
    for (int y = 7; y < 31; ++y) std::memcpy(framed.at(9, y), inner.at(9, y), 40 * 4);
    const std::string kinds[] = {cwebp("lossy", framed, "-q 85"), cwebp("lossless", framed, "-lossless")};
    struct Rule {
        int rule;
        std::vector<int> params;
    } rules[] = {{TRIMLET_RECT, {5, 3, 20, 11}}, {TRIMLET_ASPECT, {1}}, {TRIMLET_EDGES, {3, 5, 7, 9}},
                 {TRIMLET_RATIO, {3, 1}},         {TRIMLET_AUTO, {10}}};
    for (const std::string &in : kinds) {
        Pixels ref = pillow(in).px;
        for (const Rule &r : rules) {
            SCOPED_TRACE(in + " rule " + std::to_string(r.rule));
            Ran c = run(in, r.rule, r.params, with("png"));
            ASSERT_EQ(c.error, "");
            EXPECT_EQ(c.box.image_w, 64);
            EXPECT_EQ(tt::max_diff(png_of(c), tt::crop(ref, c.box.x, c.box.y, c.box.w, c.box.h)), 0);
            if (r.rule == TRIMLET_AUTO && in.find("lossless") != std::string::npos) {
                EXPECT_EQ(std::vector<int>({c.box.x, c.box.y, c.box.w, c.box.h}), std::vector<int>({9, 7, 40, 24}));
            }
        }
    }
}

TEST(WebpOutput, LossyWithinTheQualitysLossAndAlphaKept) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    // Quality 0 is WebP's default, 80 (the same file as 80). The PSNRs are
    // those of Pillow's own encoder at the same quality (32.9 dB at 80, 35.4
    // at 100, 28.4 at 10). Alpha is coded losslessly at every quality.
    struct Case {
        int quality;
        bool alpha;
        double min_psnr;
    } cases[] = {{0, false, 32.5}, {80, false, 32.5}, {100, false, 35}, {10, false, 28}, {80, true, 32.5}};
    size_t size80 = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.quality) + (c.alpha ? " alpha" : ""));
        Pixels src = smooth(96, 64, c.alpha);
        std::string in = tt::scratch("src.png");
        tt::write_png(in, src);
        Pixels want = tt::crop(src, 3, 5, 80, 50);
        Ran r = run(in, TRIMLET_RECT, {3, 5, 80, 50}, with("webp", c.quality));
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.format, "webp");
        Pixels got = pillow(saved(r, "out.webp")).px;
        ASSERT_EQ(got.w, 80);
        double db = psnr(got, want);
        EXPECT_GE(db, c.min_psnr);
        int alpha = 0;
        for (size_t i = 3; i < got.rgba.size(); i += 4) alpha = std::max(alpha, std::abs(got.rgba[i] - want.rgba[i]));
        EXPECT_EQ(alpha, 0);
        if (c.quality == 0) size80 = r.out.size();
        std::printf("quality %d%s: %.1f dB, %zu bytes\n", c.quality, c.alpha ? " alpha" : "", db, r.out.size());
        if (c.quality == 80 && !c.alpha) {
            EXPECT_EQ(r.out.size(), size80);
        }
    }
}

TEST(WebpOutput, LosslessKeepsEveryPixelAndTheColourUnderTransparency) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    Pixels src = photo(50, 30, true);  // columns 0..5 have alpha 0 over colour
    // From PNG and from a lossy WebP: lossless output takes any input.
    std::string png = tt::scratch("src.png");
    tt::write_png(png, src);
    std::string lossy = cwebp("lossy", src, "-q 50");
    for (const std::string &in : {png, lossy}) {
        SCOPED_TRACE(in);
        Pixels want = in == png ? src : pillow(lossy).px;
        Ran r = run(in, TRIMLET_EDGES, {10, 0, 5, 0}, with("webp", 0, 1));  // percent: 0,3 50x25
        ASSERT_EQ(r.error, "");
        Pixels got = pillow(saved(r, "out.webp")).px;
        EXPECT_EQ(tt::max_diff(got, tt::crop(want, r.box.x, r.box.y, r.box.w, r.box.h)), 0);
    }
    // The extension chooses lossless WebP as well; lossless to PNG is still
    // the JPEG cut's refusal.
    trimlet_options o = with(nullptr, 0, 1);
    o.size = sizeof o;
    const int p[4] = {0, 0, 10, 10};
    std::string out = tt::scratch("o.webp");
    char err[TRIMLET_ERROR_SIZE];
    ASSERT_EQ(trimlet_crop_file(png.c_str(), out.c_str(), TRIMLET_RECT, p, &o, err), 1) << err;
    EXPECT_EQ(tt::max_diff(pillow(out).px, tt::crop(src, 0, 0, 10, 10)), 0);
    EXPECT_EQ(run(png, TRIMLET_RECT, {0, 0, 10, 10}, with("png", 0, 1)).error,
              "lossless: output must be JPEG or WebP, not png");
}

TEST(WebpOutput, SidesOver16383AreTooLarge) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    std::string in = tt::scratch("wide.png");
    tt::write_png(in, tt::solid(16384, 2, 1, 2, 3));
    Ran r = run(in, TRIMLET_RECT, {0, 0, 16384, 2}, with("webp"));
    EXPECT_EQ(r.status, TRIMLET_ERR_TOO_LARGE);
    EXPECT_EQ(r.error, "cannot encode '<memory>': WebP holds at most 16383 pixels a side");
    EXPECT_EQ(run(in, TRIMLET_RECT, {1, 0, 16383, 2}, with("webp")).error, "");
}

// A little-endian Exif block whose IFD0 holds Orientation.
Bytes exif_block(int orientation) {
    Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
               uint8_t(orientation), 0, 0, 0, 0, 0, 0, 0};
    return b;
}

TEST(WebpMetadata, ProfileAndExifComeBackByteForByteAndTheOrientationTurns) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    Bytes icc = tt::read_file("/usr/share/color/icc/compatibleWithAdobeRGB1998.icc");
    ASSERT_FALSE(icc.empty());
    Bytes exif = exif_block(6);
    // The EXIF chunk as some writers leave it, with JPEG's "Exif\0\0" first.
    Bytes prefixed(6 + exif.size(), 0);
    std::memcpy(prefixed.data(), "Exif", 4);
    std::memcpy(prefixed.data() + 6, exif.data(), exif.size());
    std::string plain = cwebp("plain", photo(40, 24, false), "-q 90");
    std::string in = tt::scratch("meta.webp");
    tt::write_file(in, tt::webp_with_chunks(tt::read_file(plain), icc, prefixed));
    Pixels ref = pillow(plain).px;

    trimlet_options keep = with("webp", 0, 1);
    keep.metadata = TRIMLET_KEEP;
    Ran r = run(in, TRIMLET_RECT, {2, 3, 20, 10}, keep);
    ASSERT_EQ(r.error, "");
    Pillow got = pillow(saved(r, "keep.webp"));
    EXPECT_EQ(got.icc, icc);
    EXPECT_EQ(got.exif, exif);
    EXPECT_EQ(tt::max_diff(got.px, tt::crop(ref, 2, 3, 20, 10)), 0);
    // Into PNG too; stripped by default.
    keep.format = "png";
    keep.lossless = 0;
    Bytes png_icc, png_exif;
    tt::read_png_metadata(saved(run(in, TRIMLET_RECT, {2, 3, 20, 10}, keep), "keep.png"), &png_icc, &png_exif);
    EXPECT_EQ(png_icc, icc);
    EXPECT_EQ(png_exif, exif);
    Pillow stripped = pillow(saved(run(in, TRIMLET_RECT, {2, 3, 20, 10}, with("webp")), "strip.webp"));
    EXPECT_TRUE(stripped.icc.empty() && stripped.exif.empty());
    // Orientation 6 (turned 90 clockwise): the rule sees the upright 24x40
    // image, the output is upright and says orientation 1.
    keep.format = "webp";
    keep.lossless = 1;
    keep.orient = TRIMLET_APPLY_EXIF;
    Ran up = run(in, TRIMLET_RECT, {0, 0, 24, 40}, keep);
    ASSERT_EQ(up.error, "");
    Pillow turned = pillow(saved(up, "up.webp"));
    ASSERT_EQ(turned.px.w, 24);
    ASSERT_EQ(turned.px.h, 40);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 24; ++x) {
            ASSERT_EQ(0, std::memcmp(turned.px.at(x, y), ref.at(y, 23 - x), 4)) << x << "," << y;
        }
    }
    EXPECT_EQ(turned.exif, exif_block(1));
}

// The EXIF chunk is found past a chunk of odd length and its pad byte, and
// only inside the RIFF size.
TEST(WebpMetadata, ExifIsReadPastPaddedChunksUpToTheRiffSize) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    const Bytes plain = tt::read_file(cwebp("plain", photo(20, 12, false), "-q 90"));
    auto chunk = [](const char *type, const Bytes &data) {
        Bytes c(type, type + 4);
        for (int s = 0; s < 32; s += 8) c.push_back(uint8_t(data.size() >> s));
        c.insert(c.end(), data.begin(), data.end());
        if (data.size() % 2) c.push_back(0);
        return c;
    };
    Bytes odd = chunk("XTRA", {1, 2, 3}), both = odd, exif = chunk("EXIF", exif_block(6));
    both.insert(both.end(), exif.begin(), exif.end());
    struct Case {
        const char *name;
        size_t counted;  // of the chunks added, the bytes the RIFF size counts
        int image_w;
    } cases[] = {
        {"EXIF after an odd-length chunk", both.size(), 12},
        {"EXIF past the RIFF size", odd.size(), 20},
        {"the RIFF size ends inside EXIF", odd.size() + 8, 20},
    };
    trimlet_options o = with("png");
    o.orient = TRIMLET_APPLY_EXIF;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Bytes f = plain;
        f.insert(f.end(), both.begin(), both.end());
        uint32_t riff = uint32_t(plain.size() - 8 + k.counted);
        for (int i = 0; i < 4; ++i) f[4 + size_t(i)] = uint8_t(riff >> (8 * i));
        std::string in = tt::scratch("walk.webp");
        tt::write_file(in, f);
        Ran r = run(in, TRIMLET_RECT, {0, 0, 4, 4}, o);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.box.image_w, k.image_w);
    }
}

// A file that claims a w x h canvas (VP8X, animated) and holds no frame.
Bytes claims(int w, int h) {
    Bytes b = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0, 0x02, 0, 0, 0};
    for (int v : {w - 1, h - 1}) {
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v >> 16));
    }
    return b;
}

TEST(WebpHostile, DamagedTruncatedAndHugeFilesAreRefusedWithTheirClassQuickly) {
    if (!WEBP) GTEST_SKIP() << "built without libwebp";
    Bytes lossy = tt::read_file(cwebp("lossy", photo(64, 48, true), "-q 80"));
    Bytes lossless = tt::read_file(cwebp("lossless", photo(64, 48, false), "-lossless"));
    Bytes anim = tt::read_file(animation());
    auto cut = [](Bytes b, size_t n) { b.resize(n); return b; };
    auto broken = [](Bytes b, const char *tag) {  // the bitstream's signature after the chunk named tag
        for (size_t i = 12; i + 8 < b.size(); ++i) {
            if (std::memcmp(&b[i], tag, 4) == 0) {
                b[i + 8 + (tag[3] == 'L' ? 0 : 3)] ^= 0x55;
                break;
            }
        }
        return b;
    };
    struct Case {
        const char *name;
        Bytes file;
        int status;
        const char *message;
    } cases[] = {
        {"lossy truncated", cut(lossy, lossy.size() * 2 / 3), TRIMLET_ERR_CORRUPT, "WebP data truncated"},
        {"lossless truncated", cut(lossless, lossless.size() / 2), TRIMLET_ERR_CORRUPT, "WebP data truncated"},
        {"lossy header only", cut(lossy, 30), TRIMLET_ERR_CORRUPT, "WebP data truncated"},
        {"lossy start code", broken(lossy, "VP8 "), TRIMLET_ERR_CORRUPT, "WebP bitstream corrupt"},
        {"lossless signature", broken(lossless, "VP8L"), TRIMLET_ERR_CORRUPT, "WebP bitstream corrupt"},
        {"animation truncated", cut(anim, anim.size() - 40), TRIMLET_ERR_CORRUPT, "WebP animation corrupt"},
        {"RIFF only", cut(lossy, 12), TRIMLET_ERR_CORRUPT, "WebP data truncated"},
        {"32768 a side", claims(32768, 32768), TRIMLET_ERR_TOO_LARGE,
         "image too large: 32768x32768 is more than 268402689 pixels (max_pixels)"},
        {"40000 a side", claims(40000, 100), TRIMLET_ERR_TOO_LARGE, "image too large: 40000x100"},
        {"no frame", claims(100, 100), TRIMLET_ERR_CORRUPT, "WebP animation corrupt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = tt::scratch("bad.webp");
        tt::write_file(in, c.file);
        for (int rule : {TRIMLET_RECT, TRIMLET_AUTO}) {
            Ran r = run(in, rule, rule == TRIMLET_RECT ? std::vector<int>{0, 0, 16, 16} : std::vector<int>{10},
                        with("png"));
            EXPECT_EQ(r.status, c.status);
            std::string text = c.status == TRIMLET_ERR_TOO_LARGE ? c.message
                                                                 : "cannot decode '" + in + "': " + c.message;
            EXPECT_EQ(r.error, text);
            EXPECT_LT(r.seconds, 1.0);
        }
    }
}

TEST(WebpUnavailable, ABuildWithoutLibwebpRefusesWebpInAndOut) {
    if (WEBP) GTEST_SKIP() << "built with libwebp";
    // A 1x1 lossless WebP, as cwebp writes it.
    const Bytes one = {0x52, 0x49, 0x46, 0x46, 0x1e, 0, 0, 0, 0x57, 0x45, 0x42, 0x50, 0x56, 0x50, 0x38, 0x4c,
                       0x11, 0, 0, 0, 0x2f, 0, 0, 0, 0, 0x07, 0x50, 0x8a, 0x2a, 0xd4, 0xa3, 0xff, 0x81, 0x88,
                       0xe8, 0x7f, 0, 0};
    std::string in = tt::scratch("one.webp");
    tt::write_file(in, one);
    Ran r = run(in, TRIMLET_RECT, {0, 0, 1, 1}, with("png"));
    EXPECT_EQ(r.status, TRIMLET_ERR_UNAVAILABLE);
    EXPECT_EQ(r.error, "cannot decode '" + in + "': webp is not available in this build");
    std::string png = tt::scratch("one.png");
    tt::write_png(png, tt::solid(2, 2, 1, 2, 3));
    r = run(png, TRIMLET_RECT, {0, 0, 1, 1}, with("webp"));
    EXPECT_EQ(r.status, TRIMLET_ERR_UNAVAILABLE);
    EXPECT_EQ(r.error, "options: format webp is not available in this build");
}

}  // namespace
