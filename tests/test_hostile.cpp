// SPDX-License-Identifier: MIT
// Files made to break stb_image 2.27, one or more per class of defect (f1_ to
// f12_ in tests/data/hostile, written by fuzz/make_corpus.py). Each must come
// back promptly (CTest's timeout guards the hangs), without a crash, either
// refused with a message or decoded to pixels that come from the file alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <thread>  // not in MinGW's win32 thread model
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "support.h"
#include "trimlet.h"

namespace {

std::string hostile(const std::string &name) {
    return std::string(TRIMLET_HOSTILE_DIR) + "/" + name;
}

// What one rule makes of a file that decodes: an output of w x h pixels, or
// the rule's own refusal (tiny or flat images leave the aspect, auto or edge
// rule nothing to cut).
struct RuleOutcome {
    int w, h;
    const char *message;
};

// What a file must give: the decoder's reason for refusing it, a message
// of its own ("image too large: ..."), or, when it decodes, what each of the
// four rules in run_rule makes of it.
struct HostileCase {
    const char *file;
    const char *reason;
    const char *message;
    RuleOutcome rules[4];
};

const char UNIFORM[] = "auto: image is uniform (nothing to crop to, tolerance 0)";

const HostileCase CASES[] = {
    {"f1_pgm16.pgm", nullptr, nullptr, {{3, 2, nullptr}, {2, 2, nullptr}, {1, 2, nullptr}, {3, 2, nullptr}}},
    {"f1_ppm16.ppm", nullptr, nullptr, {{2, 2, nullptr}, {2, 2, nullptr}, {0, 0, UNIFORM}, {2, 2, nullptr}}},
    {"f2_dht_counts_over_256.jpg", "bad DHT header", nullptr, {}},
    {"f2_dht_after_scan.jpg", "bad DHT header", nullptr, {}},
    {"f3_tga_raw_truncated.tga", "truncated", nullptr, {}},
    {"f3_tga_raw_short_pixels.tga", nullptr, nullptr,
     {{16, 16, nullptr}, {16, 16, nullptr}, {16, 14, nullptr}, {14, 14, nullptr}}},
    {"f3_tga_rle_truncated.tga", nullptr, nullptr,
     {{16, 16, nullptr}, {16, 16, nullptr}, {8, 8, nullptr}, {14, 14, nullptr}}},
    {"f4_ppm_truncated.ppm", "truncated", nullptr, {}},
    {"f5_png_palette_index.png", nullptr, nullptr, {{4, 1, nullptr}, {1, 1, nullptr}, {1, 1, nullptr}, {4, 1, nullptr}}},
    {"f6_hdr_flat_truncated.hdr", "truncated", nullptr, {}},
    {"f6_hdr_rle_truncated.hdr", "corrupt", nullptr, {}},
    {"f7_jpeg_undefined_table.jpg", nullptr, nullptr, {{8, 6, nullptr}, {6, 6, nullptr}, {0, 0, UNIFORM}, {8, 6, nullptr}}},
    {"f8_hdr_zero_run.hdr", "corrupt", nullptr, {}},
    {"f9_gif_65535x65535.gif", nullptr, "image too large: 65535x65535", {}},
    {"f9_tga_65535x65535.tga", nullptr, "image too large: 65535x65535", {}},
    {"f9_hdr_100000x100000.hdr", nullptr, "image too large: 100x100000", {}},
    {"f9_tga_32768x32768.tga", "truncated", nullptr, {}},
    {"f9_ppm_30000x30000.ppm", "truncated", nullptr, {}},
    {"f9_jpeg_32768x16383.jpg", "truncated", nullptr, {}},
    {"f9_bmp_23000x23000.bmp", "truncated", nullptr, {}},
    {"f9_psd_32768x16383.psd", "truncated", nullptr, {}},
    {"f9_pic_32768x16383.pic", "truncated", nullptr, {}},
    {"f9_pic_40000x100.pic", nullptr, "image too large: 40000x100", {}},
    // Found by fuzzing (F10). The PNM width is the decoder's reading of
    // 99999999999, wrapped to 32 bits.
    {"f10_pnm_long_number.pgm", nullptr, "image too large: 1215752191x1", {}},
    {"f10_png_empty_idat.png", nullptr, nullptr, {{2, 1, nullptr}, {1, 1, nullptr}, {0, 0, UNIFORM}, {2, 1, nullptr}}},
    {"f10_psd_matte.psd", nullptr, nullptr, {{1, 1, nullptr}, {1, 1, nullptr}, {0, 0, UNIFORM}, {1, 1, nullptr}}},
    {"f10_png_idat_length_2gb.png", "outofdata", nullptr, {}},
    // Top-down BMP files (negative height): screened by the absolute height,
    // which the message gives as the image has it.
    {"f11_bmp_top_down_16000x16000.bmp", "truncated", nullptr, {}},
    {"f11_bmp_top_down_40000x100.bmp", nullptr, "image too large: 40000x100", {}},
    {"f11_bmp_top_down_int_min.bmp", "too large", nullptr, {}},
    // An unknown critical PNG chunk, named printably in one line, and a PNG
    // that ends after its IDAT (refused before the decoder names the zeros
    // past the end as a chunk).
    {"f12_png_chunk_newline.png", "P5?9 PNG chunk not known", nullptr, {}},
    {"f12_png_no_iend.png", "outofdata", nullptr, {}},
};

// Runs one rule on in, writing out; -1 means the rule reports the image as
// uniform, which the automatic rule may do with any decoded file.
int run_rule(int rule, const std::string &in, const std::string &out) {
    switch (rule) {
    case 0: return trimlet_rect(in.c_str(), out.c_str(), 0, 0, 1 << 20, 1 << 20);
    case 1: return trimlet_aspect(in.c_str(), out.c_str(), 0);
    case 2: return trimlet_auto(in.c_str(), out.c_str(), 0);
    default: return trimlet_edges(in.c_str(), out.c_str(), 10, 10, 10, 10);
    }
}

}  // namespace

TEST(HostileFiles, EveryRuleRefusesWithAMessageOrWritesAnImage) {
    for (const HostileCase &c : CASES) {
        std::string in = hostile(c.file);
        for (int rule = 0; rule < 4; ++rule) {
            SCOPED_TRACE(std::string(c.file) + " rule " + std::to_string(rule));
            std::string out = tt::scratch("out" + std::to_string(rule) + ".png");
            int ok = run_rule(rule, in, out);
            std::string msg = trimlet_last_error();
            if (c.message != nullptr) {
                EXPECT_EQ(ok, 0);
                EXPECT_EQ(msg, c.message);
            } else if (c.reason != nullptr) {
                EXPECT_EQ(ok, 0);
                EXPECT_EQ(msg, "cannot decode '" + in + "': " + c.reason);
            } else if (c.rules[rule].message != nullptr) {
                EXPECT_EQ(ok, 0);
                EXPECT_EQ(msg, c.rules[rule].message);
            } else {
                EXPECT_EQ(msg, "");
                tt::Pixels got = tt::read_png(out);
                EXPECT_EQ(got.w, c.rules[rule].w);
                EXPECT_EQ(got.h, c.rules[rule].h);
            }
        }
    }
}

// A 16-bit PGM/PPM keeps each sample's high byte, the first of its two bytes
// in the file; grey fills R, G and B and alpha is opaque.
TEST(HostileFiles, SixteenBitPnmKeepsTheHighByteOfEachSample) {
    struct Row {
        const char *file;
        int w, h;
        std::vector<uint8_t> rgb;
    };
    const Row rows[] = {
        {"f1_pgm16.pgm", 3, 2, {0x12, 0x12, 0x12, 0xAB, 0xAB, 0xAB, 0xFF, 0xFF, 0xFF,
                                0x00, 0x00, 0x00, 0x80, 0x80, 0x80, 0x7F, 0x7F, 0x7F}},
        {"f1_ppm16.ppm", 2, 2, {0x03, 0x02, 0x01, 0x00, 0x03, 0x00,
                                0x01, 0x02, 0x03, 0x00, 0x01, 0x03}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        std::string out = tt::scratch("pnm16.png");
        ASSERT_NE(trimlet_rect(hostile(r.file).c_str(), out.c_str(), 0, 0, 99, 99), 0)
            << trimlet_last_error();
        tt::Pixels want;
        want.w = r.w;
        want.h = r.h;
        for (size_t i = 0; i < r.rgb.size(); i += 3) {
            want.rgba.insert(want.rgba.end(), {r.rgb[i], r.rgb[i + 1], r.rgb[i + 2], 255});
        }
        EXPECT_EQ(tt::max_diff(tt::read_png(out), want), 0);
    }
}

// Palette indices past the palette's one entry read as transparent black,
// not as whatever the decoder's stack held.
TEST(HostileFiles, PaletteIndexPastThePaletteGivesZeroPixels) {
    std::string out = tt::scratch("palette.png");
    ASSERT_NE(trimlet_rect(hostile("f5_png_palette_index.png").c_str(), out.c_str(), 0, 0, 4, 1), 0);
    tt::Pixels got = tt::read_png(out);
    tt::Pixels want = tt::solid(4, 1, 0, 0, 0, 0);
    want.rgba[0] = 0x10;
    want.rgba[1] = 0x20;
    want.rgba[2] = 0x30;
    want.rgba[3] = 255;
    EXPECT_EQ(tt::max_diff(got, want), 0);
}

// glibc's M_PERTURB (the knob MALLOC_PERTURB_ sets) fills every block malloc
// hands out, and every block freed, with a chosen byte. If any byte the
// decoder never wrote reached an output, two runs with different bytes would
// write different files.
TEST(HostileFiles, OutputsDoNotDependOnHeapContents) {
#if !defined(__GLIBC__)
    GTEST_SKIP() << "needs glibc's M_PERTURB";
#else
    for (const HostileCase &c : CASES) {
        if (c.reason != nullptr || c.message != nullptr) continue;
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> outputs[2];
        const int perturb[2] = {0x55, 0xAA};
        for (int i = 0; i < 2; ++i) {
            std::string out = tt::scratch("perturbed" + std::to_string(i) + ".tga");
            mallopt(M_PERTURB, perturb[i]);
            int ok = trimlet_rect(hostile(c.file).c_str(), out.c_str(), 0, 0, 1 << 20, 1 << 20);
            mallopt(M_PERTURB, 0);
            ASSERT_NE(ok, 0) << trimlet_last_error();
            outputs[i] = tt::read_file(out);
        }
        EXPECT_EQ(outputs[0], outputs[1]);
    }
#endif
}

// A 9x6 JPEG in a 15659x7 TIFF strip (found by fuzzing): libtiff decodes it
// with a warning and leaves the rest of the strip unwritten, which must come
// out black whatever the heap held.
TEST(HostileFiles, WhatATiffStripLeavesUnwrittenIsBlack) {
#if !defined(__GLIBC__)
    GTEST_SKIP() << "needs glibc's M_PERTURB";
#else
    if (!trimlet_has("tiff")) GTEST_SKIP() << "built without libtiff";
    for (int perturb : {0x55, 0xAA}) {
        SCOPED_TRACE(perturb);
        std::string out = tt::scratch("strip.tga");
        mallopt(M_PERTURB, perturb);
        int ok = trimlet_rect(hostile("tiff_jpeg_smaller_than_strip.tif").c_str(), out.c_str(), 0, 0, 1 << 20, 1 << 20);
        mallopt(M_PERTURB, 0);
        ASSERT_NE(ok, 0) << trimlet_last_error();
        tt::Pixels got = tt::read_tga(out);
        ASSERT_EQ(got.w, 15659);
        ASSERT_EQ(got.h, 7);
        for (auto [x, y] : {std::pair{9, 0}, {15658, 0}, {0, 6}, {15658, 6}}) {
            EXPECT_EQ(std::vector<uint8_t>(got.at(x, y), got.at(x, y) + 4), (std::vector<uint8_t>{0, 0, 0, 255}))
                << x << "," << y;
        }
    }
#endif
}

// Reading the input can fail after it opens (a directory opens on Linux and
// then fails to read); that is reported like the decoder's failure to open.
TEST(HostileFiles, UnreadableInputLeavesAReadMessage) {
#if defined(_WIN32)
    GTEST_SKIP() << "a directory does not open for reading on Windows";
#endif
#ifdef _WIN32
    GTEST_SKIP() << "a directory opens as a file only on POSIX systems";
#endif
    std::string dir = tt::scratch_dir();
    EXPECT_EQ(trimlet_rect(dir.c_str(), tt::scratch("out.png").c_str(), 0, 0, 1, 1), 0);
    EXPECT_EQ(std::string(trimlet_last_error()), "cannot decode '" + dir + "': can't fread");
}

// The Huffman-table screen walks segments by their lengths: bytes that look
// like an oversized table inside a comment belong to the comment, and a
// valid file carrying them decodes as it did.
TEST(HostileFiles, JpegCommentHoldingATableLookalikeStillDecodes) {
    std::string png = tt::scratch("in.png"), jpg = tt::scratch("in.jpg");
    tt::write_png(png, tt::gradient(16, 8));
    ASSERT_NE(trimlet_rect(png.c_str(), jpg.c_str(), 0, 0, 16, 8), 0);
    std::vector<uint8_t> bytes = tt::read_file(jpg);
    std::vector<uint8_t> comment = {0xFF, 0xFE, 0x00, 0x17, 0xFF, 0xC4, 0x00, 0x13, 0x00};
    comment.insert(comment.end(), 16, 0xFF);
    bytes.insert(bytes.begin() + 2, comment.begin(), comment.end());
    std::string odd = tt::scratch("comment.jpg");
    tt::write_file(odd, bytes);

    std::string plain_out = tt::scratch("plain.png"), odd_out = tt::scratch("comment.png");
    ASSERT_NE(trimlet_rect(jpg.c_str(), plain_out.c_str(), 0, 0, 16, 8), 0);
    ASSERT_NE(trimlet_rect(odd.c_str(), odd_out.c_str(), 0, 0, 16, 8), 0) << trimlet_last_error();
    EXPECT_EQ(tt::max_diff(tt::read_png(odd_out), tt::read_png(plain_out)), 0);
}

// The decoder refuses a PNG whose decoded rows would pass 1 GiB from its
// header alone, inside the 32768 limit on each side: the file's message
// carries its reason.
TEST(HostileFiles, PngPastTheDecodersSizeLimitIsTooLarge) {
    struct Case {
        int w, h, color_type;
    };
    for (const Case &c : {Case{32768, 8193, 6}, Case{32768, 10923, 2}, Case{16385, 32768, 4}}) {
        std::string in = tt::scratch("big.png"), out = tt::scratch("big-out.png");
        tt::write_png_raw(in, c.w, c.h, c.color_type, 8, {});
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        EXPECT_EQ(tt::outcome(trimlet_rect(in.c_str(), out.c_str(), 0, 0, 1, 1)), "cannot decode '" + in + "': too large");
        EXPECT_FALSE(tt::file_exists(out));
    }
}

// A PNG cut short: the decoder stops at IEND's header, so a file that ends
// in IEND's CRC still decodes; one that ends inside a chunk's header, or
// holds a chunk that runs past the end, is refused before decoding.
TEST(HostileFiles, PngCutInsideItsLastChunksIsRefusedWhereTheChunkHeaderEnds) {
    std::string path = tt::scratch("cut.png");
    tt::write_png(path, tt::solid(6, 4, 10, 200, 30));
    const std::vector<uint8_t> png = tt::read_file(path);
    std::vector<uint8_t> overlong = {0, 0, 0x10, 0, 'p', 'r', 'V', 't', 1, 2, 3};  // 4096 bytes claimed
    overlong.insert(overlong.begin(), png.begin(), png.begin() + 33);                // after IHDR
    struct Case {
        const char *name;
        size_t cut;  // bytes cut from the end
        const char *message;
    } cases[] = {
        {"whole", 0, ""},
        {"IEND's CRC cut", 3, ""},
        {"IEND's CRC missing", 4, ""},
        {"IEND's header cut", 5, "cannot decode '<memory>': outofdata"},
        {"no IEND", 12, "cannot decode '<memory>': outofdata"},
        {"IDAT's CRC cut", 14, "cannot decode '<memory>': outofdata"},
    };
    const int params[4] = {0, 0, 2, 2};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        char err[TRIMLET_ERROR_SIZE];
        trimlet_box box;
        trimlet_plan_memory(png.data(), png.size() - k.cut, TRIMLET_RECT, params, nullptr, &box, err);
        EXPECT_STREQ(err, k.message);
    }
    char err[TRIMLET_ERROR_SIZE];
    trimlet_box box;
    EXPECT_EQ(trimlet_plan_memory(overlong.data(), overlong.size(), TRIMLET_RECT, params, nullptr, &box, err), 0);
    EXPECT_STREQ(err, "cannot decode '<memory>': outofdata");
}

#ifndef _WIN32
// stb_image names an unknown critical PNG chunk in one static buffer that
// every thread shares. Eight threads planning PNGs that each hold their own
// such chunk must each get their own chunk's name (ThreadSanitizer, in CI,
// also sees whether anything wrote that buffer).
TEST(HostileFiles, UnknownPngChunksOnManyThreadsGetTheirOwnMessages) {
    std::vector<uint8_t> base = tt::read_file(hostile("f12_png_chunk_newline.png"));
    const size_t type_at = 33 + 4;  // the inserted chunk's type, after IHDR
    std::vector<std::thread> threads;
    int wrong[8] = {0};
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&, k] {
            std::vector<uint8_t> png = base;
            const char type[5] = {'Q', 'Q', 'Q', char('0' + k), 0};
            std::copy(type, type + 4, png.begin() + type_at);
            std::string want = std::string("cannot decode '<memory>': ") + type + " PNG chunk not known";
            const int params[4] = {0, 0, 1, 1};
            for (int i = 0; i < 200; ++i) {
                char error[TRIMLET_ERROR_SIZE];
                trimlet_box box;
                int ok = trimlet_plan_memory(png.data(), png.size(), TRIMLET_RECT, params, nullptr, &box, error);
                if (ok != 0 || want != error) ++wrong[k];
            }
        });
    }
    for (std::thread &t : threads) t.join();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(wrong[k], 0) << "thread " << k;
}

namespace {

// Peak resident memory of this process so far, in bytes (Linux counts KiB).
long long peak_rss() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (long long)ru.ru_maxrss * 1024;
}

// A sparse file of size bytes whose first bytes are head.
std::string sparse_file(const std::string &name, const std::vector<uint8_t> &head, uintmax_t size) {
    std::string path = tt::scratch(name);
    tt::write_file(path, head);
    std::filesystem::resize_file(path, size);
    return path;
}

// A sanitizer's shadow memory and quarantine make the process's peak
// resident size say nothing about what the library holds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool UNDER_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
const bool UNDER_SANITIZER = true;
#else
const bool UNDER_SANITIZER = false;
#endif
#else
const bool UNDER_SANITIZER = false;
#endif

// The process's address space now, in bytes.
long long address_space() {
    long long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

// Runs the crop on each input and exits 0 when each gave its message and
// the process's peak memory grew by less than 64 MiB over all of them, with
// its address space limited to 256 MiB more than it has, so that even a
// block allocated and never touched is caught (neither is checked under a
// sanitizer);
// else reports on stderr and exits 1. Run in a fresh process, whose peak is
// its own start-up.
void refuse_all_cheaply(const std::vector<std::pair<std::string, std::string>> &cases) {
    const long long before = peak_rss();
    if (!UNDER_SANITIZER) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = rlim_t(address_space() + (256ll << 20));
        setrlimit(RLIMIT_AS, &limit);
    }
    int bad = 0;
    for (const auto &[in, want] : cases) {
        std::string out = tt::scratch("cheap-out.png");
        int ok = trimlet_rect(in.c_str(), out.c_str(), 0, 0, 10, 10);
        std::string got = trimlet_last_error();
        if (ok != 0 || got != want) {
            std::fprintf(stderr, "%s: got '%s', want '%s'\n", in.c_str(), got.c_str(), want.c_str());
            ++bad;
        }
    }
    long long grown = peak_rss() - before;
    if (grown >= 64ll << 20 && !UNDER_SANITIZER) {
        std::fprintf(stderr, "peak memory grew by %lld MiB\n", grown >> 20);
        ++bad;
    }
    std::_Exit(bad == 0 ? 0 : 1);
}

}  // namespace

// What cannot be an image is refused from its first bytes, and what claims
// more than it holds from its header, without reading or allocating what it
// claims: a 70-byte top-down BMP claiming 16000x16000 pixels, /dev/zero (it
// never ends), 1 GiB that starts with random bytes (sparse, so the test
// writes only 64 KiB), and a 3 GiB file that starts like a PNG (past the
// 2 GiB limit, known from its size before anything is read).
TEST(HostileFiles, NonImagesAndBombsAreRefusedWithoutReadingThemWhole) {
    std::vector<uint8_t> noise(65536);
    std::mt19937 rng(16);
    for (uint8_t &b : noise) b = uint8_t(rng());
    std::string random = sparse_file("random.bin", noise, 1ull << 30);
    std::vector<uint8_t> png_head = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::string large = sparse_file("large.png", png_head, 3ull << 30);
    std::string bomb = hostile("f11_bmp_top_down_16000x16000.bmp");
    std::vector<std::pair<std::string, std::string>> cases = {
        {bomb, "cannot decode '" + bomb + "': truncated"},
        {"/dev/zero", "cannot decode '/dev/zero': unknown image type"},
        {random, "cannot decode '" + random + "': unknown image type"},
        {large, "cannot decode '" + large + "': file too large"},
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(refuse_all_cheaply(cases), ::testing::ExitedWithCode(0), "");
}

// A pipe is read to its end: the program's standard input may be one.
TEST(HostileFiles, PipeInputIsReadWhole) {
    std::string png = tt::scratch("in.png"), out = tt::scratch("out.png");
    tt::write_png(png, tt::gradient(300, 200));
    FILE *p = popen(("cat '" + png + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string fd_path = "/dev/fd/" + std::to_string(fileno(p));
    int ok = trimlet_rect(fd_path.c_str(), out.c_str(), 5, 6, 250, 150);
    std::string msg = trimlet_last_error();
    pclose(p);
    ASSERT_EQ(ok, 1) << msg;
    EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::crop(tt::gradient(300, 200), 5, 6, 250, 150)), 0);
}
#endif
