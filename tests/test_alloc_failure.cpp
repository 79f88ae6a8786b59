// SPDX-License-Identifier: MIT
// Allocation failures inside a crop call. This program replaces malloc for
// the whole process (the library's calls resolve to it too) so that chosen
// allocations fail; glibc's own allocator serves every other request.
#include <gtest/gtest.h>

#include "support.h"
#include "trimlet.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRIMLET_NO_MALLOC_SWAP 1  // the sanitizer runtime owns malloc
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define TRIMLET_NO_MALLOC_SWAP 1
#endif
#endif

namespace {
size_t g_fail_size = 0;         // malloc requests of exactly this many bytes fail; 0: none
int g_pass_first = 0;           // ... after this many of them have been served
size_t g_fail_calloc_size = 0;  // the same for calloc, which serves the decoder
int g_failures = 0;
}  // namespace

#ifndef TRIMLET_NO_MALLOC_SWAP
extern "C" void *__libc_malloc(size_t size);
extern "C" void *malloc(size_t size) {
    if (g_fail_size != 0 && size == g_fail_size) {
        if (g_pass_first > 0) {
            --g_pass_first;
        } else {
            ++g_failures;
            return nullptr;
        }
    }
    return __libc_malloc(size);
}
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *calloc(size_t count, size_t size) {
    if (g_fail_calloc_size != 0 && count * size == g_fail_calloc_size) {
        ++g_failures;
        return nullptr;
    }
    return __libc_calloc(count, size);
}
#endif

// A 13x7 crop of a 50x40 picture, with one allocation size made to fail: the
// crop's RGBA copy (with room for PNG's filter bytes), its flattened RGB
// copy, or the PNG encoder's sample of filtered rows (here the whole crop,
// after the crop's own block of the same size). Each fails with its message,
// creates no output and leaves an existing one as it was.
TEST(AllocationFailure, EachFailedAllocationLeavesItsMessageAndNoOutput) {
#ifdef TRIMLET_NO_MALLOC_SWAP
    GTEST_SKIP() << "malloc cannot be replaced under this sanitizer";
#endif
    struct Case {
        const char *out;
        size_t fail_size;
        int pass_first;
        const char *error;
    };
    const Case CASES[] = {
        {"crop.png", (13 * 4 + 1) * 7, 0, "out of memory for 13x7 crop"},
        {"flat.bmp", 13 * 7 * 3, 0, "out of memory"},
        {"encode.png", (13 * 4 + 1) * 7, 1, "cannot encode '%s' (check the extension)"},
    };
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(50, 40));
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.out);
        std::string out = tt::scratch(c.out), existing = tt::scratch(std::string("old-") + c.out);
        tt::write_file(existing, {'o', 'l', 'd'});
        for (const std::string &path : {out, existing}) {
            char want[512];
            std::snprintf(want, sizeof want, c.error, path.c_str());
            g_failures = 0;
            g_fail_size = c.fail_size;
            g_pass_first = c.pass_first;
            int result = trimlet_rect(in.c_str(), path.c_str(), 3, 2, 13, 7);
            g_fail_size = 0;
            g_pass_first = 0;
            EXPECT_EQ(g_failures, 1);
            EXPECT_EQ(tt::outcome(result), want);
        }
        EXPECT_FALSE(tt::file_exists(out));
        EXPECT_EQ(tt::read_file(existing), std::vector<uint8_t>({'o', 'l', 'd'}));
    }
}

// The upright crop of a photo: cutting the stored 7x13 block, turning it into
// a 13x7 block, whose allocation fails.
TEST(AllocationFailure, TurningTheCropUprightFailsWithItsMessage) {
#ifdef TRIMLET_NO_MALLOC_SWAP
    GTEST_SKIP() << "malloc cannot be replaced under this sanitizer";
#endif
    // A PNG with an eXIf chunk saying Orientation 6, after IHDR.
    std::string path = tt::scratch("turned.png");
    tt::write_png(path, tt::gradient(50, 40));
    std::vector<uint8_t> png = tt::read_file(path);
    std::vector<uint8_t> exif = {0, 0, 0, 26, 'e', 'X', 'I', 'f', 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                                 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 4; i < exif.size(); ++i) {
        crc ^= exif[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    crc ^= 0xFFFFFFFFu;
    for (int k = 3; k >= 0; --k) exif.push_back(uint8_t(crc >> (8 * k)));
    png.insert(png.begin() + 33, exif.begin(), exif.end());

    trimlet_options o = {};
    o.size = sizeof o;
    o.orient = TRIMLET_APPLY_EXIF;
    int rect[4] = {3, 2, 13, 7};
    void *out = nullptr;
    size_t out_size = 0;
    char err[TRIMLET_ERROR_SIZE];
    g_failures = 0;
    g_fail_size = (13 * 4 + 1) * 7;  // the turned block, filter bytes included
    int result = trimlet_crop_memory(png.data(), png.size(), TRIMLET_RECT, rect, &o, &out, &out_size, err);
    g_fail_size = 0;
    EXPECT_EQ(g_failures, 1);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(err, "out of memory turning 7x13 image");
    EXPECT_EQ(out, nullptr);

    ASSERT_EQ(trimlet_crop_memory(png.data(), png.size(), TRIMLET_RECT, rect, &o, &out, &out_size, err), 1);
    tt::write_file(path, std::vector<uint8_t>((uint8_t *)out, (uint8_t *)out + out_size));
    trimlet_free(out);
    EXPECT_EQ(tt::read_png(path).w, 13);
}

// The decoder's own allocation for the pixels of a 50x40 RGBA picture fails:
// the message carries the decoder's reason, and nothing is written. (A BMP:
// a PNG's rectangle may be decoded without the whole picture's block.)
TEST(AllocationFailure, DecoderOutOfMemoryIsReportedWithItsReason) {
#ifdef TRIMLET_NO_MALLOC_SWAP
    GTEST_SKIP() << "malloc cannot be replaced under this sanitizer";
#endif
    std::string in = tt::scratch("in.bmp"), out = tt::scratch("decode.png");
    tt::write_bmp24(in, tt::gradient(50, 40));
    g_failures = 0;
    g_fail_calloc_size = 50 * 40 * 4;
    int result = trimlet_rect(in.c_str(), out.c_str(), 3, 2, 13, 7);
    g_fail_calloc_size = 0;
    EXPECT_EQ(g_failures, 1);
    EXPECT_EQ(tt::outcome(result), "cannot decode '" + in + "': outofmem");
    EXPECT_FALSE(tt::file_exists(out));
}
