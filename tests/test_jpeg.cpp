// SPDX-License-Identifier: MIT
// JPEG through libjpeg-turbo: region decoding gives exactly the pixels of a
// whole decode, a damaged file gets the same verdict whatever the region,
// files only stb_image takes still decode, the encoder's quality and
// subsampling, and lossless cuts with every rule and subsampling. Inputs are
// written and outputs read with the system's libjpeg, independently of the
// library's own use of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <jpeglib.h>

#include "support.h"
#include "trimlet.h"

namespace {

using tt::Pixels;
using Bytes = std::vector<uint8_t>;

const bool TURBO = TRIMLET_TEST_LIBJPEG_TURBO;

// The chroma subsamplings a camera or an encoder writes, with the block grid
// (iMCU) each puts a lossless cut on.
struct Sampling {
    const char *name;
    int h, v;  // luma sampling factors (chroma 1x1)
    bool grey;
    int mcu_w, mcu_h;
};
const Sampling SAMPLINGS[] = {
    {"4:4:4", 1, 1, false, 8, 8},
    {"4:2:2", 2, 1, false, 16, 8},
    {"4:2:0", 2, 2, false, 16, 16},
    {"grey", 1, 1, true, 8, 8},
};

// Colour detail at every scale, so that chroma upsampling at a region's
// edge shows in the pixels.
Pixels texture(int w, int h) {
    Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(x * 37 + y * 11);
            q[1] = uint8_t((x / 3) * 71 ^ (y / 2) * 29);
            q[2] = uint8_t(x * y);
        }
    }
    return p;
}

// texture inside a white frame, for the automatic rule.
Pixels framed(int w, int h, int x0, int y0, int x1, int y1) {
    Pixels p = tt::solid(w, h, 255, 255, 255);
    Pixels t = texture(w, h);
    for (int y = y0; y < y1; ++y) std::memcpy(p.at(x0, y), t.at(x0, y), size_t(x1 - x0) * 4);
    return p;
}

struct JumpingErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
void jump_back(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JumpingErrors *>(cinfo->err)->jump, 1); }

// A JPEG of p: baseline, Huffman or arithmetic coded, in the sampling s.
Bytes encode(const Pixels &p, int quality, const Sampling &s, bool arithmetic = false) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = JDIMENSION(p.w);
    cinfo.image_height = JDIMENSION(p.h);
    cinfo.input_components = s.grey ? 1 : 3;
    cinfo.in_color_space = s.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.comp_info[0].h_samp_factor = s.h;
    cinfo.comp_info[0].v_samp_factor = s.v;
    cinfo.arith_code = arithmetic;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> line(size_t(p.w) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t *src = p.at(0, int(cinfo.next_scanline));
        for (int x = 0; x < p.w; ++x) {
            if (s.grey) line[size_t(x)] = src[x * 4];
            else std::memcpy(&line[size_t(x) * 3], src + x * 4, 3);
        }
        JSAMPROW rows[1] = {line.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(mem, mem + size);
    free(mem);
    return out;
}

// An Adobe CMYK JPEG of one colour (inverted, as Adobe writes ink).
Bytes encode_cmyk(int w, int h, const uint8_t cmyk[4]) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> line(size_t(w) * 4);
    for (int x = 0; x < w; ++x) std::memcpy(&line[size_t(x) * 4], cmyk, 4);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW rows[1] = {line.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(mem, mem + size);
    free(mem);
    return out;
}

// What libjpeg reads from a JPEG: RGBA pixels and how it was coded.
struct Decoded {
    Pixels px;
    int components = 0;
    int h = 0, v = 0;  // the first component's sampling factors
    bool progressive = false, arithmetic = false;
    std::vector<int> luma_table;  // in natural (row-major) order
};

Decoded decode(const Bytes &jpeg) {
    Decoded d;
    jpeg_decompress_struct cinfo;
    JumpingErrors jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = jump_back;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        ADD_FAILURE() << "libjpeg cannot read the output";
        return Decoded();
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), (unsigned long)jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    d.components = cinfo.num_components;
    d.h = cinfo.comp_info[0].h_samp_factor;
    d.v = cinfo.comp_info[0].v_samp_factor;
    d.progressive = cinfo.progressive_mode;
    d.arithmetic = cinfo.arith_code;
    JQUANT_TBL *q = cinfo.quant_tbl_ptrs[cinfo.comp_info[0].quant_tbl_no];
    if (q != nullptr) d.luma_table.assign(q->quantval, q->quantval + 64);
    cinfo.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    d.px = tt::solid(int(cinfo.output_width), int(cinfo.output_height), 0, 0, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {d.px.at(0, int(cinfo.output_scanline))};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return d;
}

// The marker of a JPEG's frame header (0xC0 for baseline), found by walking
// the segments before it; 0 when there is none.
int frame_marker(const Bytes &b) {
    size_t p = 2;
    while (p + 4 <= b.size() && b[p] == 0xFF) {
        int m = b[p + 1];
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return m;
        p += 2 + (size_t(b[p + 2]) << 8 | b[p + 3]);
    }
    return 0;
}

// The 24-bit BMP stb_image_write produces (bottom-up rows padded to 4 bytes,
// BGR), as RGBA with alpha 255.
Pixels read_bmp(const Bytes &b) {
    auto le32 = [&](size_t i) { return int(b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t(b[i + 3]) << 24); };
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') {
        ADD_FAILURE() << "not a BMP";
        return Pixels();
    }
    int w = le32(18), h = le32(22);
    size_t at = size_t(le32(10)), stride = (size_t(w) * 3 + 3) / 4 * 4;
    Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = &b[at + stride * size_t(h - 1 - y)];
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = row[x * 3 + 2];
            q[1] = row[x * 3 + 1];
            q[2] = row[x * 3];
        }
    }
    return p;
}

// One trimlet_crop_memory call: the output bytes, or empty with *error set.
Bytes crop(const Bytes &in, int rule, const std::vector<int> &params, const trimlet_options *o,
           std::string *error = nullptr) {
    void *out = nullptr;
    size_t size = 0;
    char err[TRIMLET_ERROR_SIZE];
    int ok = trimlet_crop_memory(in.data(), in.size(), rule, params.data(), o, &out, &size, err);
    if (error != nullptr) *error = err;
    Bytes bytes;
    if (ok) {
        bytes.assign((uint8_t *)out, (uint8_t *)out + size);
    } else {
        EXPECT_EQ(out, nullptr);
    }
    trimlet_free(out);
    return bytes;
}

trimlet_options options(const char *format, int lossless = 0) {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    o.lossless = lossless;
    return o;
}

// The region (x, y, w, h) as the library decodes it, read from BMP output.
Pixels region(const Bytes &jpeg, int x, int y, int w, int h, std::string *error = nullptr) {
    trimlet_options bmp = options("bmp");
    Bytes out = crop(jpeg, TRIMLET_RECT, {x, y, w, h}, &bmp, error);
    return out.empty() ? Pixels() : read_bmp(out);
}

// jpeg with an Exif APP1 segment right after SOI whose IFD0 holds one
// entry, Orientation (SHORT) = orientation.
Bytes with_orientation(Bytes jpeg, int orientation) {
    const Bytes app1 = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                        1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, uint8_t(orientation), 0, 0, 0, 0, 0, 0, 0};
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

// The Orientation value of with_orientation's entry in a file, or 0.
int orientation_in(const Bytes &jpeg) {
    const Bytes entry = {0x12, 0x01, 3, 0, 1, 0, 0, 0};
    auto at = std::search(jpeg.begin(), jpeg.end(), entry.begin(), entry.end());
    return at == jpeg.end() ? 0 : int(at[8] | at[9] << 8);
}

// Where the pixel (x, y) of the upright picture is stored in a file of the
// given Exif orientation whose stored pixels are sw x sh.
void stored_at(int orientation, int sw, int sh, int x, int y, int *sx, int *sy) {
    switch (orientation) {
    case 2: *sx = sw - 1 - x; *sy = y; break;
    case 3: *sx = sw - 1 - x; *sy = sh - 1 - y; break;
    case 4: *sx = x; *sy = sh - 1 - y; break;
    case 5: *sx = y; *sy = x; break;
    case 6: *sx = y; *sy = sh - 1 - x; break;
    case 7: *sx = sw - 1 - y; *sy = sh - 1 - x; break;
    case 8: *sx = sw - 1 - y; *sy = x; break;
    default: *sx = x; *sy = y; break;
    }
}

// The stored picture of `upright` for an orientation (store), or the upright
// picture of a stored one (!store).
Pixels turn(const Pixels &p, int orientation, bool store) {
    bool swaps = orientation >= 5;
    int uw = store || !swaps ? p.w : p.h, uh = store || !swaps ? p.h : p.w;
    int sw = swaps ? uh : uw, sh = swaps ? uw : uh;
    Pixels out = tt::solid(store ? sw : uw, store ? sh : uh, 0, 0, 0);
    for (int y = 0; y < uh; ++y) {
        for (int x = 0; x < uw; ++x) {
            int sx = 0, sy = 0;
            stored_at(orientation, sw, sh, x, y, &sx, &sy);
            if (store) std::memcpy(out.at(sx, sy), p.at(x, y), 4);
            else std::memcpy(out.at(x, y), p.at(sx, sy), 4);
        }
    }
    return out;
}

}  // namespace

TEST(JpegRegion, EqualsTheWholeDecodeAtEveryOffsetModuloTheBlockAndAtTheEdges) {
    const int W = 100, H = 75;
    Pixels src = texture(W, H);
    trimlet_options bmp = options("bmp");
    for (const Sampling &s : SAMPLINGS) {
        SCOPED_TRACE(s.name);
        Bytes jpeg = encode(src, 90, s);
        // The automatic rule decodes the whole image (a noisy picture has no
        // border to trim). With libjpeg-turbo that decode is exactly the
        // independent libjpeg's (stb_image's upsampling differs from it).
        Bytes whole_out = crop(jpeg, TRIMLET_AUTO, {0}, &bmp);
        ASSERT_FALSE(whole_out.empty());
        Pixels whole = read_bmp(whole_out);
        ASSERT_EQ(whole.w, W);
        if (TURBO) {
            EXPECT_EQ(tt::max_diff(whole, decode(jpeg).px), 0);
        }
        int failures = 0;
        for (auto [w, h] : {std::pair{1, 1}, std::pair{21, 13}, std::pair{61, 44}}) {
            for (int oy = 0; oy < 16; ++oy) {
                for (int ox = 0; ox < 16; ++ox) {
                    // Inside, at the top-left corner, at the bottom-right corner.
                    const int at[3][2] = {{16 + ox, 16 + oy}, {ox, oy}, {W - w - ox, H - h - oy}};
                    for (const auto &xy : at) {
                        Pixels got = region(jpeg, xy[0], xy[1], w, h);
                        int diff = tt::max_diff(got, tt::crop(whole, xy[0], xy[1], w, h));
                        if (diff > 0 && ++failures <= 5) {
                            ADD_FAILURE() << w << "x" << h << " at " << xy[0] << "," << xy[1]
                                          << " differs by " << diff;
                        }
                    }
                }
            }
        }
    }
}

// Damage anywhere gets the verdict a whole decode gives: the same message,
// or (where the damage decodes) the same pixels, whichever region is cut.
TEST(JpegRegion, DamagedFilesGetTheVerdictOfAWholeDecodeForEveryRegion) {
    const int W = 96, H = 80;
    Bytes good = encode(texture(W, H), 90, SAMPLINGS[2]);
    auto truncated = [&](size_t keep) { return Bytes(good.begin(), good.begin() + long(keep)); };
    auto flipped = [&](size_t at) {
        Bytes b = good;
        b[at] ^= 0x5A;
        return b;
    };
    Bytes junk_before_eoi = good;
    junk_before_eoi.insert(junk_before_eoi.end() - 2, {0x12, 0x34, 0x56});
    const std::pair<const char *, Bytes> FILES[] = {
        {"no end marker", truncated(good.size() - 2)},
        {"cut in the last rows", truncated(good.size() - 40)},
        {"cut in the middle", truncated(good.size() / 2)},
        {"cut after the header", truncated(700)},
        {"bits flipped near the end", flipped(good.size() - 30)},
        {"bits flipped in the middle", flipped(good.size() * 2 / 3)},
        {"junk before the end marker", junk_before_eoi},
        {"arithmetic coded", encode(texture(W, H), 90, SAMPLINGS[2], true)},
    };
    trimlet_options bmp = options("bmp");
    for (const auto &[name, file] : FILES) {
        SCOPED_TRACE(name);
        // The automatic rule decodes the whole image; a noisy picture has no
        // border to trim, so it cuts the whole image.
        std::string whole_error;
        Bytes whole_out = crop(file, TRIMLET_AUTO, {0}, &bmp, &whole_error);
        Pixels whole = whole_out.empty() ? Pixels() : read_bmp(whole_out);
        for (auto [x, y, w, h] : {std::tuple{0, 0, 8, 8}, std::tuple{30, 20, 17, 9},
                                  std::tuple{W - 5, H - 3, 5, 3}, std::tuple{0, 0, W, H}}) {
            std::string error;
            Pixels got = region(file, x, y, w, h, &error);
            EXPECT_EQ(error, whole_error);
            if (whole_error.empty()) {
                ASSERT_EQ(whole.w, W);
                EXPECT_EQ(tt::max_diff(got, tt::crop(whole, x, y, w, h)), 0);
            }
        }
        // A rectangle the rule refuses: a file that does not decode is
        // reported first, as when the whole image is decoded before the rule.
        std::string error;
        region(file, W, 0, 8, 8, &error);
        EXPECT_EQ(error, whole_error.empty() ? "rect: 96,0 8x8 does not overlap the 96x80 image" : whole_error);
    }
}

// A CMYK file is one libjpeg-turbo's path leaves to stb_image, which decodes
// it as before (Adobe's inverted ink: 255 is none).
TEST(JpegDecode, CmykFilesStillDecodeThroughStbImage) {
    const uint8_t magenta_ink[4] = {255, 0, 255, 255};
    Bytes jpeg = encode_cmyk(40, 24, magenta_ink);
    std::string error;
    Pixels got = region(jpeg, 3, 5, 30, 10, &error);
    ASSERT_EQ(error, "");
    EXPECT_LE(tt::max_diff(got, tt::solid(30, 10, 255, 0, 255)), 2);
}

TEST(JpegEncode, QualityGivesTheScaledStandardTablesAndChromaSubsamplingUpTo90) {
    // The luminance table of the JPEG standard (Annex K), scaled by quality
    // as libjpeg and stb_image_write both scale it, limited to baseline.
    static const int LUMA[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                 14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                 18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    Pixels src = tt::gradient(64, 48);
    std::string png = tt::scratch("in.png");
    tt::write_png(png, src);
    Bytes in = tt::read_file(png);
    struct Case {
        int quality;  // 0: the default
        int scale;    // percent
        int sampling;
    };
    const Case CASES[] = {{1, 5000, 2}, {25, 200, 2}, {50, 100, 2}, {0, 20, 2},
                          {90, 20, 2},  {91, 18, 1},  {100, 0, 1}};
    for (const Case &c : CASES) {
        SCOPED_TRACE("quality " + std::to_string(c.quality));
        trimlet_options o = options("jpg");
        o.quality = c.quality;
        Bytes out = crop(in, TRIMLET_RECT, {0, 0, 64, 48}, &o);
        Decoded d = decode(out);
        ASSERT_EQ(d.luma_table.size(), 64u);
        for (int i = 0; i < 64; ++i) {
            int want = std::min(255, std::max(1, (LUMA[i] * c.scale + 50) / 100));
            EXPECT_EQ(d.luma_table[size_t(i)], want) << "entry " << i;
        }
        EXPECT_EQ(d.h, c.sampling);
        EXPECT_EQ(d.v, c.sampling);
        EXPECT_FALSE(d.progressive);
        EXPECT_FALSE(d.arithmetic);
        EXPECT_EQ(frame_marker(out), 0xC0);  // baseline
        if (c.quality >= 90 || c.quality == 0) {
            EXPECT_LE(tt::max_diff(d.px, tt::flatten(src)), c.sampling == 1 ? 3 : 6);
        }
    }
}

// Lossless cuts: the kept pixels decode exactly as the input's, except
// within one block of an edge that was cut (chroma upsampling sees the cut),
// and the box is the rule's with its top-left corner on the block grid.
TEST(JpegLossless, EveryRuleAndSamplingKeepsThePixelsAndReportsTheSnappedBox) {
    if (!TURBO) GTEST_SKIP() << "built without libjpeg-turbo";
    const int W = 120, H = 90;
    Pixels src = framed(W, H, 27, 19, 101, 70);
    struct Rule {
        const char *name;
        int rule;
        std::vector<int> params;
    };
    const Rule RULES[] = {
        {"rect", TRIMLET_RECT, {13, 9, 70, 50}},     {"aspect", TRIMLET_ASPECT, {2}},
        {"auto", TRIMLET_AUTO, {12}},                {"edges", TRIMLET_EDGES, {10, 15, 20, 5}},
        {"ratio", TRIMLET_RATIO, {3, 4}},
    };
    trimlet_options lossy = options("jpg"), lossless = options("jpg", 1);
    for (const Sampling &s : SAMPLINGS) {
        Bytes jpeg = encode(src, 92, s);
        Decoded in = decode(jpeg);
        for (const Rule &r : RULES) {
            SCOPED_TRACE(std::string(s.name) + " " + r.name);
            trimlet_box rule_box, box;
            char err[TRIMLET_ERROR_SIZE];
            ASSERT_EQ(trimlet_plan_memory(jpeg.data(), jpeg.size(), r.rule, r.params.data(), &lossy,
                                          &rule_box, err), 1) << err;
            ASSERT_EQ(trimlet_plan_memory(jpeg.data(), jpeg.size(), r.rule, r.params.data(), &lossless,
                                          &box, err), 1) << err;
            EXPECT_EQ(box.x, rule_box.x / s.mcu_w * s.mcu_w);
            EXPECT_EQ(box.y, rule_box.y / s.mcu_h * s.mcu_h);
            EXPECT_EQ(box.x + box.w, rule_box.x + rule_box.w);
            EXPECT_EQ(box.y + box.h, rule_box.y + rule_box.h);
            EXPECT_EQ(box.image_w, W);
            EXPECT_EQ(box.image_h, H);

            std::string error;
            Bytes out = crop(jpeg, r.rule, r.params, &lossless, &error);
            ASSERT_EQ(error, "");
            Decoded d = decode(out);
            ASSERT_EQ(d.px.w, box.w);
            ASSERT_EQ(d.px.h, box.h);
            EXPECT_EQ(d.components, s.grey ? 1 : 3);
            EXPECT_EQ(d.h, s.h);
            EXPECT_EQ(d.v, s.v);
            EXPECT_EQ(d.luma_table, in.luma_table);  // the coefficients were not re-quantised
            // Cut edges: left and top always lie on the grid; right and
            // bottom where the rule stopped short of the image's edge.
            int x0 = box.x > 0 ? s.mcu_w : 0, y0 = box.y > 0 ? s.mcu_h : 0;
            int x1 = box.x + box.w < W ? box.w - s.mcu_w : box.w;
            int y1 = box.y + box.h < H ? box.h - s.mcu_h : box.h;
            int worst = 0;
            for (int y = y0; y < y1; ++y) {
                for (int x = x0; x < x1; ++x) {
                    for (int c = 0; c < 3; ++c) {
                        worst = std::max(worst, std::abs(d.px.at(x, y)[c] - in.px.at(box.x + x, box.y + y)[c]));
                    }
                }
            }
            EXPECT_EQ(worst, 0);
        }
    }
}

TEST(JpegLossless, ImpossibleRequestsFailWithTheirMessage) {
    Bytes jpeg = encode(texture(64, 48), 90, SAMPLINGS[2]);
    std::string png_path = tt::scratch("in.png");
    tt::write_png(png_path, texture(64, 48));
    Bytes png = tt::read_file(png_path);
    Bytes cut = Bytes(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
    trimlet_options jpg = options("jpg", 1), as_png = options("png", 1), unset = options(nullptr, 1);
    trimlet_options turned = options("jpg", 1);
    turned.orient = TRIMLET_APPLY_EXIF;
    // Turned upright, its partial blocks (60 % 16, 44 % 16) come to the left and top.
    Bytes upside_down = with_orientation(encode(texture(60, 44), 90, SAMPLINGS[2]), 3);
    struct Case {
        const char *name;
        const Bytes *in;
        const trimlet_options *o;
        std::vector<int> rect;
        std::string message;  // "...": this text starts the message
    };
    const std::string unavailable = "options: lossless is not available in this build";
    // WebP output is lossless too where the library writes WebP.
    const std::string not_png = trimlet_has("webp") ? "lossless: output must be JPEG or WebP, not png"
                                                    : "lossless: output must be JPEG, not png";
    const Case CASES[] = {
        {"png input", &png, &jpg, {0, 0, 8, 8}, TURBO ? "lossless: '<memory>' is not a JPEG file" : unavailable},
        {"png output", &jpeg, &as_png, {0, 0, 8, 8}, TURBO ? not_png : unavailable},
        {"memory output defaults to png", &jpeg, &unset, {0, 0, 8, 8},
         TURBO ? not_png : unavailable},
        {"turn through a partial block", &upside_down, &turned, {0, 0, 8, 8},
         TURBO ? "lossless: cannot turn '<memory>' exactly: the box reaches the partial blocks along the upright "
                 "image's left edge (x < 12), which a lossless turn cannot keep"
               : unavailable},
        {"truncated input", &cut, &jpg, {0, 0, 8, 8}, TURBO ? "lossless: cannot cut '<memory>': ..." : unavailable},
        {"truncated input, bad rectangle", &cut, &jpg, {70, 0, 8, 8},
         TURBO ? "lossless: cannot cut '<memory>': ..." : unavailable},
        {"rectangle outside", &jpeg, &jpg, {70, 0, 8, 8}, TURBO ? "rect: 70,0 8x8 does not overlap the 64x48 image" : unavailable},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        std::string error;
        Bytes out = crop(*c.in, TRIMLET_RECT, c.rect, c.o, &error);
        EXPECT_TRUE(out.empty());
        size_t dots = c.message.find("...");
        if (dots == std::string::npos) {
            EXPECT_EQ(error, c.message);
        } else {
            EXPECT_EQ(error.substr(0, dots), c.message.substr(0, dots)) << error;
        }
        // A plan fails alike (it has no output, so only a format it is
        // given names one).
        if (c.o != &unset) {
            trimlet_box box;
            char err[TRIMLET_ERROR_SIZE];
            EXPECT_EQ(trimlet_plan_memory(c.in->data(), c.in->size(), TRIMLET_RECT, c.rect.data(), c.o,
                                          &box, err), 0);
            EXPECT_EQ(std::string(err), error);
        }
    }
    // A file's extension chooses its format as for any crop.
    std::string in = tt::scratch("in.jpg"), out = tt::scratch("out.bmp");
    tt::write_file(in, jpeg);
    char err[TRIMLET_ERROR_SIZE];
    const int rect[4] = {0, 0, 8, 8};
    trimlet_options by_path = options(nullptr, 1);
    EXPECT_EQ(trimlet_crop_file(in.c_str(), out.c_str(), TRIMLET_RECT, rect, &by_path, err), 0);
    EXPECT_EQ(std::string(err), !TURBO                 ? unavailable
                                : trimlet_has("webp") ? "lossless: output must be JPEG or WebP, not bmp"
                                                      : "lossless: output must be JPEG, not bmp");
    EXPECT_FALSE(tt::file_exists(out));
}

// The input's other segments (here an Exif block) are copied into a
// lossless cut when metadata is kept, and left out otherwise.
TEST(JpegLossless, CopiesTheInputsSegmentsOnlyWhenMetadataIsKept) {
    if (!TURBO) GTEST_SKIP() << "built without libjpeg-turbo";
    Bytes jpeg = encode(texture(64, 48), 90, SAMPLINGS[2]);
    const Bytes exif = {0xFF, 0xE1, 0x00, 0x12, 'E', 'x', 'i', 'f', 0, 0,
                        'I',  'I',  42,   0,    8,   0,   0,   0,   0, 0};
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    const Bytes tag = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    for (int keep : {TRIMLET_STRIP, TRIMLET_KEEP}) {
        SCOPED_TRACE(keep);
        trimlet_options o = options("jpg", 1);
        o.metadata = keep;
        std::string error;
        Bytes out = crop(jpeg, TRIMLET_RECT, {16, 16, 32, 16}, &o, &error);
        ASSERT_EQ(error, "");
        bool carried = std::search(out.begin(), out.end(), tag.begin(), tag.end()) != out.end();
        EXPECT_EQ(carried, keep == TRIMLET_KEEP);
    }
}

// Each Exif orientation, turned in the lossless cut: the result is the
// upright picture (the stored file decoded by libjpeg and turned here), its
// Orientation says 1, and a box that reaches the blocks a turn cannot keep
// (the stored image's partial right and bottom blocks, once they come to the
// upright left or top) is refused with its reason.
TEST(JpegLossless, TurnsEachOrientationUprightOrRefusesWhatIsNotExact) {
    if (!TURBO) GTEST_SKIP() << "built without libjpeg-turbo";
    const Pixels upright = texture(93, 77);  // partial blocks for every sampling, both ways
    for (const Sampling &s : SAMPLINGS) {
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE(std::string(s.name) + " orientation " + std::to_string(o));
            const Bytes jpeg = with_orientation(encode(turn(upright, o, true), 90, s), o);
            const Pixels reference = turn(decode(jpeg).px, o, false);
            // The upright columns (rows) at the left (top) that the stored
            // partial blocks hold.
            const int sw = o >= 5 ? upright.h : upright.w, sh = o >= 5 ? upright.w : upright.h;
            auto partial = [&](int x, int y) {
                int sx = 0, sy = 0;
                stored_at(o, sw, sh, x, y, &sx, &sy);
                return sx >= sw - sw % s.mcu_w || sy >= sh - sh % s.mcu_h;
            };
            int dx = 0, dy = 0;
            while (dx < upright.w && partial(dx, upright.h / 2) && partial(dx, upright.h - 1 - upright.h / 2)) ++dx;
            while (dy < upright.h && partial(upright.w / 2, dy) && partial(upright.w - 1 - upright.w / 2, dy)) ++dy;
            trimlet_options o_keep = options("jpg", 1);
            o_keep.orient = TRIMLET_APPLY_EXIF;
            o_keep.metadata = TRIMLET_KEEP;

            std::string error;
            Bytes corner = crop(jpeg, TRIMLET_RECT, {0, 0, 20, 20}, &o_keep, &error);
            if (dx > 0 || dy > 0) {
                EXPECT_TRUE(corner.empty());
                EXPECT_EQ(error.rfind("lossless: cannot turn '<memory>' exactly: the box reaches the partial blocks", 0), 0u)
                    << error;
            } else {
                EXPECT_EQ(error, "");
            }

            const int want[4] = {dx + 5, dy + 3, 60, 50};
            trimlet_box box;
            char err[TRIMLET_ERROR_SIZE];
            ASSERT_EQ(trimlet_plan_memory(jpeg.data(), jpeg.size(), TRIMLET_RECT, want, &o_keep, &box, err), 1) << err;
            EXPECT_EQ(box.image_w, upright.w);
            EXPECT_EQ(box.image_h, upright.h);
            EXPECT_GE(box.x, dx);
            EXPECT_GE(box.y, dy);
            EXPECT_LE(box.x, want[0]);
            EXPECT_LE(box.y, want[1]);
            EXPECT_EQ((box.x - dx) % 8 + (box.y - dy) % 8, 0);
            EXPECT_EQ(box.x + box.w, want[0] + want[2]);
            EXPECT_EQ(box.y + box.h, want[1] + want[3]);

            Bytes out = crop(jpeg, TRIMLET_RECT, {want[0], want[1], want[2], want[3]}, &o_keep, &error);
            ASSERT_EQ(error, "");
            EXPECT_EQ(orientation_in(out), 1);
            const Decoded d = decode(out);
            ASSERT_EQ(d.px.w, box.w);
            ASSERT_EQ(d.px.h, box.h);
            // Away from the cut edges (where chroma upsampling sees other
            // neighbours) only the decoder's rounding of turned blocks differs
            // (up to 3 for turned subsampled chroma; a wrong turn is off by far more).
            int worst = 0;
            for (int y = 16; y < box.h - 16; ++y) {
                for (int x = 16; x < box.w - 16; ++x) {
                    for (int c = 0; c < 3; ++c) {
                        worst = std::max(worst, std::abs(d.px.at(x, y)[c] - reference.at(box.x + x, box.y + y)[c]));
                    }
                }
            }
            EXPECT_LE(worst, 3);
        }
    }
}
