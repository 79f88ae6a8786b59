// SPDX-License-Identifier: MIT
// Classic files stb_image refuses or misreads: JPEGs with stray bytes or a
// wrong segment length before the scan, RLE and palette-before-pixels BMPs,
// plain and 1-bit Netpbm, low-depth grey PNGs with a transparent level. The
// files and Pillow's decode of each come from tests/classic_files.py; every
// good file crops to Pillow's pixels (libpng's for the PNGs) (exactly, or within a mean of 3 where
// JPEG decoders may differ), every damaged one is refused with its class and
// one message.
#include <gtest/gtest.h>

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

std::string g_dir;

class Classic : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!g_dir.empty()) return;
        g_dir = TRIMLET_CLASSIC_DIR;
        if (tt::file_exists(g_dir + "/refuse.txt")) return;
        std::string cmd = "/usr/bin/python3 '" TRIMLET_CLASSIC_FILES "' '" + g_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
};

std::string file(const std::string &name) { return g_dir + "/" + name; }

// The rows of a list: three fields, the last keeping the rest of the line.
std::vector<std::vector<std::string>> list(const std::string &name) {
    std::ifstream in(file(name));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        size_t a = line.find(' '), b = line.find(' ', a + 1);
        rows.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    EXPECT_FALSE(rows.empty()) << name;
    return rows;
}

struct Result {
    int status = -1;
    std::string error;
    std::string format;  // input_format
    Pixels px;
    std::vector<uint8_t> icc, exif;
};

// One rect crop through trimlet_run: from the file at input, or from its
// bytes when given, to the file out.
trimlet_result run_rect(const std::string &input, const std::vector<uint8_t> *bytes, const std::string &out,
                        std::vector<int> params, const trimlet_options &o) {
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    if (bytes != nullptr) {
        q.input = bytes->data();
        q.input_size = bytes->size();
    } else {
        q.input_path = input.c_str();
    }
    q.output_path = out.c_str();
    q.rule = TRIMLET_RECT;
    q.params = params.data();
    q.options = &o;
    trimlet_result r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    trimlet_run(&q, &r);
    return r;
}

// Crops the whole of the file (or its bytes, from memory) to a PNG.
Result crop(const std::string &input, int orient = TRIMLET_AS_STORED, bool memory = false) {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.orient = orient;
    o.metadata = TRIMLET_KEEP;
    std::string out = tt::scratch("out.png");
    std::remove(out.c_str());
    std::vector<uint8_t> bytes = tt::read_file(input);
    trimlet_result r = run_rect(input, memory ? &bytes : nullptr, out, {0, 0, 100000, 100000}, o);
    Result res;
    res.status = r.status;
    res.error = r.error;
    res.format = r.input_format != nullptr ? r.input_format : "";
    if (r.status == TRIMLET_OK) {
        res.px = tt::read_png(out);
        tt::read_png_metadata(out, &res.icc, &res.exif);
    }
    return res;
}

double mean_diff(const Pixels &a, const Pixels &b) {
    double sum = 0;
    for (size_t i = 0; i < a.rgba.size() && i < b.rgba.size(); ++i) sum += std::abs(a.rgba[i] - b.rgba[i]);
    return a.rgba.empty() ? 0 : sum / a.rgba.size();
}

TEST_F(Classic, EveryFileDecodesAsPillowDoes) {
    for (const auto &row : list("decode.txt")) {
        SCOPED_TRACE(row[0]);
        Pixels want = tt::read_png(file(row[1]));
        int tolerance = std::atoi(row[2].c_str());
        for (bool memory : {false, true}) {
            Result got = crop(file(row[0]), TRIMLET_AS_STORED, memory);
            ASSERT_EQ(got.status, TRIMLET_OK) << got.error;
            std::string ext = row[0].substr(row[0].rfind('.') + 1);
            EXPECT_EQ(got.format, ext == "jpg" ? "jpeg" : ext[0] == 'p' && ext != "png" ? "pnm" : ext);
            ASSERT_EQ(got.px.w, want.w);
            ASSERT_EQ(got.px.h, want.h);
            if (tolerance == 3) {
                EXPECT_LE(mean_diff(got.px, want), 3.0);
            } else {
                EXPECT_LE(tt::max_diff(got.px, want), tolerance);
            }
        }
    }
}

TEST_F(Classic, DamagedFilesAreRefusedWithTheirClassAndOneMessage) {
    for (const auto &row : list("refuse.txt")) {
        SCOPED_TRACE(row[0]);
        Result got = crop(file(row[0]));
        int status = row[1] == "corrupt" ? TRIMLET_ERR_CORRUPT : TRIMLET_ERR_TOO_LARGE;
        EXPECT_EQ(got.status, status) << got.error;
        std::string want = status == TRIMLET_ERR_CORRUPT ? "cannot decode '" + file(row[0]) + "': " + row[2]
                                                         : row[2];
        EXPECT_EQ(got.error, want);
    }
}

// The segment whose length is wrong is dropped: its Orientation neither
// turns the picture nor travels with the crop; the clean file's does.
TEST_F(Classic, AJpegSegmentWithAWrongLengthIsNotTrusted) {
    Result clean = crop(file("clean.jpg"), TRIMLET_APPLY_EXIF);
    ASSERT_EQ(clean.status, TRIMLET_OK) << clean.error;
    EXPECT_EQ(clean.px.w, 32);
    EXPECT_FALSE(clean.exif.empty());
    for (const char *name : {"app1-short.jpg", "app1-long.jpg"}) {
        SCOPED_TRACE(name);
        Result got = crop(file(name), TRIMLET_APPLY_EXIF);
        ASSERT_EQ(got.status, TRIMLET_OK) << got.error;
        EXPECT_EQ(got.px.w, 48);
        EXPECT_TRUE(got.exif.empty());
    }
}

// A lossless cut reads a header with stray bytes as a decode does: the
// cut holds the very coefficients of the undamaged file's cut.
TEST_F(Classic, LosslessCutsOfMendedJpegsEqualTheCleanFilesCut) {
    if (!TRIMLET_TEST_LIBJPEG_TURBO) GTEST_SKIP() << "lossless cuts need libjpeg-turbo";
    auto cut = [](const std::string &input) {
        trimlet_options o;
        std::memset(&o, 0, sizeof o);
        o.size = sizeof o;
        o.lossless = 1;
        std::string out = tt::scratch("cut.jpg");
        std::remove(out.c_str());
        trimlet_result r = run_rect(input, nullptr, out, {8, 8, 16, 16}, o);
        EXPECT_EQ(r.status, TRIMLET_OK) << r.error;
        return tt::read_jpeg(out);
    };
    Pixels clean = cut(file("clean.jpg"));
    for (const char *name : {"app1-short.jpg", "app1-long.jpg", "ff00-after-sof.jpg", "stray-after-sof.jpg",
                             "ff00-before-sof.jpg"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(tt::max_diff(cut(file(name)), clean), 0);
    }
}

// The 1.0 functions read the same files.
TEST_F(Classic, TheFirstFunctionsReadThemToo) {
    for (const char *name :
         {"ff00-after-sof.jpg", "rle4.bmp", "p1.pbm", "p3.ppm", "rgb16-565pal.bmp", "gif-no-table.gif"}) {
        SCOPED_TRACE(name);
        std::string out = tt::scratch("first.png");
        EXPECT_EQ(tt::outcome(trimlet_rect(file(name).c_str(), out.c_str(), 1, 2, 5, 4)), "");
        EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(crop(file(name)).px, 1, 2, 5, 4)), 0);
    }
}

}  // namespace
