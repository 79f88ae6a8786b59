// SPDX-License-Identifier: MIT
// The error text, the choice and exactness of output formats, the decoding of
// every input format, and the failures of the file stage.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support.h"
#include "trimlet.h"

namespace fs = std::filesystem;
using tt::Pixels;

namespace {

std::string decode_error(const std::string &path, const char *why) {
    return "cannot decode '" + path + "': " + why;
}

std::string encode_error(const std::string &path) { return "cannot encode '" + path + "' (check the extension)"; }

std::string crop_to(const std::string &in, const std::string &out, int x, int y, int w, int h) {
    return tt::outcome(trimlet_rect(in.c_str(), out.c_str(), x, y, w, h));
}

}  // namespace

// The buffer's state before the first call belongs to a process that has
// called nothing yet, which this one may not be (other cases run first when
// the order is shuffled): the check runs in a fresh process that re-runs only
// this case.
TEST(ErrorState, LastErrorIsEmptyBeforeAnyCall) {
#if GTEST_HAS_DEATH_TEST
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(std::strcmp(trimlet_last_error(), "") == 0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
#else
    GTEST_SKIP() << "needs a fresh process (death tests)";
#endif
}

TEST(ErrorState, FailureLeavesItsMessageUntilInitCleanupOrSuccessClearsIt) {
    std::string in = tt::scratch("in.png"), out = tt::scratch("out.png");
    std::string missing = tt::scratch("missing.png");
    tt::write_png(in, tt::gradient(4, 3));
    const char *text = trimlet_last_error();

    EXPECT_EQ(crop_to(missing, out, 0, 0, 1, 1), decode_error(missing, "can't fopen"));
    EXPECT_EQ(crop_to(in, out, 0, 0, 0, 1), "rect: width/height must be > 0 (got 0x1)");
    EXPECT_EQ(trimlet_init(), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(crop_to(missing, out, 0, 0, 1, 1), decode_error(missing, "can't fopen"));
    trimlet_cleanup();
    EXPECT_STREQ(text, "");
    EXPECT_EQ(crop_to(in, out, 0, 0, 1, 0), "rect: width/height must be > 0 (got 1x0)");
    EXPECT_EQ(crop_to(in, out, 0, 0, 1, 1), "");
    EXPECT_EQ(trimlet_last_error(), text);
}

TEST(ErrorState, MessageLongerThan511CharactersIsCutTo511) {
    std::string missing = tt::scratch(std::string(600, 'n') + ".png");
    EXPECT_EQ(crop_to(missing, missing, 0, 0, 1, 1), decode_error(missing, "can't fopen").substr(0, 511));
    EXPECT_EQ(std::strlen(trimlet_last_error()), 511u);
}

TEST(ErrorState, OwnMessagePassedBackAsPathIsQuotedIntact) {
    std::string in = tt::scratch("in.png"), missing = tt::scratch("missing.png");
    tt::write_png(in, tt::gradient(4, 3));
    crop_to(missing, missing, 0, 0, 1, 1);
    std::string first = trimlet_last_error();
    EXPECT_EQ(tt::outcome(trimlet_rect(trimlet_last_error(), in.c_str(), 0, 0, 1, 1)),
              decode_error(first, "can't fopen"));
    std::string second = trimlet_last_error();
    EXPECT_EQ(tt::outcome(trimlet_rect(in.c_str(), trimlet_last_error(), 0, 0, 1, 1)), encode_error(second));
}

// The extension after the last dot of the whole path picks the format; what
// is written matches the crop exactly (PNG and TGA with alpha, BMP flattened
// onto white) or closely (JPEG).
TEST(FileStage, OutputExtensionChoosesFormatAndPixelsSurvive) {
    struct Case {
        const char *name, *format;
    };
    static const Case CASES[] = {
        {"o.png", "png"},       {"o.JPG", "jpeg"},      {"o.Jpeg", "jpeg"},     {"o.jpeg", "jpeg"},
        {"o.BMP", "bmp"},       {"o.tga", "tga"},       {"o.TgA", "tga"},       {"o.webp", "png"},
        {"noext", "png"},       {"trailing.", "png"},   {"a.png.jpg", "jpeg"},  {"a.jpg.png", "png"},
        {"d.jpg/noext", "png"}, {"d.bmp/o.tga", "tga"},
    };
    Pixels src = tt::gradient(40, 30);
    std::string in = tt::scratch("in.png");
    tt::write_png(in, src);
    Pixels want = tt::crop(src, 3, 2, 20, 16);
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        fs::path out = fs::path(tt::scratch_dir()) / c.name;
        fs::create_directories(out.parent_path());
        ASSERT_EQ(crop_to(in, out.string(), 3, 2, 20, 16), "");
        std::string format = tt::sniff(out.string());
        EXPECT_EQ(format, c.format);
        bool flat = format == "jpeg" || format == "bmp";
        EXPECT_LE(tt::max_diff(tt::read_any(out.string()), flat ? tt::flatten(want) : want),
                  format == "jpeg" ? 6 : 0);
    }
}

TEST(FileStage, FlattensAlphaOntoWhiteRoundingToNearest) {
    Pixels src = tt::solid(5, 1, 0, 0, 0, 0);
    const uint8_t rgba[5][4] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 0, 0, 128}, {0, 0, 0, 1}, {10, 20, 30, 255}};
    const uint8_t rgb[5][3] = {{255, 255, 255}, {255, 255, 255}, {127, 127, 127}, {254, 254, 254}, {10, 20, 30}};
    std::memcpy(src.rgba.data(), rgba, sizeof rgba);
    std::string in = tt::scratch("in.png"), out = tt::scratch("out.bmp");
    tt::write_png(in, src);
    ASSERT_EQ(crop_to(in, out, 0, 0, 5, 1), "");
    Pixels got = tt::read_bmp(out);
    ASSERT_EQ(got.w * got.h, 5);
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(std::memcmp(got.at(x, 0), rgb[x], 3), 0) << "pixel " << x;
    }
}

namespace {
Pixels as_is(const Pixels &p) { return p; }
Pixels opaque(const Pixels &p) {
    Pixels o = p;
    for (size_t i = 3; i < o.rgba.size(); i += 4) o.rgba[i] = 255;
    return o;
}
Pixels grey_of_red(const Pixels &p) {
    Pixels o = opaque(p);
    for (size_t i = 0; i < o.rgba.size(); i += 4) o.rgba[i + 1] = o.rgba[i + 2] = o.rgba[i];
    return o;
}
// The decoder's tone mapping of a radiance value c/256: gamma 1/2.2, scale 1.
Pixels hdr_tone(const Pixels &p) {
    Pixels o = opaque(p);
    for (size_t i = 0; i < o.rgba.size(); ++i) {
        if (i % 4 != 3) o.rgba[i] = uint8_t(std::pow(o.rgba[i] / 256.0f, 1 / 2.2f) * 255 + 0.5f);
    }
    return o;
}
Pixels grey_alpha_of_red(const Pixels &p) {
    Pixels o = grey_of_red(p);
    for (size_t i = 3; i < o.rgba.size(); i += 4) o.rgba[i] = p.rgba[i];
    return o;
}
void write_jpeg100(const std::string &path, const Pixels &p) { tt::write_jpeg(path, p, 100); }
// Grey (from R) with alpha, 8 bits.
void write_png_grey_alpha(const std::string &path, const Pixels &p) {
    std::vector<uint8_t> rows;
    for (size_t i = 0; i < p.rgba.size(); i += 4) rows.insert(rows.end(), {p.rgba[i], p.rgba[i + 3]});
    tt::write_png_raw(path, p.w, p.h, 4, 8, rows);
}
// RGB, 16 bits: each sample's high byte is the pixel's, its low byte differs.
void write_png_rgb16(const std::string &path, const Pixels &p) {
    std::vector<uint8_t> rows;
    for (size_t i = 0; i < p.rgba.size(); ++i) {
        if (i % 4 != 3) rows.insert(rows.end(), {p.rgba[i], uint8_t(~p.rgba[i])});
    }
    tt::write_png_raw(path, p.w, p.h, 2, 16, rows);
}
}  // namespace

TEST(FileStage, DecodesEveryInputFormat) {
    struct Case {
        const char *name;
        void (*write)(const std::string &, const Pixels &);
        Pixels (*decoded)(const Pixels &);
        int tolerance;
    };
    static const Case CASES[] = {
        {"in.png", tt::write_png, as_is, 0},    {"in.tga", tt::write_tga, as_is, 0},
        {"ga.png", write_png_grey_alpha, grey_alpha_of_red, 0},
        {"rgb16.png", write_png_rgb16, opaque, 0},
        {"in.pic", tt::write_pic, as_is, 0},    {"in.bmp", tt::write_bmp24, opaque, 0},
        {"in.ppm", tt::write_ppm, opaque, 0},   {"in.psd", tt::write_psd, opaque, 0},
        {"in.gif", tt::write_gif, opaque, 0},   {"in.pgm", tt::write_pgm, grey_of_red, 0},
        {"in.hdr", tt::write_hdr, hdr_tone, 1}, {"in.jpg", write_jpeg100, opaque, 2},
    };
    Pixels src = tt::gradient(12, 9);
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        std::string in = tt::scratch(c.name), out = tt::scratch(std::string(c.name) + ".png");
        c.write(in, src);
        ASSERT_EQ(crop_to(in, out, 2, 1, 7, 6), "");
        EXPECT_LE(tt::max_diff(tt::read_png(out), tt::crop(c.decoded(src), 2, 1, 7, 6)), c.tolerance);
    }
}

TEST(FileStage, AcceptsSidesUpTo32768AndRefusesLarger) {
    Pixels wide = tt::gradient(32768, 1);
    std::string in = tt::scratch("wide.png"), out = tt::scratch("out.png");
    tt::write_png(in, wide);
    ASSERT_EQ(crop_to(in, out, 32767, 0, 5, 5), "");
    EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(wide, 32767, 0, 1, 1)), 0);
    for (auto [w, h] : {std::pair{32769, 10}, std::pair{10, 32769}}) {
        tt::write_png(in, tt::solid(w, h, 1, 2, 3));
        EXPECT_EQ(crop_to(in, out, 0, 0, 1, 1), "image too large: " + std::to_string(w) + "x" + std::to_string(h));
    }
}

TEST(FileStage, ReportsUnreadableInputAndUnwritableOutput) {
    std::string in = tt::scratch("in.png"), text = tt::scratch("text.png");
    tt::write_png(in, tt::gradient(100, 80));
    tt::write_file(text, {'h', 'e', 'l', 'l', 'o'});
    std::string no_dir = tt::scratch("no/such/dir/out.png"), dir = tt::scratch_dir();
    EXPECT_EQ(crop_to(text, no_dir, 0, 0, 1, 1), decode_error(text, "unknown image type"));
    EXPECT_EQ(crop_to(in, no_dir, 0, 0, 1, 1), encode_error(no_dir));
    EXPECT_EQ(crop_to(in, dir, 0, 0, 1, 1), encode_error(dir));
    EXPECT_FALSE(tt::file_exists(no_dir));
#ifdef __linux__
    // /dev/full opens and refuses every write: a small PNG fails only when it
    // is flushed on closing, a large BMP already while being written.
    std::string full_bmp = tt::scratch("full.bmp");
    fs::create_symlink("/dev/full", full_bmp);
    EXPECT_EQ(crop_to(in, "/dev/full", 0, 0, 1, 1), encode_error("/dev/full"));
    EXPECT_EQ(crop_to(in, full_bmp, 0, 0, 100, 80), encode_error(full_bmp));
#endif
}

TEST(FileStage, CropsFileOntoItself) {
    Pixels src = tt::gradient(10, 8);
    std::string path = tt::scratch("self.png");
    tt::write_png(path, src);
    ASSERT_EQ(crop_to(path, path, 2, 3, 4, 4), "");
    EXPECT_EQ(tt::max_diff(tt::read_png(path), tt::crop(src, 2, 3, 4, 4)), 0);
}

// TGA output is run-length encoded (image type 10): a picture of long runs
// takes a small fraction of its raw 4 bytes a pixel, and still reads back
// exactly.
TEST(FileStage, TgaOutputIsRunLengthEncoded) {
    Pixels src = tt::solid(64, 32, 10, 20, 30, 255);
    for (int x = 0; x < 64; ++x) std::memcpy(src.at(x, 16), tt::gradient(64, 1).at(x, 0), 4);
    std::string in = tt::scratch("runs.png"), out = tt::scratch("runs.tga");
    tt::write_png(in, src);
    ASSERT_EQ(crop_to(in, out, 0, 0, 64, 32), "");
    std::vector<uint8_t> bytes = tt::read_file(out);
    ASSERT_GE(bytes.size(), 18u);
    EXPECT_EQ(bytes[2], 10) << "image type";
    EXPECT_LT(bytes.size(), 64u * 32 * 4 / 4);
    EXPECT_EQ(tt::max_diff(tt::read_tga(out), src), 0);
}

// The header's version is the project's, as CMake knows it.
TEST(Version, HeaderMacrosMatchTheProjectVersion) {
    EXPECT_STREQ(TRIMLET_VERSION_STRING, TRIMLET_PROJECT_VERSION);
    std::string parts = std::to_string(TRIMLET_VERSION_MAJOR) + "." + std::to_string(TRIMLET_VERSION_MINOR) + "." +
                        std::to_string(TRIMLET_VERSION_PATCH);
    EXPECT_EQ(parts, TRIMLET_PROJECT_VERSION);
}
