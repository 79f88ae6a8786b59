// HEIC and AVIF through libheif: files made by heif-enc and avifenc, read back
// against heif-convert (the same decoders: exact) and avifdec (dav1d with
// libavif's own colour conversion: within its rounding); AVIF output read by
// avifdec; damaged files refused with their class.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "trimlet.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tt::Pixels;

int sh(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

bool have_tools() {
    return sh("{ command -v heif-enc && command -v heif-convert && command -v avifenc && command -v avifdec; }") == 0;
}
#define NEED_TOOLS() \
    if (!have_tools()) GTEST_SKIP() << "needs heif-enc, heif-convert (libheif-examples), avifenc, avifdec (libavif-bin)"

// A smooth picture (kind to lossy codecs) with a plain 8-pixel border for auto
// and alpha falling from left to right.
Pixels scene(int w, int h) {
    Pixels p = tt::solid(w, h, 240, 240, 240);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *px = p.at(x, y);
            if (x >= 8 && y >= 8 && x < w - 8 && y < h - 8) {
                px[0] = uint8_t(x * 255 / w), px[1] = uint8_t(y * 255 / h), px[2] = uint8_t(128 + (x - y) / 2);
            }
            px[3] = uint8_t(255 - x * 127 / w);
        }
    }
    return p;
}

// The scene as an 8-bit PNG of a colour type (0 grey, 2 RGB, 6 RGBA), or a
// 16-bit one whose low bytes vary, for the 10- and 12-bit encodings.
std::string source(int color_type, int depth, int w = 128, int h = 96) {
    Pixels p = scene(w, h);
    int channels = color_type == 0 ? 1 : color_type == 2 ? 3 : 4;
    Bytes rows;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                uint8_t v = p.at(x, y)[channels == 1 ? 0 : c == 3 ? 3 : c];
                rows.push_back(v);
                if (depth == 16) rows.push_back(uint8_t(x * 7 + y * 3));
            }
        }
    }
    std::string path = tt::scratch("src" + std::to_string(color_type) + "_" + std::to_string(depth) + ".png");
    tt::write_png_raw(path, w, h, color_type, depth, rows);
    return path;
}

// A reference decoder's PNG as 8-bit RGBA; 16-bit samples of a `bits`-bit
// image scaled as the library scales them: round(v * 255 / max).
Pixels read_reference(const std::string &path, int bits) {
    FILE *f = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (f == nullptr || setjmp(png_jmpbuf(png))) std::abort();  // the tools wrote it
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_GRAY_TO_RGB, nullptr);
    Pixels p = tt::solid(int(png_get_image_width(png, info)), int(png_get_image_height(png, info)), 0, 0, 0);
    int depth = png_get_bit_depth(png, info), channels = png_get_channels(png, info);
    png_bytepp rows = png_get_rows(png, info);
    uint32_t max = (1u << bits) - 1;
    for (int y = 0; y < p.h; ++y) {
        for (int x = 0; x < p.w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const png_byte *s = rows[y] + (size_t(x) * channels + c) * (depth / 8);
                uint32_t v = depth == 8 ? s[0] : ((uint32_t(s[0]) << 8 | s[1]) >> (16 - bits));
                p.at(x, y)[c] = uint8_t(depth == 8 ? v : (v * 510 + max) / (2 * max));
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return p;
}

struct Outcome {
    int ok, status;
    trimlet_box box;
    std::string error, format;
    double seconds;
};

// One trimlet_run from a file to a file (nullptr: a plan).
Outcome run(const std::string &in, const char *out, int rule, std::vector<int> params,
        trimlet_options o = {}) {
    o.size = sizeof o;
    trimlet_request q{};
    q.size = sizeof q;
    q.input_path = in.c_str();
    q.output_path = out;
    q.rule = rule;
    q.params = params.data();
    q.options = &o;
    trimlet_result r{};
    r.size = sizeof r;
    auto t0 = std::chrono::steady_clock::now();
    int ok = trimlet_run(&q, &r);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {ok, r.status, r.box, r.error, r.output_format ? r.output_format : "", s};
}

// The whole picture as the library decodes it.
Pixels whole(const std::string &in) {
    std::string out = tt::scratch("whole.png");
    Outcome r = run(in, out.c_str(), TRIMLET_RECT, {0, 0, 1 << 20, 1 << 20});
    EXPECT_TRUE(r.ok) << in << ": " << r.error;
    return tt::read_png(out);
}

Pixels rotated_ccw(const Pixels &p) {
    Pixels o = tt::solid(p.h, p.w, 0, 0, 0);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) std::memcpy(o.at(y, p.w - 1 - x), p.at(x, y), 4);
    return o;
}
Pixels flipped(const Pixels &p, bool left_right) {
    Pixels o = p;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            std::memcpy(o.at(x, y), p.at(left_right ? p.w - 1 - x : x, left_right ? y : p.h - 1 - y), 4);
    return o;
}

double psnr(const Pixels &a, const Pixels &b) {
    if (a.w != b.w || a.h != b.h) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) sum += std::pow(double(a.rgba[i]) - b.rgba[i], 2);
    return 10 * std::log10(255.0 * 255.0 * a.rgba.size() / std::max(sum, 1e-9));
}

TEST(HeifRead, WholeImageEqualsTheReferenceDecoders) {
    NEED_TOOLS();
    struct Case {
        const char *name;
        int color_type, depth, bits;
        const char *make;  // %s: the source PNG; the file is written to f
        int avifdec_tolerance;  // -1: HEIC, which avifdec does not read
        int w = 128, h = 96;
    } cases[] = {
        {"heic 1x1", 2, 8, 8, "heif-enc -o f %s", -1, 1, 1},  // coded as 64x64
        {"heic 129x33", 2, 8, 8, "heif-enc -o f %s", -1, 129, 33},
        {"avif 3x5", 6, 8, 8, "avifenc %s f", 1, 3, 5},
        {"heic rgb", 2, 8, 8, "heif-enc -q 90 -o f %s", -1},
        {"heic alpha", 6, 8, 8, "heif-enc -q 90 -o f %s", -1},
        {"heic grey", 0, 8, 8, "heif-enc -q 90 -o f %s", -1},
        {"heic 10-bit alpha", 6, 16, 10, "heif-enc -b 10 -o f %s", -1},
        {"heic 12-bit", 2, 16, 12, "heif-enc -b 12 -o f %s", -1},
        {"heic grey 10-bit", 0, 16, 10, "heif-enc -b 10 -o f %s", -1},
        {"avif by heif-enc", 6, 8, 8, "heif-enc -A -p chroma=444 -o f %s", 1},
        {"avif rgb", 2, 8, 8, "avifenc %s f", 1},
        {"avif alpha 444", 6, 8, 8, "avifenc -y 444 %s f", 1},
        {"avif monochrome", 0, 8, 8, "avifenc -y 400 %s f", 1},
        {"avif 10-bit alpha", 6, 16, 10, "avifenc -d 10 %s f", 1},
        {"avif 12-bit", 2, 16, 12, "avifenc -d 12 %s f", 1},
        {"avif grid 2x1", 2, 8, 8, "avifenc -g 2x1 %s f", 1},
        {"avif lossless", 6, 8, 8, "avifenc -l %s f", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string src = source(c.color_type, c.depth, c.w, c.h), f = tt::scratch("f");
        char cmd[256];
        std::snprintf(cmd, sizeof cmd, c.make, src.c_str());
        ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && rm -f f && " + cmd), 0);
        Pixels ours = whole(f);
        ASSERT_EQ(sh("heif-convert --quiet " + f + " " + tt::scratch("ref.png")), 0);
        EXPECT_EQ(tt::max_diff(ours, read_reference(tt::scratch("ref.png"), c.bits)), 0);
        if (c.avifdec_tolerance >= 0) {
            ASSERT_EQ(sh("avifdec " + f + " " + tt::scratch("ref.png")), 0);
            int diff = tt::max_diff(ours, read_reference(tt::scratch("ref.png"), c.bits));
            EXPECT_LE(diff, c.avifdec_tolerance);
            std::printf("[ %s ] avifdec differs by at most %d\n", c.name, diff);
        }
        if (c.avifdec_tolerance == 0) {
            EXPECT_EQ(tt::max_diff(ours, tt::read_png(src)), 0);
        }
    }
}

TEST(HeifRead, ContainerRotationMirrorAndApertureAreApplied) {
    NEED_TOOLS();
    // Opaque: libheif 1.15 drops or leaves unturned the alpha of files whose
    // alpha item carries its own transform, as libavif writes them.
    std::string src = source(2, 8), plain = tt::scratch("plain.avif"), f = tt::scratch("t.avif");
    ASSERT_EQ(sh("avifenc -l " + src + " " + plain), 0);
    Pixels stored = whole(plain);
    struct Case {
        const char *flags;
        Pixels upright;
    } cases[] = {
        {"--irot 1", rotated_ccw(stored)},
        {"--irot 2", rotated_ccw(rotated_ccw(stored))},
        {"--irot 3", rotated_ccw(rotated_ccw(rotated_ccw(stored)))},
        {"--imir 0", flipped(stored, false)},
        {"--imir 1", flipped(stored, true)},
        {"--irot 1 --imir 1", flipped(rotated_ccw(stored), true)},
        {"--crop 10,6,40,30", tt::crop(stored, 10, 6, 40, 30)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        ASSERT_EQ(sh("rm -f " + f + " && avifenc -l " + std::string(c.flags) + " " + src + " " + f), 0);
        Outcome plan = run(f, nullptr, TRIMLET_ASPECT, {0});
        EXPECT_EQ(plan.box.image_w, c.upright.w);
        EXPECT_EQ(plan.box.image_h, c.upright.h);
        EXPECT_EQ(tt::max_diff(whole(f), c.upright), 0);
    }
}

TEST(HeifRead, EveryRuleCutsTheDecodedPicture) {
    NEED_TOOLS();
    const char *makes[] = {"heif-enc -q 90 -o f %s", "avifenc %s f"};
    struct Rule {
        int rule;
        std::vector<int> params;
    } rules[] = {{TRIMLET_RECT, {5, 7, 30, 20}}, {TRIMLET_ASPECT, {0}},         {TRIMLET_AUTO, {10}},
                 {TRIMLET_EDGES, {10, 5, 0, 20}}, {TRIMLET_RATIO, {5, 2}}};
    for (const char *make : makes) {
        SCOPED_TRACE(make);
        std::string src = source(2, 8), f = tt::scratch("f"), out = tt::scratch("out.png");
        char cmd[256];
        std::snprintf(cmd, sizeof cmd, make, src.c_str());
        ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && rm -f f && " + cmd), 0);
        Pixels all = whole(f);
        for (const Rule &r : rules) {
            Outcome c = run(f, out.c_str(), r.rule, r.params);
            ASSERT_TRUE(c.ok) << c.error;
            EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(all, c.box.x, c.box.y, c.box.w, c.box.h)), 0);
            if (r.rule == TRIMLET_AUTO) {  // the 8-pixel border, give or take the codec's ringing
                EXPECT_NEAR(c.box.x, 8, 2);
                EXPECT_NEAR(c.box.w, 112, 4);
            }
        }
    }
}

TEST(HeifMetadata, ProfileAndExifAreReadSayOrientationOneAndRoundTripThroughAvif) {
    NEED_TOOLS();
    // Orientation 6 in a TIFF block, which libavif stores with offset 0, and
    // after "Exif\0\0" with offset 6; avifenc also makes the tag an irot.
    const Bytes exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    Bytes upright = exif, prefixed = {'E', 'x', 'i', 'f', 0, 0};
    upright[18] = 1;
    prefixed.insert(prefixed.end(), exif.begin(), exif.end());
    Bytes icc = tt::read_file("/usr/share/color/icc/sRGB.icc");  // icc-profiles-free
    std::string src = source(2, 8), f = tt::scratch("m.avif"), out = tt::scratch("o.avif");
    tt::write_file(tt::scratch("icc"), icc);
    Pixels turned = rotated_ccw(rotated_ccw(rotated_ccw(tt::read_png(src))));
    trimlet_options o{};
    o.metadata = TRIMLET_KEEP;
    o.orient = TRIMLET_APPLY_EXIF;
    for (const Bytes &payload : {exif, prefixed}) {
        tt::write_file(tt::scratch("exif"), payload);
        ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && rm -f m.avif && avifenc -l --icc icc --exif exif " + src + " m.avif"), 0);
        // HEIF to AVIF to PNG: the same profile and Exif (Orientation 1) all
        // the way, heif-convert reading the same Exif back; the pixels turned
        // once, by the container.
        ASSERT_TRUE(run(f, out.c_str(), TRIMLET_RECT, {0, 0, 1000, 1000}, o).ok);
        ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && heif-convert --quiet --with-exif --skip-exif-offset o.avif o.png"), 0);
        EXPECT_EQ(tt::read_file(tt::scratch("o.exif")), upright);
        ASSERT_TRUE(run(out, tt::scratch("m.png").c_str(), TRIMLET_RECT, {0, 0, 1000, 1000}, o).ok);
        Bytes got_icc, got_exif;
        tt::read_png_metadata(tt::scratch("m.png"), &got_icc, &got_exif);
        EXPECT_EQ(got_icc, icc);
        EXPECT_EQ(got_exif, upright);
        EXPECT_GT(psnr(tt::read_png(tt::scratch("m.png")), turned), 33);
    }
    // An nclx colour description alone is no profile.
    ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && rm -f m.avif && avifenc " + src + " m.avif"), 0);
    ASSERT_TRUE(run(f, tt::scratch("m.png").c_str(), TRIMLET_RECT, {0, 0, 9, 9}, o).ok);
    Bytes got_icc, got_exif;
    tt::read_png_metadata(tt::scratch("m.png"), &got_icc, &got_exif);
    EXPECT_TRUE(got_icc.empty() && got_exif.empty());
}

TEST(AvifWrite, DecodesToTheCropWithinTheQualitysLoss) {
    NEED_TOOLS();
    ASSERT_TRUE(trimlet_has("avif-write") && trimlet_has("avif") && trimlet_has("heic"));
    std::string src = source(6, 8), out = tt::scratch("o.avif"), back = tt::scratch("back.png");
    Pixels want = tt::crop(tt::read_png(src), 4, 2, 101, 77);
    double last = 0;
    for (int quality : {20, 0, 90}) {  // 0: the default, 50
        SCOPED_TRACE(quality);
        trimlet_options o{};
        o.quality = quality;
        Outcome r = run(src, out.c_str(), TRIMLET_RECT, {4, 2, 101, 77}, o);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.format, "avif");
        ASSERT_EQ(sh("avifdec " + out + " " + back), 0);
        Pixels got = tt::read_png(back);  // alpha kept, odd sizes kept
        ASSERT_EQ(got.w, 101);
        ASSERT_EQ(got.h, 77);
        double db = psnr(got, want);
        EXPECT_GT(db, quality == 0 ? 33 : last);
        last = db;
        std::printf("[ AVIF q%d ] PSNR %.2f dB, %zu bytes\n", quality ? quality : 50, db, tt::read_file(out).size());
    }
    // By name, any case; lossless is JPEG's alone; the seven write PNG.
    trimlet_options o{};
    o.format = "AVIF";
    ASSERT_TRUE(run(src, tt::scratch("o.x").c_str(), TRIMLET_RECT, {0, 0, 1, 1}, o).ok);
    EXPECT_EQ(sh("heif-info " + tt::scratch("o.x") + " | grep -q 'MIME type: image/avif'"), 0);
    o.lossless = 1;
    Outcome refused = run(src, out.c_str(), TRIMLET_RECT, {0, 0, 8, 8}, o);
    EXPECT_EQ(refused.status, TRIMLET_ERR_UNSUPPORTED);
    EXPECT_EQ(refused.error, trimlet_has("webp") ? "lossless: output must be JPEG or WebP, not avif"
                                                 : "lossless: output must be JPEG, not avif");
    ASSERT_TRUE(trimlet_rect(src.c_str(), out.c_str(), 0, 0, 8, 8));
    EXPECT_EQ(tt::sniff(out), "png");
}

TEST(HeifHostile, DamagedTruncatedAndHugeFilesAreRefusedQuickly) {
    NEED_TOOLS();
    std::string src = source(6, 8);
    ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && heif-enc -q 50 -o f.heic " + src + " && avifenc " + src + " f.avif"), 0);
    for (const char *name : {"f.heic", "f.avif"}) {
        Bytes good = tt::read_file(tt::scratch(name));
        Bytes huge = good;  // every ispe box claims 32768 x 32768
        for (size_t i = 4; i + 16 <= huge.size(); ++i) {
            if (std::memcmp(&huge[i], "ispe", 4) == 0) {
                for (size_t k : {8, 12}) huge[i + k] = 0, huge[i + k + 1] = 0, huge[i + k + 2] = 0x80, huge[i + k + 3] = 0;
            }
        }
        struct Case {
            const char *what;
            Bytes bytes;
            long long max_pixels;
            std::vector<int> statuses;
            const char *message;
        } cases[] = {
            {"huge header", huge, 0, {TRIMLET_ERR_TOO_LARGE}, "image too large: 32768x32768 is more than 268402689 pixels (max_pixels)"},
            {"huge header, no pixel limit", huge, -1, {TRIMLET_ERR_CORRUPT}, nullptr},
            {"truncated to 30 bytes", Bytes(good.begin(), good.begin() + 30), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            {"truncated to half", Bytes(good.begin(), good.begin() + good.size() / 2), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            {"last byte missing", Bytes(good.begin(), good.end() - 1), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            // A 128x64 header over a grid record that claims more.
            {"grid bomb", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_grid_claims_16000x16000.avif"), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            {"grid bomb", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_grid_claims_60000x60000.avif"), -1, {TRIMLET_ERR_CORRUPT}, nullptr},
            // A 1x1 header over a 200x150 picture: damage, not a picture too
            // large (libheif's message about it ends in a newline).
            {"coded bomb", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_ispe_1x1_coded_200x150.avif"), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            // No extent lengths: libheif would hand dav1d nothing, which it
            // prints about and leaks.
            {"iloc without lengths", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_iloc_without_lengths.avif"), 0, {TRIMLET_ERR_CORRUPT}, nullptr},
            // Offsets and lengths of 11 and 15 bytes, an iloc of version 12
            // and a grid tile without extents: libheif hands dav1d an
            // empty item all the same (found by the fuzzer).
            {"iloc field sizes", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_iloc_field_sizes.avif"), 0, {TRIMLET_ERR_CORRUPT},
             nullptr},
            {"iloc version 12", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_iloc_version_12.avif"), 0, {TRIMLET_ERR_CORRUPT},
             nullptr},
            {"grid tile without extents", tt::read_file(TRIMLET_HOSTILE_DIR "/heif_tile_without_extents.avif"), 0,
             {TRIMLET_ERR_CORRUPT}, nullptr},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.what);
            std::string in = tt::scratch("bad");
            tt::write_file(in, c.bytes);
            trimlet_options o{};
            o.max_pixels = c.max_pixels;
            Outcome r = run(in, tt::scratch("bad.png").c_str(), TRIMLET_RECT, {0, 0, 10, 10}, o);
            EXPECT_FALSE(r.ok);
            EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), r.status), c.statuses.end()) << r.status << " " << r.error;
            if (c.message) {
                EXPECT_EQ(r.error, c.message);
            } else {
                EXPECT_EQ(r.error.rfind("cannot decode '" + in + "': ", 0), 0u) << r.error;
            }
            EXPECT_EQ(r.error.find_first_of("\r\n"), std::string::npos);
            EXPECT_LT(r.seconds, 1.0);
        }
    }
    // A 320x240 picture under a header that says 96x72.
    ASSERT_EQ(sh("cd " + tt::scratch_dir() + " && avifenc -s 10 " + source(2, 8, 320, 240) + " big.avif"), 0);
    Bytes big = tt::read_file(tt::scratch("big.avif"));
    for (size_t i = 4; i + 16 <= big.size(); ++i) {
        if (std::memcmp(&big[i], "ispe", 4) == 0) big[i + 11] = 96, big[i + 10] = 0, big[i + 15] = 72, big[i + 14] = 0;
    }
    std::string in = tt::scratch("coded_larger.avif");
    tt::write_file(in, big);
    Outcome r = run(in, tt::scratch("bad.png").c_str(), TRIMLET_RECT, {0, 0, 10, 10});
    EXPECT_EQ(r.status, TRIMLET_ERR_CORRUPT);
    EXPECT_EQ(r.error, "cannot decode '" + in + "': coded picture of 320x240 is larger than its header's 96x72");
}

}  // namespace
