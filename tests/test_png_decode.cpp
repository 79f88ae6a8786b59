// SPDX-License-Identifier: MIT
// PNG decoding through libspng: exactly stb_image's pixels, for every colour
// type, bit depth, interlace and tRNS, whole and by region, and for every PNG
// file of the suites; damage after a region still refuses the file. Links
// the library's stages (trimlet_core) to call both decoders side by side.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <vector>

#include "api/api.h"
#include "base/stb.h"
#include "base/zlib.h"
#include "codecs/parts.h"
#include "crop/crop.h"
#include "support.h"
#include "trimlet.h"

namespace {

// ---------------------------------------------------------------------------
// A PNG writer of its own, for what Pillow and libpng's simple API do not
// write: every bit depth of every colour type, Adam7, tRNS of any kind, and
// every filter type.

void put32(std::vector<uint8_t> &o, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) o.push_back(uint8_t(v >> s));
}

void chunk(std::vector<uint8_t> &o, const char *type, const std::vector<uint8_t> &data) {
    put32(o, uint32_t(data.size()));
    size_t start = o.size();
    o.insert(o.end(), type, type + 4);
    o.insert(o.end(), data.begin(), data.end());
    put32(o, uint32_t(crc32(0, o.data() + start, uInt(o.size() - start))));
}

struct PngKind {
    int color, depth, interlace, trns;
};

int channels(int color) { return color == 3 ? 1 : (color & 2 ? 3 : 1) + (color & 4 ? 1 : 0); }

// A sample of pixel (x, y), channel c, at the given depth: mostly varied,
// with runs of the tRNS colour (sample 1 on every channel).
unsigned sample(int x, int y, int c, int depth) {
    unsigned max = (1u << depth) - 1;
    if ((x + y) % 7 == 0) return 1 & max;
    return (unsigned(x * 37 + y * 101 + c * 59) * 2654435761u >> 7) & max;
}

// The filtered scanlines of a w x h (sub)image whose pixel (i, j) is the
// full image's (x0 + i * dx, y0 + j * dy); each row's filter is (row % 5).
void add_rows(std::vector<uint8_t> &raw, const PngKind &s, int w, int h, int x0, int dx, int y0, int dy) {
    if (w <= 0 || h <= 0) return;
    int ch = channels(s.color), bits = ch * s.depth, bpp = (bits + 7) / 8;
    size_t len = (size_t(w) * bits + 7) / 8;
    std::vector<uint8_t> prev(len, 0), cur(len);
    for (int j = 0; j < h; ++j) {
        std::fill(cur.begin(), cur.end(), 0);
        for (int i = 0; i < w; ++i) {
            for (int c = 0; c < ch; ++c) {
                unsigned v = sample(x0 + i * dx, y0 + j * dy, c, s.depth);
                size_t bit = (size_t(i) * ch + c) * s.depth;
                if (s.depth == 16) {
                    cur[bit / 8] = uint8_t(v >> 8);
                    cur[bit / 8 + 1] = uint8_t(v);
                } else {
                    cur[bit / 8] |= uint8_t(v << (8 - s.depth - bit % 8));
                }
            }
        }
        int f = (y0 + j * dy) % 5;
        raw.push_back(uint8_t(f));
        for (size_t k = 0; k < len; ++k) {
            int a = k >= size_t(bpp) ? cur[k - bpp] : 0, b = prev[k], c = k >= size_t(bpp) ? prev[k - bpp] : 0;
            int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
            int pred = f == 0 ? 0 : f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2
                     : (pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
            raw.push_back(uint8_t(cur[k] - pred));
        }
        prev = cur;
    }
}

std::vector<uint8_t> make_png(const PngKind &s, int w, int h, std::vector<uint8_t> *raw_out = nullptr) {
    std::vector<uint8_t> o = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, ihdr;
    put32(ihdr, uint32_t(w));
    put32(ihdr, uint32_t(h));
    ihdr.insert(ihdr.end(), {uint8_t(s.depth), uint8_t(s.color), 0, 0, uint8_t(s.interlace)});
    chunk(o, "IHDR", ihdr);
    if (s.color == 3) {
        std::vector<uint8_t> plte, trns;
        for (int i = 0; i < (1 << s.depth); ++i) {
            plte.insert(plte.end(), {uint8_t(i * 40), uint8_t(255 - i * 7), uint8_t(i * i)});
            trns.push_back(uint8_t(i * 50));
        }
        chunk(o, "PLTE", plte);
        if (s.trns) chunk(o, "tRNS", std::vector<uint8_t>(trns.begin(), trns.begin() + (trns.size() + 1) / 2));
    } else if (s.trns) {
        std::vector<uint8_t> t;
        for (int c = 0; c < channels(s.color); ++c) t.insert(t.end(), {0, 1});
        chunk(o, "tRNS", t);
    }
    std::vector<uint8_t> raw;
    if (!s.interlace) {
        add_rows(raw, s, w, h, 0, 1, 0, 1);
    } else {
        static const int X0[7] = {0, 4, 0, 2, 0, 1, 0}, Y0[7] = {0, 0, 4, 0, 2, 0, 1},
                         DX[7] = {8, 8, 4, 4, 2, 2, 1}, DY[7] = {8, 8, 8, 4, 4, 2, 2};
        for (int p = 0; p < 7; ++p) {
            add_rows(raw, s, (w - X0[p] + DX[p] - 1) / DX[p], (h - Y0[p] + DY[p] - 1) / DY[p], X0[p],
                     DX[p], Y0[p], DY[p]);
        }
    }
    if (raw_out != nullptr) *raw_out = raw;
    uLongf zlen = compressBound(uLong(raw.size()));
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, raw.data(), uLong(raw.size()), 6);
    z.resize(zlen);
    // Split into two IDAT chunks, as many writers do.
    size_t half = z.size() / 2;
    chunk(o, "IDAT", std::vector<uint8_t>(z.begin(), z.begin() + half));
    chunk(o, "IDAT", std::vector<uint8_t>(z.begin() + half, z.end()));
    chunk(o, "IEND", {});
    return o;
}

// stb_image's pixels of a file, or an empty vector when it refuses it.
std::vector<uint8_t> stb_pixels(const std::vector<uint8_t> &f, int *w, int *h) {
    const char *why = nullptr;
    unsigned char *px = stb_decode(f.data(), f.size(), w, h, &why);
    if (px == nullptr) return {};
    std::vector<uint8_t> v(px, px + size_t(*w) * *h * 4);
    free(px);
    return v;
}

// Decodes r of f through libspng; empty when the path declines the file.
std::vector<uint8_t> spng_pixels(const std::vector<uint8_t> &f, const Rect *r) {
    Input in;
    input_from_memory(f.data(), f.size(), 0, &in);
    Image img;
    if (png_decode(&in, r, &img, nullptr) != 1) return {};
    std::vector<uint8_t> v(img.px, img.px + size_t(img.w) * img.h * 4);
    free(img.px);
    return v;
}

std::vector<uint8_t> cut(const std::vector<uint8_t> &px, int w, Rect r) {
    std::vector<uint8_t> v;
    for (int y = r.y; y < r.y + r.h; ++y) {
        auto row = px.begin() + (size_t(y) * w + r.x) * 4;
        v.insert(v.end(), row, row + size_t(r.w) * 4);
    }
    return v;
}

TEST(PngDecode, EveryColourTypeDepthInterlaceAndTransparencyGivesStbPixels) {
    if (!PNG_SPNG) GTEST_SKIP() << "built without libspng";
    static const int DEPTHS[5][5] = {{1, 2, 4, 8, 16}, {0}, {8, 16}, {1, 2, 4, 8}, {8, 16}};
    static const int SIZES[][2] = {{1, 1}, {3, 2}, {37, 23}, {9, 70}};
    int cases = 0;
    for (int color : {0, 2, 3, 4, 6}) {
        for (int depth : DEPTHS[color < 5 ? color : 4]) {
            if (depth == 0) continue;
            for (int interlace : {0, 1}) {
                for (int trns : {0, 1}) {
                    if (trns && (color & 4)) continue;  // tRNS with alpha: stb refuses
                    for (const auto &size : SIZES) {
                        PngKind s = {color, depth, interlace, trns};
                        int w = 0, h = 0;
                        std::vector<uint8_t> f = make_png(s, size[0], size[1]);
                        std::vector<uint8_t> want = stb_pixels(f, &w, &h);
                        SCOPED_TRACE(testing::Message() << "colour " << color << " depth " << depth
                                                        << " interlace " << interlace << " tRNS "
                                                        << trns << " " << size[0] << "x" << size[1]);
                        ASSERT_FALSE(want.empty());
                        EXPECT_EQ(spng_pixels(f, nullptr), want);
                        Rect r = {w / 3, h / 2, w - w / 3 - w / 4, h - h / 2};
                        EXPECT_EQ(spng_pixels(f, &r), cut(want, w, r));
                        ++cases;
                    }
                }
            }
        }
    }
    EXPECT_EQ(cases, 2 * 4 * (5 * 2 + 2 * 2 + 4 * 2 + 2 + 2));
}

// Every PNG among the files of the test suites, the fuzz corpus and libpng's
// sample: where stb_image decodes the file, the new path gives its pixels
// or declines the file (stb_image then decodes it).
TEST(PngDecode, EveryPngOfTheSuitesGivesStbPixels) {
    if (!PNG_SPNG) GTEST_SKIP() << "built without libspng";
    std::vector<std::string> paths = {"/usr/share/doc/libpng-dev/examples/pngtest.png"};
    for (const char *dir : {TRIMLET_SOURCE_DIR "/fuzz/corpus", TRIMLET_SOURCE_DIR "/tests/data",
                            TRIMLET_SOURCE_DIR "/tests/data/hostile", TRIMLET_SOURCE_DIR "/demo"}) {
        DIR *d = opendir(dir);
        ASSERT_NE(d, nullptr) << dir;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') paths.push_back(std::string(dir) + "/" + e->d_name);
        }
        closedir(d);
    }
    int pngs = 0, same = 0;
    for (const std::string &p : paths) {
        FILE *fp = fopen(p.c_str(), "rb");
        if (fp == nullptr) continue;
        std::vector<uint8_t> f;
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0) f.insert(f.end(), buf, buf + n);
        fclose(fp);
        if (!is_png_file(f.data(), f.size())) continue;
        ++pngs;
        int w = 0, h = 0;
        std::vector<uint8_t> want = stb_pixels(f, &w, &h), got = spng_pixels(f, nullptr);
        if (want.empty() || got.empty()) continue;
        EXPECT_EQ(got, want) << p;
        same += got == want;
    }
    EXPECT_GT(pngs, 50);
    EXPECT_GT(same, pngs / 4);
}

// Damage in the rows below a region (an unknown filter type in the last row)
// still fails the region's decode, as a whole decode fails.
TEST(PngDecode, DamageBelowTheRegionRefusesTheFile) {
    if (!PNG_SPNG) GTEST_SKIP() << "built without libspng";
    PngKind s = {2, 8, 0, 0};
    std::vector<uint8_t> raw;
    make_png(s, 40, 30, &raw);
    raw[raw.size() - (40 * 3 + 1)] = 7;  // the last row's filter byte
    std::vector<uint8_t> o = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, ihdr;
    put32(ihdr, 40);
    put32(ihdr, 30);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(o, "IHDR", ihdr);
    uLongf zlen = compressBound(uLong(raw.size()));
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, raw.data(), uLong(raw.size()), 6);
    z.resize(zlen);
    chunk(o, "IDAT", z);
    chunk(o, "IEND", {});
    int w = 0, h = 0;
    EXPECT_TRUE(stb_pixels(o, &w, &h).empty());
    Rect r = {5, 2, 10, 10};
    EXPECT_TRUE(spng_pixels(o, &r).empty());
    // Through the pipeline: the crop fails with stb_image's message.
    Input in;
    input_from_memory(o.data(), o.size(), 0, &in);
    Image crop;
    Failure err = {};
    Reader rd;
    reader_find(&in, &rd);
    EXPECT_FALSE(reader_decode(&rd, &r, &crop, &err));
    reader_close(&rd);
    EXPECT_EQ(err.status, TRIMLET_ERR_CORRUPT);
    EXPECT_STREQ(err.text, "cannot decode '<memory>': invalid filter");
}

// Every rule on inputs of every colour type, through the public function:
// the PNG output holds exactly stb_image's pixels of the input inside the
// box (read back with libpng).
TEST(PngDecode, EveryRuleCutsStbPixelsIntoItsPngOutput) {
    struct RuleCase {
        int rule;
        int params[4];
    };
    static const RuleCase RULES[] = {{TRIMLET_RECT, {7, 5, 20, 11}}, {TRIMLET_ASPECT, {2, 0, 0, 0}},
                                     {TRIMLET_AUTO, {10, 0, 0, 0}}, {TRIMLET_EDGES, {10, 20, 5, 15}},
                                     {TRIMLET_RATIO, {3, 1, 0, 0}}};
    for (const PngKind &s : {PngKind{0, 4, 0, 1}, PngKind{2, 16, 0, 1}, PngKind{3, 2, 1, 1}, PngKind{4, 8, 1, 0},
                          PngKind{6, 16, 0, 0}, PngKind{6, 8, 0, 0}}) {
        std::vector<uint8_t> f = make_png(s, 45, 31);
        int w = 0, h = 0;
        std::vector<uint8_t> want = stb_pixels(f, &w, &h);
        for (const RuleCase &rc : RULES) {
            SCOPED_TRACE(testing::Message() << "colour " << s.color << " depth " << s.depth << " rule " << rc.rule);
            trimlet_box box;
            char err[TRIMLET_ERROR_SIZE];
            ASSERT_TRUE(trimlet_plan_memory(f.data(), f.size(), rc.rule, rc.params, nullptr, &box, err)) << err;
            void *out = nullptr;
            size_t out_size = 0;
            ASSERT_TRUE(trimlet_crop_memory(f.data(), f.size(), rc.rule, rc.params, nullptr, &out, &out_size, err)) << err;
            std::string path = tt::scratch("out.png");
            tt::write_file(path, std::vector<uint8_t>((uint8_t *)out, (uint8_t *)out + out_size));
            trimlet_free(out);
            tt::Pixels got = tt::read_png(path);
            Rect r = {box.x, box.y, box.w, box.h};
            EXPECT_EQ(got.rgba, cut(want, w, r));
        }
    }
}

// The filter types of a PNG file's rows (8-bit RGBA, not interlaced).
std::vector<int> row_filters(const std::string &path, int w, int h) {
    std::vector<uint8_t> f = tt::read_file(path), idat;
    for (size_t at = 8; at + 12 <= f.size();) {
        uint32_t n = uint32_t(f[at]) << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
        if (std::memcmp(&f[at + 4], "IDAT", 4) == 0) idat.insert(idat.end(), &f[at + 8], &f[at + 8 + n]);
        at += 12 + size_t(n);
    }
    size_t row = size_t(w) * 4 + 1;
    std::vector<uint8_t> raw(row * size_t(h));
    uLongf n = uLongf(raw.size());
    std::vector<int> types;
    if (uncompress(raw.data(), &n, idat.data(), uLong(idat.size())) != Z_OK || n != raw.size()) return types;
    for (int y = 0; y < h; ++y) types.push_back(raw[size_t(y) * row]);
    return types;
}

// The PNG writer on shapes and content that its filter trial must handle:
// single rows and columns, flat areas, noise, rows and columns that drift
// by small steps, and a picture wider than its sample. The rows are
// filtered in the picture's own block, with whichever type the trial picks:
// the output reads back with libpng to exactly the input, with one filter
// type for every row, and the contents between them make the trial pick
// each of None, Sub, Up and Paeth.
TEST(PngWrite, OutputReadsBackExactly) {
    struct Shape {
        int w, h;
    };
    std::set<int> picked;
    for (Shape sh : {Shape{1, 1}, Shape{1, 300}, Shape{300, 1}, Shape{5000, 3}, Shape{64, 64}, Shape{200, 120}}) {
        for (int content = 0; content < 5; ++content) {
            tt::Pixels p = content == 1 ? tt::solid(sh.w, sh.h, 10, 200, 30, 128) : tt::gradient(sh.w, sh.h);
            uint32_t x = 12345;
            auto next = [&x] { return uint8_t((x = x * 1103515245u + 12345u) >> 24); };
            if (content == 2) {
                for (uint8_t &b : p.rgba) b = next();
            } else if (content >= 3) {
                // A random first row (3) or column (4), each later one the
                // last plus 0 or 1.
                size_t stride = size_t(sh.w) * 4, step = content == 3 ? stride : 4;
                for (size_t i = 0; i < p.rgba.size(); ++i) {
                    int first = content == 3 ? i < stride : i % stride < 4;
                    p.rgba[i] = i % 4 == 3 ? 255 : first ? next() : uint8_t(p.rgba[i - step] + (next() & 1));
                }
            }
            SCOPED_TRACE(testing::Message() << sh.w << "x" << sh.h << " content " << content);
            std::string in = tt::scratch("in.tga"), out = tt::scratch("out.png");
            tt::write_tga(in, p);
            int rect[4] = {0, 0, sh.w, sh.h};
            char err[TRIMLET_ERROR_SIZE];
            ASSERT_TRUE(trimlet_crop_file(in.c_str(), out.c_str(), TRIMLET_RECT, rect, nullptr, err)) << err;
            EXPECT_EQ(tt::read_png(out).rgba, p.rgba);
            std::vector<int> types = row_filters(out, sh.w, sh.h);
            ASSERT_EQ(types.size(), size_t(sh.h));
            EXPECT_EQ(std::set<int>(types.begin(), types.end()).size(), 1u);
            picked.insert(types.back());
        }
    }
    EXPECT_EQ(picked, std::set<int>({0, 1, 2, 4}));
}

// ---------------------------------------------------------------------------
// The inflater (base/inflate.cpp) on its own

// A zlib stream handed over in segments of `seg` bytes.
struct Segments {
    const std::vector<uint8_t> *z;
    size_t at, seg;
};

int next_segment(void *user, const unsigned char **d, size_t *n) {
    Segments *s = (Segments *)user;
    if (s->at >= s->z->size()) return 0;
    *d = s->z->data() + s->at;
    *n = std::min(s->seg, s->z->size() - s->at);
    s->at += *n;
    return 1;
}

// Inflates z, read in segments of seg bytes and written in pieces of at
// most piece bytes; the result of the last call, and the bytes.
int inflate_all(const std::vector<uint8_t> &z, size_t seg, size_t piece, std::vector<uint8_t> *out) {
    Segments s = {&z, std::min(seg, z.size()), seg};
    Inflate inf;
    int got = inflate_begin(&inf, z.data(), s.at, z.size() - s.at, next_segment, &s);
    if (got != 1) return got;
    std::vector<uint8_t> o(1 << 20);
    unsigned char *at = o.data();
    do {
        unsigned char *stop = std::min(at + piece, o.data() + o.size());
        got = inflate_more(&inf, o.data(), &at, stop);
    } while (got == INFLATE_FULL && at < o.data() + o.size());
    inflate_free(&inf);
    out->assign(o.data(), at);
    return got;
}

std::vector<uint8_t> deflate_with(const std::vector<uint8_t> &d, int level, int strategy) {
    z_stream zs = {};
    deflateInit2(&zs, level, Z_DEFLATED, 15, 9, strategy);
    std::vector<uint8_t> z(deflateBound(&zs, uLong(d.size())));
    zs.next_in = const_cast<uint8_t *>(d.data());
    zs.avail_in = uInt(d.size());
    zs.next_out = z.data();
    zs.avail_out = uInt(z.size());
    deflate(&zs, Z_FINISH);
    z.resize(zs.total_out);
    deflateEnd(&zs);
    return z;
}

// Stored, fixed and dynamic blocks (zlib's levels and strategies), read in
// segments down to one byte and written in pieces down to one byte (a match
// or a literal left for the next call): zlib's bytes, and the stream's end.
TEST(Inflate, EveryBlockKindInAnyPiecesGivesTheBytes) {
    std::vector<uint8_t> d;
    uint32_t x = 99;
    for (int i = 0; i < 150000; ++i) {
        x = x * 1103515245u + 12345u;
        int part = i / 10000 % 3;  // noise, runs, and a repeating pattern with noise
        d.push_back(part == 0 ? uint8_t(x >> 24) : part == 1 ? uint8_t(i / 300) : uint8_t(i % 37 + (x >> 30)));
    }
    struct Kind {
        int level, strategy;
    };
    for (Kind k : {Kind{0, Z_DEFAULT_STRATEGY}, Kind{1, Z_DEFAULT_STRATEGY}, Kind{9, Z_DEFAULT_STRATEGY},
                   Kind{6, Z_FIXED}, Kind{6, Z_HUFFMAN_ONLY}, Kind{6, Z_RLE}}) {
        std::vector<uint8_t> z = deflate_with(d, k.level, k.strategy);
        for (size_t seg : {size_t(1) << 30, size_t(7), size_t(1)}) {
            for (size_t piece : {size_t(1) << 30, size_t(1), size_t(300), size_t(70001)}) {
                SCOPED_TRACE(testing::Message() << "level " << k.level << " strategy " << k.strategy << " segments "
                                                << seg << " pieces " << piece);
                std::vector<uint8_t> got;
                EXPECT_EQ(inflate_all(z, seg, piece, &got), INFLATE_END);
                EXPECT_TRUE(got == d);
            }
        }
    }
}

// Deflate bits written by hand, first bit lowest; codes highest bit first.
struct BitWriter {
    std::vector<uint8_t> out;  // after the zlib header
    unsigned acc = 0, n = 0;
    void bits(unsigned v, unsigned k) {
        for (unsigned i = 0; i < k; ++i) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) {
                out.push_back(uint8_t(acc));
                acc = n = 0;
            }
        }
    }
    void code(unsigned c, unsigned k) {
        for (unsigned i = k; i-- > 0;) bits((c >> i) & 1u, 1);
    }
    void fixed_symbol(unsigned s) {
        if (s < 144) code(0x30 + s, 8);
        else if (s < 256) code(0x190 + s - 144, 9);
        else if (s < 280) code(s - 256, 7);
        else code(0xc0 + s - 280, 8);
    }
    std::vector<uint8_t> done(size_t tail) {
        if (n > 0) out.push_back(uint8_t(acc));
        std::vector<uint8_t> z(2 + out.size() + tail, 0);
        z[0] = 0x78;
        z[1] = 0x01;
        for (size_t i = 0; i < out.size(); ++i) z[2 + i] = out[i];
        return z;
    }
};

// Streams stb_image reads some other way or refuses are refused; one that
// is sound inflates (the first row).
TEST(Inflate, RefusesWhatStbImageMightReadOtherwise) {
    struct Case {
        const char *what;
        int literal, length_symbol, distance_symbol;  // a fixed block: a literal, a match, the end
        size_t tail;                                  // bytes after the stream (the Adler-32)
        int want;
    };
    static const Case CASES[] = {
        {"sound", 'a', 257, 0, 4, INFLATE_END},
        {"length symbol 286", 'a', 286, 0, 4, INFLATE_REFUSED},
        {"distance symbol 30", 'a', 257, 30, 4, INFLATE_REFUSED},
        {"distance before the start", 'a', 257, 1, 4, INFLATE_REFUSED},
        {"the end code with under 16 bits left", 'a', 257, 0, 0, INFLATE_REFUSED},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        w.bits(1, 1);  // final
        w.bits(1, 2);  // fixed codes
        w.fixed_symbol(unsigned(c.literal));
        w.fixed_symbol(unsigned(c.length_symbol));
        w.code(unsigned(c.distance_symbol), 5);
        w.fixed_symbol(256);
        std::vector<uint8_t> got, z = w.done(c.tail);
        EXPECT_EQ(inflate_all(z, 1 << 30, 1 << 30, &got), c.want);
        if (c.want == INFLATE_END) {
            EXPECT_EQ(got, std::vector<uint8_t>({'a', 'a', 'a', 'a'}));
        }
    }
    // An over-subscribed code (three lengths of 1 for the code length
    // code), block type 3, a preset dictionary.
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(0, 5);
    w.bits(0, 5);
    w.bits(0, 4);
    for (int i = 0; i < 4; ++i) w.bits(i < 3 ? 1 : 0, 3);
    std::vector<uint8_t> got;
    EXPECT_EQ(inflate_all(w.done(8), 1 << 30, 1 << 30, &got), INFLATE_REFUSED);
    BitWriter t3;
    t3.bits(1, 1);
    t3.bits(3, 2);
    EXPECT_EQ(inflate_all(t3.done(8), 1 << 30, 1 << 30, &got), INFLATE_REFUSED);
    EXPECT_EQ(inflate_all({0x78, 0xbb, 0, 0, 0, 0, 0, 0}, 1 << 30, 1 << 30, &got), INFLATE_REFUSED);
}

}  // namespace
