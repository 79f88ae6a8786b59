// SPDX-License-Identifier: MIT
// trimlet_run: every input and output, the status of each class of failure,
// the sized records, run-time version and features, and the default size
// limit against decompression bombs.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support.h"
#include "trimlet.h"

namespace {

using tt::Pixels;

trimlet_options options() {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    return o;
}

// One call of trimlet_run, with the request filled by the caller's lambda.
struct Call {
    int ok = 0;
    trimlet_result r;
    std::vector<uint8_t> bytes;  // result.output, copied and released
};

Call call(const trimlet_request &q) {
    Call out;
    std::memset(&out.r, 0xA5, sizeof out.r);
    out.r.size = sizeof out.r;
    out.ok = trimlet_run(&q, &out.r);
    EXPECT_EQ(out.ok == 1, out.r.status == TRIMLET_OK) << out.r.error;
    EXPECT_EQ(out.ok == 1, out.r.error[0] == '\0') << out.r.error;
    if (out.ok && out.r.output != nullptr) {
        const uint8_t *b = static_cast<const uint8_t *>(out.r.output);
        out.bytes.assign(b, b + out.r.output_size);
        trimlet_free(out.r.output);
    }
    return out;
}

trimlet_request request(int rule, const std::vector<int> &params) {
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.rule = rule;
    q.params = params.data();
    return q;
}

// A PNG of w x h grey samples of the given bit depth, all zero: rows of zeros
// deflate about a thousand to one, so a small file can claim a huge image.
std::vector<uint8_t> zero_png(int w, int h, int depth) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&out](const char *type, const std::vector<uint8_t> &data) {
        uint32_t n = static_cast<uint32_t>(data.size());
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(n >> s));
        size_t start = out.size();
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), data.begin(), data.end());
        uint32_t crc = static_cast<uint32_t>(crc32(0, &out[start], static_cast<uInt>(out.size() - start)));
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(crc >> s));
    };
    auto be32 = [](std::vector<uint8_t> &v, uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
    };
    std::vector<uint8_t> ihdr;
    be32(ihdr, static_cast<uint32_t>(w));
    be32(ihdr, static_cast<uint32_t>(h));
    ihdr.insert(ihdr.end(), {static_cast<uint8_t>(depth), 0, 0, 0, 0});
    chunk("IHDR", ihdr);
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    std::vector<uint8_t> row(1 + (static_cast<size_t>(w) * depth + 7) / 8, 0), idat(1 << 20);
    std::vector<uint8_t> data;
    for (int y = 0; y <= h; ++y) {
        z.next_in = row.data();
        z.avail_in = y < h ? static_cast<uInt>(row.size()) : 0;
        do {
            z.next_out = idat.data();
            z.avail_out = static_cast<uInt>(idat.size());
            deflate(&z, y < h ? Z_NO_FLUSH : Z_FINISH);
            data.insert(data.end(), idat.data(), z.next_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    chunk("IDAT", data);
    chunk("IEND", {});
    return out;
}

// A GIF whose logical screen is w x h with one 1x1 frame: 35 bytes.
std::vector<uint8_t> big_canvas_gif(int w, int h) {
    std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a'};
    g.insert(g.end(), {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                       static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8), 0x80, 0, 0});
    g.insert(g.end(), {0, 0, 0, 255, 255, 255});  // global colour table, two entries
    g.insert(g.end(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});  // image descriptor, 1x1
    g.insert(g.end(), {2, 2, 0x44, 0x01, 0, 0x3B});       // LZW: clear, 0, end; trailer
    return g;
}

// A little-endian grey TIFF of w x h in 256 x 256 uncompressed tiles that
// all share one tile of zeros.
std::vector<uint8_t> shared_tile_tiff(int w, int h) {
    const uint32_t side = 256, across = (w + side - 1) / side, down = (h + side - 1) / side;
    const uint32_t tiles = across * down, entries = 10;
    const uint32_t offsets = 8 + 2 + entries * 12 + 4, counts = offsets + 4 * tiles, data = counts + 4 * tiles;
    std::vector<uint8_t> t = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&t](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) t.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(entries, 2);
    const uint32_t tags[][3] = {{256, 4, uint32_t(w)}, {257, 4, uint32_t(h)}, {258, 3, 8},  {259, 3, 1},
                                {262, 3, 1},           {277, 3, 1},           {322, 3, side}, {323, 3, side},
                                {324, 4, offsets},     {325, 4, counts}};
    for (const auto &g : tags) {
        put(g[0], 2);
        put(g[1], 2);
        put(g[0] >= 324 ? tiles : 1, 4);
        put(g[2], g[1] == 3 ? 2 : 4);
        if (g[1] == 3) put(0, 2);
    }
    put(0, 4);  // no next IFD
    for (uint32_t i = 0; i < tiles; ++i) put(data, 4);
    for (uint32_t i = 0; i < tiles; ++i) put(side * side, 4);
    t.resize(t.size() + side * side, 0);
    return t;
}

std::string write_scratch(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string path = tt::scratch(name);
    tt::write_file(path, bytes);
    return path;
}

// A row of the status table: a call, and the class it must come back with.
struct StatusCase {
    const char *what;
    int status;
    std::function<trimlet_request(std::vector<int> &, trimlet_options &)> make;
};

TEST(RunStatus, EveryClassComesFromARealInputOrCall) {
    Pixels img = tt::gradient(40, 30);
    std::string png = tt::scratch("in.png");
    tt::write_png(png, img);
    std::vector<uint8_t> png_bytes = tt::read_file(png);
    std::string jpg = tt::scratch("in.jpg");
    tt::write_jpeg(jpg, img, 90);
    std::vector<uint8_t> jpg_bytes = tt::read_file(jpg);
    std::string half_png = write_scratch(
        "half.png", std::vector<uint8_t>(png_bytes.begin(), png_bytes.begin() + png_bytes.size() / 2));
    std::string half_jpg = write_scratch(
        "half.jpg", std::vector<uint8_t>(jpg_bytes.begin(), jpg_bytes.begin() + jpg_bytes.size() / 2));
    // The zlib stream inside IDAT made nonsense (after its two-byte header).
    std::vector<uint8_t> bad_zlib = png_bytes;
    for (size_t i = 0; i + 8 < bad_zlib.size(); ++i) {
        if (std::memcmp(&bad_zlib[i], "IDAT", 4) == 0) {
            for (size_t k = i + 6; k < i + 40 && k < bad_zlib.size(); ++k) bad_zlib[k] ^= 0x5A;
            break;
        }
    }
    std::string bad_png = write_scratch("bad_zlib.png", bad_zlib);
    std::string wide = write_scratch("wide.png", zero_png(40000, 1, 8));
    std::string dir = tt::scratch_dir();
    static const uint8_t TEXT[] = "not an image at all";
    static const uint8_t EMPTY[1] = {0};

    auto file_to = [&](const std::string &in, const std::string &out, int rule, std::vector<int> &p,
                       std::vector<int> values) {
        p = values;
        trimlet_request q = request(rule, p);
        q.input_path = in.c_str();
        if (!out.empty()) q.output_path = out.c_str();
        return q;
    };
    const std::string out_png = tt::scratch("out.png"), missing_dir = tt::scratch("no/such/out.png"),
                      out_xyz = tt::scratch("out.xyz"), missing = tt::scratch("missing.png"),
                      proc = "/proc/trimlet-out.png", full = "/dev/full", none;
    std::vector<StatusCase> cases = {
        {"unknown rule", TRIMLET_ERR_ARGUMENT,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(png, none, 99, p, {0}); }},
        {"quality out of range", TRIMLET_ERR_ARGUMENT,
         [&](std::vector<int> &p, trimlet_options &o) {
             trimlet_request q = file_to(png, out_png, TRIMLET_RECT, p, {0, 0, 5, 5});
             o.quality = 101;
             q.options = &o;
             return q;
         }},
        {"both outputs", TRIMLET_ERR_ARGUMENT,
         [&](std::vector<int> &p, trimlet_options &) {
             trimlet_request q = file_to(png, out_png, TRIMLET_RECT, p, {0, 0, 5, 5});
             q.output_to_memory = 1;
             return q;
         }},
        {"unknown format name", TRIMLET_ERR_ARGUMENT,
         [&](std::vector<int> &p, trimlet_options &o) {
             trimlet_request q = file_to(png, none, TRIMLET_RECT, p, {0, 0, 5, 5});
             q.output_to_memory = 1;
             o.format = "pcx";
             q.options = &o;
             return q;
         }},
        {"rect outside", TRIMLET_ERR_RULE,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(png, none, TRIMLET_RECT, p, {50, 0, 5, 5}); }},
        {"uniform auto", TRIMLET_ERR_RULE,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(png, none, TRIMLET_AUTO, p, {100}); }},
        {"not an image", TRIMLET_ERR_UNSUPPORTED,
         [&](std::vector<int> &p, trimlet_options &) {
             p = {0, 0, 1, 1};
             trimlet_request q = request(TRIMLET_RECT, p);
             q.input = TEXT;
             q.input_size = sizeof TEXT;
             return q;
         }},
        {"empty input", TRIMLET_ERR_UNSUPPORTED,
         [&](std::vector<int> &p, trimlet_options &) {
             p = {0, 0, 1, 1};
             trimlet_request q = request(TRIMLET_RECT, p);
             q.input = EMPTY;
             return q;
         }},
        {"unknown output extension", TRIMLET_ERR_UNSUPPORTED,
         [&](std::vector<int> &p, trimlet_options &) {
             return file_to(png, out_xyz, TRIMLET_RECT, p, {0, 0, 5, 5});
         }},
        {"truncated PNG", TRIMLET_ERR_CORRUPT,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(half_png, none, TRIMLET_RECT, p, {0, 0, 5, 5}); }},
        {"truncated JPEG", TRIMLET_ERR_CORRUPT,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(half_jpg, none, TRIMLET_RECT, p, {0, 0, 5, 5}); }},
        {"damaged PNG data", TRIMLET_ERR_CORRUPT,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(bad_png, none, TRIMLET_RECT, p, {0, 0, 5, 5}); }},
        {"side over 32768", TRIMLET_ERR_TOO_LARGE,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(wide, none, TRIMLET_RECT, p, {0, 0, 5, 1}); }},
        {"over max_pixels", TRIMLET_ERR_TOO_LARGE,
         [&](std::vector<int> &p, trimlet_options &o) {
             trimlet_request q = file_to(png, none, TRIMLET_RECT, p, {0, 0, 5, 5});
             o.max_pixels = 40 * 30 - 1;
             q.options = &o;
             return q;
         }},
        {"missing input", TRIMLET_ERR_READ,
         [&](std::vector<int> &p, trimlet_options &) {
             return file_to(missing, none, TRIMLET_RECT, p, {0, 0, 5, 5});
         }},
        {"folder as input", TRIMLET_ERR_READ,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(dir, none, TRIMLET_RECT, p, {0, 0, 5, 5}); }},
        {"missing output folder", TRIMLET_ERR_WRITE,
         [&](std::vector<int> &p, trimlet_options &) { return file_to(png, missing_dir, TRIMLET_RECT, p, {0, 0, 5, 5}); }},
#ifndef _WIN32
        {"folder nobody may write", TRIMLET_ERR_WRITE,
         [&](std::vector<int> &p, trimlet_options &) {
             return file_to(png, proc, TRIMLET_RECT, p, {0, 0, 5, 5});
         }},
        {"full disk", TRIMLET_ERR_WRITE,
         [&](std::vector<int> &p, trimlet_options &o) {
             trimlet_request q = file_to(png, full, TRIMLET_RECT, p, {0, 0, 5, 5});
             o.format = "png";
             q.options = &o;
             return q;
         }},
#endif
    };
    // An option this build lacks, where there is one.
    if (!trimlet_has("lossless")) {
        cases.push_back({"lossless without libjpeg-turbo", TRIMLET_ERR_UNAVAILABLE,
                         [&](std::vector<int> &p, trimlet_options &o) {
                             trimlet_request q = file_to(jpg, none, TRIMLET_RECT, p, {0, 0, 5, 5});
                             o.lossless = 1;
                             q.options = &o;
                             return q;
                         }});
    } else {
        cases.push_back({"lossless to PNG", TRIMLET_ERR_UNSUPPORTED,
                         [&](std::vector<int> &p, trimlet_options &o) {
                             trimlet_request q = file_to(jpg, out_png, TRIMLET_RECT, p, {0, 0, 5, 5});
                             o.lossless = 1;
                             q.options = &o;
                             return q;
                         }});
    }
    for (const StatusCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int> p;
        trimlet_options o = options();
        trimlet_request q = c.make(p, o);
        Call r = call(q);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.r.status, c.status) << r.r.error;
        EXPECT_NE(r.r.error[0], '\0');
        EXPECT_EQ(r.r.box.w, 0);
        EXPECT_EQ(r.r.output, nullptr);
        EXPECT_EQ(r.r.output_format, nullptr);
    }
    EXPECT_FALSE(tt::file_exists(out_png));
}

// trimlet_run with each input and output gives exactly what the 1.1
// function for that combination gives, and its plan the same box.
TEST(RunOutputs, EveryInputAndOutputMatchesTheOneOneFunctions) {
    Pixels img = tt::gradient(61, 47);
    std::string in = tt::scratch("in.png");
    tt::write_png(in, img);
    std::vector<uint8_t> bytes = tt::read_file(in);
    struct Rule {
        int rule;
        std::vector<int> params;
    };
    const Rule rules[] = {{TRIMLET_RECT, {-3, 5, 30, 20}}, {TRIMLET_ASPECT, {2}}, {TRIMLET_AUTO, {10}},
                          {TRIMLET_EDGES, {10, 0, 5, 25}}, {TRIMLET_RATIO, {5, 7}}};
    for (const char *format : {"png", "jpg", "bmp", "tga"}) {
        for (const Rule &rule : rules) {
            SCOPED_TRACE(std::string(format) + " rule " + std::to_string(rule.rule));
            trimlet_options o = options();
            o.format = format;
            // 1.1: file to file, memory to memory, and the plan.
            std::string old_out = tt::scratch(std::string("old.") + format);
            char error[TRIMLET_ERROR_SIZE];
            ASSERT_EQ(trimlet_crop_file(in.c_str(), old_out.c_str(), rule.rule, rule.params.data(), &o, error), 1)
                << error;
            void *block = nullptr;
            size_t size = 0;
            ASSERT_EQ(trimlet_crop_memory(bytes.data(), bytes.size(), rule.rule, rule.params.data(), &o, &block,
                                          &size, error),
                      1);
            std::vector<uint8_t> old_mem(static_cast<uint8_t *>(block), static_cast<uint8_t *>(block) + size);
            trimlet_free(block);
            trimlet_box box;
            ASSERT_EQ(trimlet_plan_file(in.c_str(), rule.rule, rule.params.data(), &o, &box, error), 1);
            EXPECT_EQ(tt::read_file(old_out), old_mem);

            for (int from_memory = 0; from_memory < 2; ++from_memory) {
                for (int to_memory = 0; to_memory < 3; ++to_memory) {  // file, memory, plan
                    trimlet_request q = request(rule.rule, rule.params);
                    q.options = &o;
                    if (from_memory) {
                        q.input = bytes.data();
                        q.input_size = bytes.size();
                    } else {
                        q.input_path = in.c_str();
                    }
                    std::string out = tt::scratch(std::string("new.") + format);
                    std::remove(out.c_str());
                    if (to_memory == 0) q.output_path = out.c_str();
                    q.output_to_memory = to_memory == 1;
                    Call r = call(q);
                    ASSERT_EQ(r.ok, 1) << r.r.error;
                    EXPECT_EQ(r.r.box.x, box.x);
                    EXPECT_EQ(r.r.box.y, box.y);
                    EXPECT_EQ(r.r.box.w, box.w);
                    EXPECT_EQ(r.r.box.h, box.h);
                    EXPECT_EQ(r.r.box.image_w, 61);
                    EXPECT_EQ(r.r.box.image_h, 47);
                    EXPECT_EQ(r.r.output_w, box.w);
                    EXPECT_EQ(r.r.output_h, box.h);
                    if (to_memory == 2) {
                        EXPECT_EQ(r.r.output_format, nullptr);
                        EXPECT_FALSE(tt::file_exists(out));
                        continue;
                    }
                    std::string expected_name = std::strcmp(format, "jpg") == 0 ? "jpeg" : format;
                    ASSERT_NE(r.r.output_format, nullptr);
                    EXPECT_EQ(r.r.output_format, expected_name);
                    EXPECT_EQ(to_memory ? r.bytes : tt::read_file(out), old_mem);
                }
            }
        }
    }
}

// input_format names the format of what was read, whatever became of the
// call: a damaged JPEG is still a JPEG; bytes of no known type have none.
TEST(RunRecords, InputFormatNamesWhatWasRead) {
    const Pixels img = tt::gradient(12, 9);
    using Writer = std::function<void(const std::string &)>;
    const struct {
        const char *expected;
        Writer write;
    } cases[] = {
        {"png", [&](const std::string &p) { tt::write_png(p, img); }},
        {"jpeg", [&](const std::string &p) { tt::write_jpeg(p, img, 90); }},
        {"bmp", [&](const std::string &p) { tt::write_bmp24(p, img); }},
        {"pnm", [&](const std::string &p) { tt::write_ppm(p, img); }},
        {"tga", [&](const std::string &p) { tt::write_tga(p, img); }},
        {"gif", [&](const std::string &p) { tt::write_gif(p, img); }},
        {"psd", [&](const std::string &p) { tt::write_psd(p, img); }},
        {"hdr", [&](const std::string &p) { tt::write_hdr(p, img); }},
        {"pic", [&](const std::string &p) { tt::write_pic(p, img); }},
        {"tiff", [&](const std::string &p) { tt::write_file(p, shared_tile_tiff(12, 9)); }},
        {"jpeg", [&](const std::string &p) {  // cut off in its data: refused, still a JPEG
             tt::write_jpeg(p, img, 90);
             std::vector<uint8_t> b = tt::read_file(p);
             b.resize(b.size() / 2);
             tt::write_file(p, b);
         }},
        {nullptr, [&](const std::string &p) { tt::write_file(p, {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'g'}); }},
    };
    std::vector<int> params = {0, 0, 4, 4};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected ? c.expected : "(none)");
        std::string path = tt::scratch("format.in");
        c.write(path);
        std::vector<uint8_t> bytes = tt::read_file(path);
        trimlet_request q = request(TRIMLET_RECT, params);
        q.input = bytes.data();
        q.input_size = bytes.size();
        Call memory = call(q);
        q.input = nullptr;
        q.input_path = path.c_str();
        Call file = call(q);
        for (const Call *r : {&memory, &file}) {
            if (c.expected == nullptr) {
                EXPECT_EQ(r->r.input_format, nullptr);
            } else {
                ASSERT_NE(r->r.input_format, nullptr);
                EXPECT_STREQ(r->r.input_format, c.expected);
            }
        }
    }
}

TEST(RunRecords, SizesOfTheCallersRecordsAreHonoured) {
    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(20, 10));
    std::vector<int> p = {0, 0, 4, 4};
    trimlet_request q = request(TRIMLET_RECT, p);
    q.input_path = in.c_str();

    // A result too small to hold the status gets nothing written.
    trimlet_result r;
    std::memset(&r, 0x5A, sizeof r);
    r.size = offsetof(trimlet_result, status);
    EXPECT_EQ(trimlet_run(&q, &r), 0);
    EXPECT_EQ(r.status, 0x5A5A5A5A);
    // One that ends after the box gets the status and the box, nothing past it.
    r.size = offsetof(trimlet_result, output_w);
    EXPECT_EQ(trimlet_run(&q, &r), 1);
    EXPECT_EQ(r.status, TRIMLET_OK);
    EXPECT_EQ(r.box.w, 4);
    EXPECT_EQ(r.output_w, 0x5A5A5A5A);
    // Memory output needs the fields that hold it.
    q.output_to_memory = 1;
    EXPECT_EQ(trimlet_run(&q, &r), 0);
    EXPECT_EQ(r.status, TRIMLET_ERR_ARGUMENT);
    q.output_to_memory = 0;
    // Records larger than ours come from a newer header: refused.
    r.size = sizeof r + 8;
    EXPECT_EQ(trimlet_run(&q, &r), 0);
    EXPECT_EQ(r.status, TRIMLET_ERR_ARGUMENT);
    EXPECT_STREQ(r.error, ("result: size " + std::to_string(sizeof r + 8) + " is larger than this library's " +
                           std::to_string(sizeof r) + " (built against a newer header)")
                              .c_str());
    r.size = sizeof r;
    q.size = sizeof q + 8;
    EXPECT_EQ(trimlet_run(&q, &r), 0);
    EXPECT_EQ(r.status, TRIMLET_ERR_ARGUMENT);
    // An older request without options gets the defaults.
    q.size = offsetof(trimlet_request, options);
    trimlet_options bad = options();
    bad.quality = -1;
    q.options = &bad;
    EXPECT_EQ(trimlet_run(&q, &r), 1) << r.error;
    EXPECT_EQ(trimlet_run(nullptr, &r), 0);
    EXPECT_STREQ(r.error, "run: NULL request");
    EXPECT_EQ(trimlet_run(&q, nullptr), 0);
}

TEST(RunFeatures, VersionAndFeaturesAtRunTime) {
    EXPECT_STREQ(trimlet_version(), TRIMLET_VERSION_STRING);
    EXPECT_STREQ(trimlet_version(), TRIMLET_PROJECT_VERSION);
    EXPECT_EQ(trimlet_has(nullptr), 0);
    EXPECT_EQ(trimlet_has("no such feature"), 0);
    EXPECT_EQ(trimlet_has("LOSSLESS"), 0);
    // A feature the build lacks is refused with UNAVAILABLE, never silently.
    EXPECT_EQ(trimlet_has("lossless"), trimlet_has("libjpeg-turbo"));
}

// Sanitizers reserve address space of their own: no limit can be set there.
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRIMLET_NO_ADDRESS_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TRIMLET_NO_ADDRESS_LIMIT 1
#endif
#endif

#ifndef TRIMLET_NO_ADDRESS_LIMIT
// The size of the process's address space in bytes (Linux).
size_t address_space() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
#endif

// Inputs whose headers claim far more pixels than their bytes: refused by
// default with TOO_LARGE, within 4 MiB of address space beyond what a 1x1
// crop takes (checked in a child process under that limit); valid files that
// a plan with no pixel limit decodes.
struct Bomb {
    const char *name;
    std::vector<uint8_t> bytes;
};

const std::vector<Bomb> &bombs() {
    static const std::vector<Bomb> made = [] {
        std::vector<Bomb> b = {
            {"25000x20000.png", zero_png(25000, 20000, 8)},          // 486 KB
            {"16384x16384-1bit.png", zero_png(16384, 16384, 1)},     // 33 KB
            {"32768x16383.gif", big_canvas_gif(32768, 16383)},       // 35 bytes
        };
        if (trimlet_has("tiff")) b.push_back({"20000x20000.tif", shared_tile_tiff(20000, 20000)});  // 115 KB
        return b;
    }();
    return made;
}

TEST(RunLimits, DecompressionBombsAreRefusedByDefaultFromTheirHeaders) {
    std::string small = tt::scratch("small.png");
    tt::write_png(small, tt::gradient(1, 1));
    std::vector<int> p = {0, 0, 10, 10};
    for (const Bomb &b : bombs()) {
        SCOPED_TRACE(b.name);
        std::string path = write_scratch(b.name, b.bytes);
        trimlet_request q = request(TRIMLET_RECT, p);
        q.input_path = path.c_str();
        trimlet_options o = options();
        q.options = &o;
        std::string out = tt::scratch("bomb-out.png");
        q.output_path = out.c_str();
        Call r = call(q);
        EXPECT_EQ(r.r.status, TRIMLET_ERR_TOO_LARGE) << r.r.error;
        EXPECT_NE(std::string(r.r.error).find("(max_pixels)"), std::string::npos) << r.r.error;
#ifndef TRIMLET_NO_ADDRESS_LIMIT
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            trimlet_request warm = request(TRIMLET_RECT, p);
            warm.input_path = small.c_str();
            warm.output_path = out.c_str();
            trimlet_result res;
            res.size = sizeof res;
            trimlet_run(&warm, &res);
            rlimit lim;
            lim.rlim_cur = lim.rlim_max = address_space() + (4u << 20);
            setrlimit(RLIMIT_AS, &lim);
            trimlet_run(&q, &res);
            _exit(res.status);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), TRIMLET_ERR_TOO_LARGE);
#endif
    }
}

// Without the limit they are valid files. A rectangle's region is decoded
// where the decoder can (PNG through libspng, TIFF); the GIF, which stb_image
// decodes whole into several blocks of its canvas (about 4.7 GB), is left to
// the README's measurements.
TEST(RunLimits, BombsAreValidFilesWhenTheLimitIsLifted) {
    std::vector<int> p = {0, 0, 10, 10};
    for (const Bomb &b : bombs()) {
        SCOPED_TRACE(b.name);
        std::string name = b.name;
        if (name.find(".gif") != std::string::npos) continue;
        if (name.find(".png") != std::string::npos && !trimlet_has("libspng")) continue;
        trimlet_request q = request(TRIMLET_RECT, p);
        q.input = b.bytes.data();
        q.input_size = b.bytes.size();
        trimlet_options o = options();
        o.max_pixels = -1;
        q.options = &o;
        Call r = call(q);
        EXPECT_EQ(r.ok, 1) << r.r.error;
        EXPECT_EQ(r.r.box.w, 10);
    }
}

}  // namespace
