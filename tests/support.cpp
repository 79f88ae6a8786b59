// SPDX-License-Identifier: MIT
#include "support.h"

#include "trimlet.h"

#include <gtest/gtest.h>
#ifndef TRIMLET_TEST_NO_LIBPNG
#include <jpeglib.h>
#include <png.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace tt {

Pixels solid(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    Pixels p;
    p.w = w;
    p.h = h;
    p.rgba.resize(size_t(w) * h * 4);
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        p.rgba[i] = r;
        p.rgba[i + 1] = g;
        p.rgba[i + 2] = b;
        p.rgba[i + 3] = a;
    }
    return p;
}

Pixels gradient(int w, int h) {
    Pixels p = solid(w, h, 0, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(x & 255);
            q[1] = uint8_t(y & 255);
            q[2] = uint8_t(((x >> 8) * 16 + (y >> 8)) & 255);
            q[3] = uint8_t(255 - ((x + y) & 127));
        }
    }
    return p;
}

Pixels crop(const Pixels &p, int x, int y, int w, int h) {
    Pixels c = solid(w, h, 0, 0, 0, 0);
    for (int r = 0; r < h; ++r) {
        std::memcpy(c.at(0, r), p.at(x, y + r), size_t(w) * 4);
    }
    return c;
}

Pixels flatten(const Pixels &p) {
    Pixels f = p;
    for (size_t i = 0; i < f.rgba.size(); i += 4) {
        unsigned a = f.rgba[i + 3];
        for (int c = 0; c < 3; ++c) {
            f.rgba[i + c] = uint8_t((f.rgba[i + c] * a + 255 * (255 - a) + 127) / 255);
        }
        f.rgba[i + 3] = 255;
    }
    return f;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(f.good()) << "cannot write " << path;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

static void put16(std::vector<uint8_t> &v, unsigned x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
static void put32(std::vector<uint8_t> &v, uint32_t x) {
    put16(v, x & 0xffff);
    put16(v, x >> 16);
}

// Windows builds define TRIMLET_TEST_NO_LIBPNG and take these from
// support_stb.cpp.
#ifndef TRIMLET_TEST_NO_LIBPNG
void write_png(const std::string &path, const Pixels &p) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = png_uint_32(p.w);
    img.height = png_uint_32(p.h);
    img.format = PNG_FORMAT_RGBA;
    ASSERT_TRUE(png_image_write_to_file(&img, path.c_str(), 0, p.rgba.data(), 0, nullptr))
        << "libpng cannot write " << path << ": " << img.message;
}

void read_png_metadata(const std::string &path, std::vector<uint8_t> *icc,
                       std::vector<uint8_t> *exif) {
    icc->clear();
    exif->clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        ADD_FAILURE() << "libpng cannot read " << path;
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profile_len = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profile_len) == PNG_INFO_iCCP) {
        icc->assign(profile, profile + profile_len);
    }
    png_bytep exif_data = nullptr;
    png_uint_32 exif_len = 0;
    if (png_get_eXIf_1(png, info, &exif_len, &exif_data) == PNG_INFO_eXIf) {
        exif->assign(exif_data, exif_data + exif_len);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
}
#endif  // TRIMLET_TEST_NO_LIBPNG

void write_bmp24(const std::string &path, const Pixels &p) {
    int row = (p.w * 3 + 3) & ~3;
    std::vector<uint8_t> v = {'B', 'M'};
    put32(v, uint32_t(54 + row * p.h));
    put32(v, 0);
    put32(v, 54);
    put32(v, 40);
    put32(v, uint32_t(p.w));
    put32(v, uint32_t(p.h));
    put16(v, 1);
    put16(v, 24);
    put32(v, 0);
    put32(v, uint32_t(row * p.h));
    put32(v, 2835);
    put32(v, 2835);
    put32(v, 0);
    put32(v, 0);
    for (int y = p.h - 1; y >= 0; --y) {
        for (int x = 0; x < p.w; ++x) {
            const uint8_t *q = p.at(x, y);
            v.push_back(q[2]);
            v.push_back(q[1]);
            v.push_back(q[0]);
        }
        for (int pad = p.w * 3; pad < row; ++pad) v.push_back(0);
    }
    write_file(path, v);
}

void write_ppm(const std::string &path, const Pixels &p) {
    std::string head = "P6\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n";
    std::vector<uint8_t> v(head.begin(), head.end());
    for (int y = 0; y < p.h; ++y) {
        for (int x = 0; x < p.w; ++x) {
            const uint8_t *q = p.at(x, y);
            v.insert(v.end(), q, q + 3);
        }
    }
    write_file(path, v);
}

void write_pgm(const std::string &path, const Pixels &p) {
    std::string head = "P5\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n";
    std::vector<uint8_t> v(head.begin(), head.end());
    for (size_t i = 0; i < p.rgba.size(); i += 4) v.push_back(p.rgba[i]);
    write_file(path, v);
}

void write_tga(const std::string &path, const Pixels &p) {
    std::vector<uint8_t> v = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16(v, unsigned(p.w));
    put16(v, unsigned(p.h));
    v.push_back(32);
    v.push_back(0x28);  // 8 alpha bits, first row at the top
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        const uint8_t *q = &p.rgba[i];
        v.insert(v.end(), {q[2], q[1], q[0], q[3]});
    }
    write_file(path, v);
}

// A 128-entry palette makes every LZW code 8 bits wide, so the code stream is
// plain bytes: clear, one index per pixel, end. A clear every 100 pixels keeps
// the code table from reaching the point where codes would widen.
void write_gif(const std::string &path, const Pixels &p) {
    std::vector<uint32_t> palette;
    std::vector<uint8_t> codes;
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        if (i / 4 % 100 == 0) codes.push_back(0x80);
        uint32_t c = p.rgba[i] | p.rgba[i + 1] << 8 | p.rgba[i + 2] << 16;
        size_t k = 0;
        while (k < palette.size() && palette[k] != c) ++k;
        if (k == palette.size()) palette.push_back(c);
        codes.push_back(uint8_t(k));
    }
    codes.push_back(0x81);
    ASSERT_LE(palette.size(), 128u) << "too many colours for write_gif";
    std::vector<uint8_t> v = {'G', 'I', 'F', '8', '9', 'a'};
    put16(v, unsigned(p.w));
    put16(v, unsigned(p.h));
    v.insert(v.end(), {0xF6, 0, 0});  // global palette of 2^(6+1) entries
    palette.resize(128);
    for (uint32_t c : palette) v.insert(v.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
    v.insert(v.end(), {0x2C, 0, 0, 0, 0});
    put16(v, unsigned(p.w));
    put16(v, unsigned(p.h));
    v.insert(v.end(), {0, 7});  // no local palette; LZW minimum code size 7
    for (size_t i = 0; i < codes.size(); i += 255) {
        size_t n = std::min<size_t>(255, codes.size() - i);
        v.push_back(uint8_t(n));
        v.insert(v.end(), codes.begin() + long(i), codes.begin() + long(i + n));
    }
    v.insert(v.end(), {0, 0x3B});
    write_file(path, v);
}

static void put16be(std::vector<uint8_t> &v, unsigned x) { v.insert(v.end(), {uint8_t(x >> 8), uint8_t(x)}); }
static void put32be(std::vector<uint8_t> &v, uint32_t x) {
    put16be(v, x >> 16);
    put16be(v, x & 0xffff);
}

void write_psd(const std::string &path, const Pixels &p) {
    std::vector<uint8_t> v = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    put16be(v, 3);  // channels
    put32be(v, uint32_t(p.h));
    put32be(v, uint32_t(p.w));
    put16be(v, 8);  // bits per channel
    put16be(v, 3);  // RGB
    put32be(v, 0);  // colour mode data, image resources, layers: all empty
    put32be(v, 0);
    put32be(v, 0);
    put16be(v, 0);  // raw
    for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < p.rgba.size(); i += 4) v.push_back(p.rgba[i + c]);
    }
    write_file(path, v);
}

void write_hdr(const std::string &path, const Pixels &p) {
    std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(p.h) + " +X " +
                       std::to_string(p.w) + "\n";
    std::vector<uint8_t> v(head.begin(), head.end());
    for (size_t i = 0; i < p.rgba.size(); i += 4) v.insert(v.end(), {p.rgba[i], p.rgba[i + 1], p.rgba[i + 2], 128});
    write_file(path, v);
}

void write_pic(const std::string &path, const Pixels &p) {
    std::vector<uint8_t> v = {0x53, 0x80, 0xF6, 0x34};
    v.resize(88);  // version and comment
    v.insert(v.end(), {'P', 'I', 'C', 'T'});
    put16be(v, unsigned(p.w));
    put16be(v, unsigned(p.h));
    put32be(v, 0);                        // ratio
    put32be(v, 0);                        // fields, padding
    v.insert(v.end(), {0, 8, 0, 0xF0});  // one packet: 8 bits, raw, R G B A
    v.insert(v.end(), p.rgba.begin(), p.rgba.end());
    write_file(path, v);
}

static void put_chunk(std::vector<uint8_t> &v, const char *type, const std::vector<uint8_t> &data) {
    put32be(v, uint32_t(data.size()));
    size_t start = v.size();
    v.insert(v.end(), type, type + 4);
    v.insert(v.end(), data.begin(), data.end());
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = start; i < v.size(); ++i) {
        crc ^= v[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    put32be(v, ~crc);
}

void write_png_raw(const std::string &path, int w, int h, int color_type, int depth,
                   const std::vector<uint8_t> &rows) {
    std::vector<uint8_t> raw, z = {0x78, 0x01}, ihdr, v = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    size_t stride = rows.size() / size_t(h);
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rows.begin() + long(y * stride), rows.begin() + long((y + 1) * stride));
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t i = 0; i == 0 || i < raw.size(); i += 65535) {  // stored blocks
        size_t n = std::min<size_t>(65535, raw.size() - i);
        z.push_back(i + n >= raw.size());
        put16(z, unsigned(n));
        put16(z, unsigned(~n & 0xFFFF));
        z.insert(z.end(), raw.begin() + long(i), raw.begin() + long(i + n));
    }
    put32be(z, b << 16 | a);
    put32be(ihdr, uint32_t(w));
    put32be(ihdr, uint32_t(h));
    ihdr.insert(ihdr.end(), {uint8_t(depth), uint8_t(color_type), 0, 0, 0});
    put_chunk(v, "IHDR", ihdr);
    put_chunk(v, "IDAT", z);
    put_chunk(v, "IEND", {});
    write_file(path, v);
}

#ifndef TRIMLET_TEST_NO_LIBPNG
void write_jpeg(const std::string &path, const Pixels &p, int quality) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << "cannot create " << path;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = JDIMENSION(p.w);
    cinfo.image_height = JDIMENSION(p.h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> line(size_t(p.w) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < p.w; ++x) std::memcpy(&line[size_t(x) * 3], p.at(x, int(cinfo.next_scanline)), 3);
        JSAMPROW rows[1] = {line.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(f);
}

Pixels read_png(const std::string &path) {
    Pixels p;
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) {
        ADD_FAILURE() << "libpng cannot read " << path << ": " << img.message;
        return p;
    }
    img.format = PNG_FORMAT_RGBA;
    p.w = int(img.width);
    p.h = int(img.height);
    p.rgba.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, p.rgba.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng cannot decode " << path << ": " << img.message;
        png_image_free(&img);
        return Pixels();
    }
    return p;
}

Pixels read_jpeg(const std::string &path) {
    Pixels p;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return p;
    }
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    p = solid(int(cinfo.output_width), int(cinfo.output_height), 0, 0, 0, 255);
    std::vector<uint8_t> line(size_t(p.w) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        int y = int(cinfo.output_scanline);
        JSAMPROW rows[1] = {line.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
        for (int x = 0; x < p.w; ++x) std::memcpy(p.at(x, y), &line[size_t(x) * 3], 3);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return p;
}
#endif  // TRIMLET_TEST_NO_LIBPNG

static uint32_t get16(const std::vector<uint8_t> &v, size_t o) { return v[o] | (v[o + 1] << 8); }
static uint32_t get32(const std::vector<uint8_t> &v, size_t o) { return get16(v, o) | (get16(v, o + 2) << 16); }

Pixels read_bmp(const std::string &path) {
    std::vector<uint8_t> v = read_file(path);
    if (v.size() < 54 || v[0] != 'B' || v[1] != 'M' || get16(v, 28) != 24) {
        ADD_FAILURE() << path << " is not a 24-bit BMP";
        return Pixels();
    }
    int w = int(get32(v, 18));
    int32_t h = int32_t(get32(v, 22));
    bool top_down = h < 0;
    if (top_down) h = -h;
    size_t off = get32(v, 10);
    size_t row = (size_t(w) * 3 + 3) & ~size_t(3);
    if (v.size() < off + row * size_t(h)) {
        ADD_FAILURE() << path << " is truncated";
        return Pixels();
    }
    Pixels p = solid(w, h, 0, 0, 0, 255);
    for (int y = 0; y < h; ++y) {
        const uint8_t *src = &v[off + row * size_t(top_down ? y : h - 1 - y)];
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = src[x * 3 + 2];
            q[1] = src[x * 3 + 1];
            q[2] = src[x * 3];
        }
    }
    return p;
}

Pixels read_tga(const std::string &path) {
    std::vector<uint8_t> v = read_file(path);
    if (v.size() < 18 || v[1] != 0 || (v[2] != 2 && v[2] != 10) || v[16] != 32) {
        ADD_FAILURE() << path << " is not a 32-bit true-colour TGA";
        return Pixels();
    }
    int w = int(get16(v, 12)), h = int(get16(v, 14));
    bool top_down = (v[17] & 0x20) != 0;
    bool rle = v[2] == 10;
    size_t pos = 18 + v[0];
    std::vector<uint8_t> seq;  // BGRA in file order
    seq.reserve(size_t(w) * h * 4);
    while (seq.size() < size_t(w) * h * 4) {
        if (!rle) {
            if (pos + 4 > v.size()) break;
            seq.insert(seq.end(), &v[pos], &v[pos] + 4);
            pos += 4;
            continue;
        }
        if (pos >= v.size()) break;
        uint8_t head = v[pos++];
        int count = (head & 0x7f) + 1;
        if (head & 0x80) {
            if (pos + 4 > v.size()) break;
            for (int i = 0; i < count; ++i) seq.insert(seq.end(), &v[pos], &v[pos] + 4);
            pos += 4;
        } else {
            if (pos + size_t(count) * 4 > v.size()) break;
            seq.insert(seq.end(), &v[pos], &v[pos] + size_t(count) * 4);
            pos += size_t(count) * 4;
        }
    }
    if (seq.size() < size_t(w) * h * 4) {
        ADD_FAILURE() << path << " is truncated";
        return Pixels();
    }
    Pixels p = solid(w, h, 0, 0, 0, 0);
    for (int i = 0; i < w * h; ++i) {
        int x = i % w, y = i / w;
        uint8_t *q = p.at(x, top_down ? y : h - 1 - y);
        const uint8_t *s = &seq[size_t(i) * 4];
        q[0] = s[2];
        q[1] = s[1];
        q[2] = s[0];
        q[3] = s[3];
    }
    return p;
}

std::string sniff(const std::string &path) {
    std::vector<uint8_t> v = read_file(path);
    if (v.size() >= 8 && std::memcmp(v.data(), "\x89PNG\r\n\x1a\n", 8) == 0) return "png";
    if (v.size() >= 3 && v[0] == 0xff && v[1] == 0xd8 && v[2] == 0xff) return "jpeg";
    if (v.size() >= 2 && v[0] == 'B' && v[1] == 'M') return "bmp";
    if (v.size() >= 18 && v[1] == 0 && (v[2] == 2 || v[2] == 10)) return "tga";
    return "";
}

Pixels read_any(const std::string &path) {
    std::string kind = sniff(path);
    if (kind == "png") return read_png(path);
    if (kind == "jpeg") return read_jpeg(path);
    if (kind == "bmp") return read_bmp(path);
    if (kind == "tga") return read_tga(path);
    ADD_FAILURE() << path << " is not a PNG, JPEG, BMP or TGA file";
    return Pixels();
}

int max_diff(const Pixels &a, const Pixels &b) {
    if (a.w != b.w || a.h != b.h || a.rgba.size() != b.rgba.size()) return 256;
    int worst = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) {
        int d = std::abs(int(a.rgba[i]) - int(b.rgba[i]));
        if (d > worst) worst = d;
    }
    return worst;
}

Pixels run_crop(const Pixels &in, const CropCall &call, const std::string &name) {
    std::string src = scratch(name + ".png"), dst = scratch(name + "-out.png");
    std::remove(dst.c_str());
    write_png(src, in);
    if (call(src.c_str(), dst.c_str())) return read_png(dst);
    EXPECT_FALSE(file_exists(dst)) << "a failed call wrote " << dst;
    return Pixels();
}

void expect_refusal(const std::string &in, const CropCall &call, const std::string &message) {
    std::string out = scratch("refused-out.png");
    std::remove(out.c_str());
    EXPECT_EQ(outcome(call(in.c_str(), out.c_str())), message);
    EXPECT_FALSE(file_exists(out)) << "a failed call wrote " << out;
}

std::string empty_image(int w, int h) {
    std::string path = scratch("empty-" + std::to_string(w) + "x" + std::to_string(h) + ".pgm");
    std::string head = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    write_file(path, std::vector<uint8_t>(head.begin(), head.end()));
    return path;
}

std::string outcome(int result) {
    std::string text = trimlet_last_error();
    EXPECT_TRUE(result == 0 || result == 1) << "result " << result;
    EXPECT_EQ(result == 0, !text.empty()) << "result " << result << " with message '" << text << "'";
    return text;
}

namespace {
// Removes the scratch root when the test program exits.
struct ScratchRoot {
    std::string path;
    ~ScratchRoot() {
        if (!path.empty() && !std::getenv("TRIMLET_KEEP_SCRATCH")) {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    }
};
ScratchRoot g_root;
}  // namespace

std::string scratch_dir() {
    if (g_root.path.empty()) {
        std::random_device rd;
        for (int attempt = 0; attempt < 100 && g_root.path.empty(); ++attempt) {
            fs::path p = fs::temp_directory_path() /
                         ("trimlet-test-" + std::to_string(rd()) + std::to_string(attempt));
            std::error_code ec;
            if (fs::create_directory(p, ec)) g_root.path = p.string();
        }
    }
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
    for (char &c : name) {
        if (c == '/') c = '_';
    }
    fs::path dir = fs::path(g_root.path) / name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir.string();
}

std::string scratch(const std::string &name) { return scratch_dir() + "/" + name; }

}  // namespace tt
