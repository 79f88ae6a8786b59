// Each input is opened by its codec once a call, and the libraries that
// parse a container (libtiff, libheif) parse it once: counted inside the
// library (base/count.h) across every kind of call a host makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/count.h"
#include "support.h"
#include "trimlet.h"

using namespace tt;

namespace {

// A 64x48 8-bit grey TIFF, one strip, no compression: the smallest a
// reader must open.
std::vector<uint8_t> tiny_tiff() {
    const int w = 64, h = 48, tags = 8;
    std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](unsigned v) { f.push_back(uint8_t(v)); f.push_back(uint8_t(v >> 8)); };
    auto u32 = [&](unsigned v) { u16(v & 0xffff); u16(v >> 16); };
    unsigned data = 8 + 2 + tags * 12 + 4;
    u16(tags);
    const unsigned entries[tags][3] = {{256, 3, w},   {257, 3, h},    {258, 3, 8},    {262, 3, 1},
                                       {273, 4, data}, {277, 3, 1},   {278, 3, h},    {279, 4, w * h}};
    for (const auto &e : entries) {
        u16(e[0]);
        u16(e[1]);
        u32(1);
        e[1] == 3 ? (u16(e[2]), u16(0)) : u32(e[2]);
    }
    u32(0);
    for (int i = 0; i < w * h; ++i) f.push_back(uint8_t(i * 7));
    return f;
}

// The file a trimlet_run crop of a gradient PNG writes in format, or empty
// where this build cannot write it.
std::vector<uint8_t> made_by_library(const char *format) {
    std::string png = testing::TempDir() + "opens_source.png";
    write_png(png, gradient(64, 48));
    trimlet_options o = {};
    o.size = sizeof o;
    o.format = format;
    trimlet_request q = {};
    q.size = sizeof q;
    q.input_path = png.c_str();
    q.rule = TRIMLET_RECT;
    const int params[4] = {0, 0, 64, 48};
    q.params = params;
    q.output_to_memory = 1;
    q.options = &o;
    trimlet_result r = {};
    r.size = sizeof r;
    if (!trimlet_run(&q, &r)) return {};
    std::vector<uint8_t> v((const uint8_t *)r.output, (const uint8_t *)r.output + r.output_size);
    trimlet_free(r.output);
    return v;
}

struct Counts {
    unsigned long reader, tiff, heif, jpeg_header, webp_demux;
};

Counts counted() {
    return {opens_counted(OPEN_READER), opens_counted(OPEN_TIFF), opens_counted(OPEN_HEIF),
            opens_counted(OPEN_JPEG_HEADER), opens_counted(OPEN_WEBP_DEMUX)};
}

TEST(Opens, EachInputIsOpenedOncePerCall) {
    std::string jpeg_path = testing::TempDir() + "opens.jpg";
    write_jpeg(jpeg_path, gradient(64, 48), 90);
    std::string gif_path = testing::TempDir() + "opens.gif";
    Pixels two = solid(64, 48, 200, 30, 30);
    for (int y = 10; y < 30; ++y) {
        for (int x = 20; x < 50; ++x) two.at(x, y)[1] = 180;
    }
    write_gif(gif_path, two);
    struct Input {
        const char *name;
        std::vector<uint8_t> bytes;
        int tiff, heif;  // the library's own opens each call must make
    } inputs[] = {
        {"jpeg", read_file(jpeg_path), 0, 0},
        {"png", made_by_library("png"), 0, 0},
        {"gif", read_file(gif_path), 0, 0},
        {"bmp", made_by_library("bmp"), 0, 0},
        {"webp", made_by_library("webp"), 0, 0},
        {"tiff", trimlet_has("tiff") ? tiny_tiff() : std::vector<uint8_t>(), 1, 0},
        {"avif", trimlet_has("avif") ? made_by_library("avif") : std::vector<uint8_t>(), 0, 1},
    };
    // rect, auto (decodes the whole), attention (judges a reduced picture),
    // as a plan, a crop with the metadata kept and upright, a lossless cut.
    struct Call {
        const char *what;
        int rule, position, dest_memory, lossless, keep;
    } calls[] = {
        {"rect plan", TRIMLET_RECT, TRIMLET_CENTRE, 0, 0, 0},
        {"rect crop", TRIMLET_RECT, TRIMLET_CENTRE, 1, 0, 1},
        {"auto crop", TRIMLET_AUTO, TRIMLET_CENTRE, 1, 0, 0},
        {"attention crop", TRIMLET_ASPECT, TRIMLET_ATTENTION, 1, 0, 0},
        {"lossless plan", TRIMLET_RECT, TRIMLET_CENTRE, 0, 1, 0},
        {"lossless cut", TRIMLET_ASPECT, TRIMLET_ATTENTION, 1, 1, 1},
    };
    for (const Input &in : inputs) {
        if (in.bytes.empty()) continue;  // a format this build does not have
        for (const Call &c : calls) {
            bool jpeg = std::string(in.name) == "jpeg";
            if (c.lossless && !(jpeg && trimlet_has("lossless"))) continue;
            SCOPED_TRACE(std::string(in.name) + " " + c.what);
            trimlet_options o = {};
            o.size = sizeof o;
            o.lossless = c.lossless;
            if (c.lossless) o.format = "jpeg";
            o.position = c.position;
            o.orient = TRIMLET_APPLY_EXIF;
            o.metadata = c.keep ? TRIMLET_KEEP : TRIMLET_STRIP;
            trimlet_request q = {};
            q.size = sizeof q;
            q.input = in.bytes.data();
            q.input_size = in.bytes.size();
            q.rule = c.rule;
            const int params[4] = {c.rule == TRIMLET_AUTO ? 10 : 1, 1, 32, 24};
            q.params = params;
            q.output_to_memory = c.dest_memory;
            q.options = &o;
            trimlet_result r = {};
            r.size = sizeof r;
            Counts before = counted();
            EXPECT_EQ(trimlet_run(&q, &r), 1) << r.error;
            trimlet_free(r.output);
            Counts after = counted();
            EXPECT_EQ(after.reader - before.reader, 1u);
            EXPECT_EQ(after.tiff - before.tiff, (unsigned long)in.tiff);
            EXPECT_EQ(after.heif - before.heif, (unsigned long)in.heif);
            EXPECT_EQ(after.jpeg_header - before.jpeg_header, c.lossless ? 1u : 0u);
            EXPECT_EQ(after.webp_demux - before.webp_demux, 0u);  // a still's chunks: its reader's
        }
    }
}

}  // namespace
