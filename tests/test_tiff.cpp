// TIFF input through libtiff. The files come from tests/tiff_files.py
// (Pillow, tiffcp and a small writer of its own), which also writes what each
// must decode to, from Pillow's decode of the same file (libtiff's RGBA
// reading, for YCbCr JPEG in strips of its own making): whole crops equal
// it, region crops equal its rectangles, the Orientation tag turns the image
// with TRIMLET_APPLY_EXIF, the rules agree with the same pixels as PNG, the
// ICC profile and Exif come through, and hostile files are refused with their
// class, quietly and fast.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "trimlet.h"

namespace {

using tt::Pixels;

const bool HAS_TIFF = TRIMLET_TEST_LIBTIFF;

std::string g_dir;  // where tiff_files.py wrote the files

class Tiff : public testing::Test {
protected:
    // CTest's fixture (Tiff.WriteFiles) writes them before the tests run;
    // run alone, the program writes them itself.
    static void SetUpTestSuite() {
        if (!HAS_TIFF || !g_dir.empty()) return;
        g_dir = TRIMLET_TIFF_DIR;
        if (tt::file_exists(g_dir + "/hostile.txt")) return;
        std::string cmd = "/usr/bin/python3 '" TRIMLET_TIFF_FILES "' '" + g_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    void SetUp() override {
        if (!HAS_TIFF) GTEST_SKIP() << "built without libtiff";
    }
};

std::string file(const std::string &name) { return g_dir + "/" + name; }

// The lines of a list written by tiff_files.py, split at spaces (at most
// `fields`, the last keeping the rest of the line).
std::vector<std::vector<std::string>> list(const std::string &name, size_t fields) {
    std::ifstream in(file(name));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> row;
        size_t at = 0;
        while (row.size() + 1 < fields) {
            size_t sp = line.find(' ', at);
            row.push_back(line.substr(at, sp - at));
            at = sp == std::string::npos ? line.size() : sp + 1;
        }
        row.push_back(line.substr(at));
        rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << name;
    return rows;
}

Pixels expected(const std::string &name) {
    std::vector<uint8_t> b = tt::read_file(file(name));
    Pixels p;
    std::memcpy(&p.w, b.data(), 4);
    std::memcpy(&p.h, b.data() + 4, 4);
    p.rgba.assign(b.begin() + 8, b.end());
    EXPECT_EQ(p.rgba.size(), size_t(p.w) * p.h * 4) << name;
    return p;
}

struct Result {
    int status = -1;
    std::string error;
    Pixels px;
    std::vector<uint8_t> icc, exif;
};

// Crops the file by the rule to a PNG, read back with libpng.
Result crop(const std::string &input, int rule, std::vector<int> params, int orient = TRIMLET_AS_STORED,
            int metadata = TRIMLET_STRIP) {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.orient = orient;
    o.metadata = metadata;
    std::string out = tt::scratch("out.png");
    std::remove(out.c_str());
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = input.c_str();
    q.output_path = out.c_str();
    q.rule = rule;
    q.params = params.data();
    q.options = &o;
    trimlet_result r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    trimlet_run(&q, &r);
    Result res;
    res.status = r.status;
    res.error = r.error;
    if (r.status == TRIMLET_OK) {
        res.px = tt::read_png(out);
        tt::read_png_metadata(out, &res.icc, &res.exif);
    }
    return res;
}

TEST_F(Tiff, EveryKindDecodesAsPillowDoesWholeAndByRegion) {
    // A pixel, a block across strip and tile edges, the bottom-right corner.
    const int REGIONS[][4] = {{0, 0, 1, 1}, {13, 9, 20, 17}, {62, 42, 5, 3}};
    for (const auto &row : list("decode.txt", 2)) {
        SCOPED_TRACE(row[0]);
        Pixels want = expected(row[1]);
        Result whole = crop(file(row[0]), TRIMLET_RECT, {0, 0, want.w, want.h});
        ASSERT_EQ(whole.status, TRIMLET_OK) << whole.error;
        EXPECT_EQ(tt::max_diff(whole.px, want), 0);
        for (const auto &g : REGIONS) {
            Result part = crop(file(row[0]), TRIMLET_RECT, {g[0], g[1], g[2], g[3]});
            ASSERT_EQ(part.status, TRIMLET_OK) << part.error;
            EXPECT_EQ(tt::max_diff(part.px, tt::crop(want, g[0], g[1], g[2], g[3])), 0)
                << g[0] << "," << g[1] << " " << g[2] << "x" << g[3];
        }
    }
}

TEST_F(Tiff, OrientationTagTurnsTheImageWhenAsked) {
    for (const auto &row : list("orient.txt", 2)) {
        SCOPED_TRACE(row[0]);
        Pixels up = expected(row[1]);
        Result whole = crop(file(row[0]), TRIMLET_RECT, {0, 0, up.w, up.h}, TRIMLET_APPLY_EXIF);
        ASSERT_EQ(whole.status, TRIMLET_OK) << whole.error;
        EXPECT_EQ(tt::max_diff(whole.px, up), 0);
        Result part = crop(file(row[0]), TRIMLET_RECT, {5, 7, 20, 11}, TRIMLET_APPLY_EXIF);
        EXPECT_EQ(tt::max_diff(part.px, tt::crop(up, 5, 7, 20, 11)), 0);
        // As stored, the tag changes nothing: the same picture without it.
        Result stored = crop(file(row[0]), TRIMLET_RECT, {0, 0, 1000, 1000});
        EXPECT_EQ(tt::max_diff(stored.px, expected("rgb_raw.tif.rgba")), 0);
    }
}

TEST_F(Tiff, EveryRuleCutsWhatItCutsFromThePng) {
    const std::string png = tt::scratch("same.png");
    const struct {
        int rule;
        std::vector<int> params;
    } RULES[] = {{TRIMLET_RECT, {-3, 4, 30, 90}}, {TRIMLET_ASPECT, {2}},   {TRIMLET_AUTO, {10}},
                 {TRIMLET_EDGES, {10, 20, 5, 0}}, {TRIMLET_RATIO, {5, 7}}};
    for (const char *name : {"tiled_rgba_tiff_lzw.tif", "strips_cmyk_packbits.tif", "planar_tiled_rgba_tiff_lzw.tif"}) {
        SCOPED_TRACE(name);
        tt::write_png(png, expected(std::string(name) + ".rgba"));
        for (const auto &r : RULES) {
            Result a = crop(file(name), r.rule, r.params), b = crop(png, r.rule, r.params);
            ASSERT_EQ(a.status, b.status) << a.error << " / " << b.error;
            EXPECT_EQ(a.error, b.error);
            EXPECT_EQ(tt::max_diff(a.px, b.px), 0) << "rule " << r.rule;
        }
    }
}

// A tag's entry in IFD `ifd` of a little-endian Exif block: its type and its
// value field's offset; 0 when absent.
size_t entry(const std::vector<uint8_t> &b, size_t ifd, unsigned tag, unsigned *type) {
    auto u16 = [&](size_t p) { return unsigned(b.at(p) | b.at(p + 1) << 8); };
    for (unsigned i = 0, n = u16(ifd); i < n; ++i) {
        size_t e = ifd + 2 + i * 12;
        if (u16(e) == tag) {
            *type = u16(e + 2);
            return e + 8;
        }
    }
    return 0;
}

uint32_t u32(const std::vector<uint8_t> &b, size_t p) {
    return b.at(p) | b.at(p + 1) << 8 | b.at(p + 2) << 16 | uint32_t(b.at(p + 3)) << 24;
}

TEST_F(Tiff, ProfileAndRebuiltExifAreKept) {
    for (int orient : {TRIMLET_AS_STORED, TRIMLET_APPLY_EXIF}) {
        Result r = crop(file("metadata.tif"), TRIMLET_RECT, {0, 0, 10, 10}, orient, TRIMLET_KEEP);
        ASSERT_EQ(r.status, TRIMLET_OK) << r.error;
        EXPECT_EQ(r.icc, tt::read_file(file("profile.icc")));
        const std::vector<uint8_t> &x = r.exif;
        ASSERT_GE(x.size(), 8u);
        ASSERT_EQ(std::string(x.begin(), x.begin() + 4), std::string("II*\0", 4));
        size_t ifd0 = u32(x, 4);
        unsigned type = 0;
        size_t o = entry(x, ifd0, 0x0112, &type);
        ASSERT_NE(o, 0u);
        EXPECT_EQ(x.at(o), orient == TRIMLET_APPLY_EXIF ? 1 : 6);
        size_t make = entry(x, ifd0, 0x010F, &type);
        ASSERT_NE(make, 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&x.at(u32(x, make)))), "trimlet camera");
        size_t sub = entry(x, ifd0, 0x8769, &type);
        ASSERT_NE(sub, 0u);
        size_t date = entry(x, u32(x, sub), 0x9003, &type);
        ASSERT_NE(date, 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&x.at(u32(x, date)))), "2024:05:06 07:08:09");
    }
}

TEST_F(Tiff, HostileFilesAreRefusedQuietlyAndFast) {
    const struct {
        const char *name;
        int status;
    } CLASSES[] = {{"CORRUPT", TRIMLET_ERR_CORRUPT},
                   {"UNSUPPORTED", TRIMLET_ERR_UNSUPPORTED},
                   {"TOO_LARGE", TRIMLET_ERR_TOO_LARGE}};
    for (const auto &row : list("hostile.txt", 3)) {
        SCOPED_TRACE(row[0]);
        int status = -1;
        for (const auto &c : CLASSES) {
            if (row[1] == c.name) status = c.status;
        }
        std::vector<uint8_t> bytes = tt::read_file(file(row[0]));
        for (long long max_pixels : {0LL, -1LL}) {  // the default limit, and none
            trimlet_options o;
            std::memset(&o, 0, sizeof o);
            o.size = sizeof o;
            o.max_pixels = max_pixels;
            const int all[4] = {0, 0, 1 << 20, 1 << 20};
            trimlet_request q;
            std::memset(&q, 0, sizeof q);
            q.size = sizeof q;
            q.input = bytes.data();
            q.input_size = bytes.size();
            q.params = all;
            q.options = &o;
            for (int to_memory : {0, 1}) {  // a plan and a crop
                q.output_to_memory = to_memory;
                trimlet_result r;
                std::memset(&r, 0, sizeof r);
                r.size = sizeof r;
                testing::internal::CaptureStderr();
                auto t0 = std::chrono::steady_clock::now();
                EXPECT_EQ(trimlet_run(&q, &r), 0);
                EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
                EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
                std::string e = r.error;
                if (status == TRIMLET_ERR_TOO_LARGE) {
                    // Over max_pixels by default; 32768 a side is within the
                    // side limit, and without max_pixels its data fails.
                    EXPECT_EQ(r.status, max_pixels < 0 ? TRIMLET_ERR_CORRUPT : status) << e;
                    EXPECT_NE(e.find(max_pixels < 0 ? "cannot decode" : row[2].c_str()), std::string::npos) << e;
                    continue;
                }
                EXPECT_EQ(r.status, status) << e;
                EXPECT_NE(e.find(row[2]), std::string::npos) << e;
                EXPECT_EQ(e.rfind("cannot decode '<memory>': ", 0), 0u) << e;
                EXPECT_GT(e.size(), std::strlen("cannot decode '<memory>': ")) << e;
            }
        }
    }
}

TEST(TiffBuild, HasSaysWhetherTiffIsRead) {
    EXPECT_EQ(trimlet_has("tiff"), HAS_TIFF ? 1 : 0);
    if (HAS_TIFF) return;
    // Without libtiff a TIFF is known by its first bytes and refused as such.
    const uint8_t header[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    trimlet_box box;
    char error[TRIMLET_ERROR_SIZE];
    const int all[4] = {0, 0, 1, 1};
    EXPECT_EQ(trimlet_plan_memory(header, sizeof header, TRIMLET_RECT, all, nullptr, &box, error), 0);
    EXPECT_STREQ(error, "cannot decode '<memory>': tiff is not available in this build");
}

}  // namespace
