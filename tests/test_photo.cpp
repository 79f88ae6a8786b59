// SPDX-License-Identifier: MIT
// Photos as a viewer shows them: the EXIF Orientation applied on request
// (TRIMLET_APPLY_EXIF), and the ICC profile and Exif block carried into the
// output (TRIMLET_KEEP). The inputs are JPEG (libjpeg) and PNG (libpng) files
// with Exif blocks, profiles and segments written byte by byte here; outputs
// are read back with libpng, libjpeg and a JPEG segment walk of this file.
#include "support.h"
#include "trimlet.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Exif blocks

enum { ASCII = 2, SHORT = 3, LONG = 4 };
const uint16_t MAKE = 0x010F, ORIENTATION = 0x0112;

struct Entry {
    uint16_t tag, type;
    uint32_t count;
    uint32_t value;  // SHORT: in the field's first two bytes; else the four bytes
};

void put16(Bytes &b, bool big, uint32_t v) {
    uint8_t hi = uint8_t(v >> 8), lo = uint8_t(v);
    b.push_back(big ? hi : lo);
    b.push_back(big ? lo : hi);
}

void put32(Bytes &b, bool big, uint32_t v) {
    put16(b, big, big ? v >> 16 : v & 0xFFFF);
    put16(b, big, big ? v & 0xFFFF : v >> 16);
}

// The IFD at the end of b: its entries and the offset of the next IFD.
void put_ifd(Bytes &b, bool big, const std::vector<Entry> &entries, uint32_t next) {
    put16(b, big, uint32_t(entries.size()));
    for (const Entry &e : entries) {
        put16(b, big, e.tag);
        put16(b, big, e.type);
        put32(b, big, e.count);
        if (e.type == SHORT) {
            put16(b, big, e.value);
            put16(b, big, 0);
        } else {
            put32(b, big, e.value);
        }
    }
    put32(b, big, next);
}

// A TIFF structure: the header, IFD0 at offset 8 with `entries`, and `next`
// as the offset of the IFD after it.
Bytes tiff(bool big, const std::vector<Entry> &entries, uint32_t next = 0) {
    Bytes b = {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')};
    put16(b, big, 42);
    put32(b, big, 8);
    put_ifd(b, big, entries, next);
    return b;
}

// A camera's Exif block: Make, Orientation, and a second IFD (a thumbnail's)
// chained after the first.
Bytes camera_exif(bool big, int orientation) {
    Bytes b = tiff(big, {{MAKE, ASCII, 4, 0x006D6143u}, {ORIENTATION, SHORT, 1, uint32_t(orientation)}},
                   8 + 2 + 2 * 12 + 4);
    put_ifd(b, big, {{0x0103, SHORT, 1, 6}}, 0);
    return b;
}

// ---------------------------------------------------------------------------
// Inputs

Bytes insert_at(Bytes file, size_t at, const Bytes &extra) {
    file.insert(file.begin() + long(at), extra.begin(), extra.end());
    return file;
}

Bytes segment(uint8_t marker, const Bytes &payload) {
    size_t len = payload.size() + 2;
    // Sized once and filled in place: growing a 4-byte vector by insert
    // makes GCC 12 at -O3 report a false array-bounds overflow.
    Bytes s(payload.size() + 4);
    s[0] = 0xFF;
    s[1] = marker;
    s[2] = uint8_t(len >> 8);
    s[3] = uint8_t(len);
    std::copy(payload.begin(), payload.end(), s.begin() + 4);
    return s;
}

Bytes with_id(const char *id, size_t id_len, const Bytes &data) {
    Bytes p(id, id + id_len);
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes exif_segment(const Bytes &tiff_block) { return segment(0xE1, with_id("Exif\0", 6, tiff_block)); }

// APP2 "ICC_PROFILE" piece `seq` of `count`.
Bytes icc_segment(int seq, int count, const Bytes &piece) {
    Bytes p(reinterpret_cast<const uint8_t *>("ICC_PROFILE"), reinterpret_cast<const uint8_t *>("ICC_PROFILE") + 12);
    p.push_back(uint8_t(seq));
    p.push_back(uint8_t(count));
    p.insert(p.end(), piece.begin(), piece.end());
    return segment(0xE2, p);
}

// The profile as APP2 segments of at most `piece` bytes each, in order.
Bytes icc_segments(const Bytes &icc, size_t piece = 65519) {
    Bytes all;
    int count = int((icc.size() + piece - 1) / piece);
    for (int i = 0; i < count; ++i) {
        size_t at = size_t(i) * piece, n = std::min(piece, icc.size() - at);
        Bytes s = icc_segment(i + 1, count, Bytes(icc.begin() + long(at), icc.begin() + long(at + n)));
        all.insert(all.end(), s.begin(), s.end());
    }
    return all;
}

// A JPEG of p (libjpeg, quality 95, 4:4:4) with `segments` after its JFIF APP0.
Bytes jpeg_file(const tt::Pixels &p, const Bytes &segments) {
    std::string path = tt::scratch("made.jpg");
    tt::write_jpeg(path, p, 95);
    Bytes f = tt::read_file(path);
    size_t app0 = size_t(f[4]) << 8 | f[5];
    return insert_at(f, 4 + app0, segments);
}

Bytes chunk(const char *type, const Bytes &data) {
    Bytes c;
    put32(c, true, uint32_t(data.size()));
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), data.begin(), data.end());
    put32(c, true, uint32_t(crc32(0, c.data() + 4, uInt(data.size() + 4))));
    return c;
}

Bytes iccp_chunk(const Bytes &icc) {
    uLongf n = compressBound(uLong(icc.size()));
    Bytes z(n);
    EXPECT_EQ(compress2(z.data(), &n, icc.data(), uLong(icc.size()), 9), Z_OK);
    z.resize(n);
    return chunk("iCCP", with_id("Photo\0", 7, z));  // name, NUL, method 0
}

// A PNG of p (libpng) with `chunks` after IHDR.
Bytes png_file(const tt::Pixels &p, const Bytes &chunks) {
    std::string path = tt::scratch("made.png");
    tt::write_png(path, p);
    return insert_at(tt::read_file(path), 33, chunks);
}

enum Container { JPEG, PNG };
const char *const CONTAINER[] = {"jpeg", "png"};

// p as a JPEG or PNG file carrying the Exif block (when not empty) and the
// profile (when not empty).
Bytes photo(Container c, const tt::Pixels &p, const Bytes &exif, const Bytes &icc = {}) {
    if (c == JPEG) {
        Bytes segs = exif.empty() ? Bytes() : exif_segment(exif);
        Bytes iccs = icc.empty() ? Bytes() : icc_segments(icc);
        segs.insert(segs.end(), iccs.begin(), iccs.end());
        return jpeg_file(p, segs);
    }
    Bytes chunks = icc.empty() ? Bytes() : iccp_chunk(icc);
    Bytes ex = exif.empty() ? Bytes() : chunk("eXIf", exif);
    chunks.insert(chunks.end(), ex.begin(), ex.end());
    return png_file(p, chunks);
}

// A smooth picture (JPEG keeps it closely) where every pixel differs from
// its mirror images: R rises to the right, G downwards, B along a diagonal.
tt::Pixels ramp(int w, int h) {
    tt::Pixels p = tt::solid(w, h, 0, 0, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *q = p.at(x, y);
            q[0] = uint8_t(20 + x * 200 / (w - 1));
            q[1] = uint8_t(20 + y * 200 / (h - 1));
            q[2] = uint8_t(60 + (x + 2 * y) * 120 / (w + 2 * h));
        }
    }
    return p;
}

// ---------------------------------------------------------------------------
// Calls and outputs

trimlet_options options(int orient, int metadata, const char *format = "png") {
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    o.orient = orient;
    o.metadata = metadata;
    return o;
}

Bytes crop(const Bytes &in, int rule, const std::vector<int> &params, const trimlet_options &o) {
    void *out = nullptr;
    size_t n = 0;
    char err[TRIMLET_ERROR_SIZE];
    int ok = trimlet_crop_memory(in.data(), in.size(), rule, params.data(), &o, &out, &n, err);
    EXPECT_EQ(ok, 1) << err;
    EXPECT_STREQ(err, "");
    Bytes b(static_cast<uint8_t *>(out), static_cast<uint8_t *>(out) + n);
    trimlet_free(out);
    return b;
}

trimlet_box plan(const Bytes &in, int rule, const std::vector<int> &params, int orient) {
    trimlet_box box;
    trimlet_options o = options(orient, TRIMLET_STRIP);
    char err[TRIMLET_ERROR_SIZE];
    EXPECT_EQ(trimlet_plan_memory(in.data(), in.size(), rule, params.data(), &o, &box, err), 1) << err;
    return box;
}

tt::Pixels decode(const Bytes &file) {
    std::string path = tt::scratch("decoded");
    tt::write_file(path, file);
    return tt::read_any(path);
}

// The profile and Exif block a written file carries.
struct Carried {
    Bytes icc, exif;
};

// JPEG: the first APP1 "Exif\0\0" and the APP2 "ICC_PROFILE" pieces joined
// by their numbers, which must run 1..count with one count.
Carried jpeg_carried(const Bytes &f) {
    Carried c;
    std::map<int, Bytes> pieces;
    int count = 0;
    for (size_t p = 2; p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xDA;) {
        size_t len = size_t(f[p + 2]) << 8 | f[p + 3];
        Bytes s(f.begin() + long(p + 4), f.begin() + long(std::min(f.size(), p + 2 + len)));
        if (f[p + 1] == 0xE1 && c.exif.empty() && s.size() >= 6 && std::memcmp(s.data(), "Exif\0", 6) == 0) {
            c.exif.assign(s.begin() + 6, s.end());
        }
        if (f[p + 1] == 0xE2 && s.size() >= 14 && std::memcmp(s.data(), "ICC_PROFILE", 12) == 0) {
            EXPECT_TRUE(count == 0 || count == s[13]) << "pieces disagree on the count";
            count = s[13];
            EXPECT_TRUE(pieces.emplace(s[12], Bytes(s.begin() + 14, s.end())).second) << "piece twice";
            EXPECT_LE(s.size() - 14, 65519u);
        }
        p += 2 + len;
    }
    EXPECT_EQ(int(pieces.size()), count);
    for (int i = 1; i <= count; ++i) c.icc.insert(c.icc.end(), pieces[i].begin(), pieces[i].end());
    return c;
}

Carried carried(const Bytes &f) {
    if (f.size() > 2 && f[0] == 0xFF && f[1] == 0xD8) return jpeg_carried(f);
    Carried c;
    std::string path = tt::scratch("carried.png");
    tt::write_file(path, f);
    tt::read_png_metadata(path, &c.icc, &c.exif);
    return c;
}

// A profile the icc-profiles-free package installs (scripts/deps.sh).
Bytes system_profile(const std::string &name) {
    std::string path = "/usr/share/color/icc/" + name;
    EXPECT_TRUE(tt::file_exists(path)) << path << " missing: install icc-profiles-free";
    return tt::file_exists(path) ? tt::read_file(path) : Bytes();
}

// ---------------------------------------------------------------------------
// The upright reference: the stored picture turned by two independent steps

tt::Pixels turned_clockwise(const tt::Pixels &p) {
    tt::Pixels t = tt::solid(p.h, p.w, 0, 0, 0, 0);
    for (int y = 0; y < p.h; ++y) {
        for (int x = 0; x < p.w; ++x) std::memcpy(t.at(p.h - 1 - y, x), p.at(x, y), 4);
    }
    return t;
}

tt::Pixels mirrored(const tt::Pixels &p) {
    tt::Pixels m = p;
    for (int y = 0; y < p.h; ++y) {
        for (int x = 0; x < p.w; ++x) std::memcpy(m.at(p.w - 1 - x, y), p.at(x, y), 4);
    }
    return m;
}

// What a viewer shows for a stored picture with this Orientation.
tt::Pixels upright(const tt::Pixels &p, int orientation) {
    tt::Pixels cw = turned_clockwise(p), half = turned_clockwise(cw), ccw = turned_clockwise(half);
    switch (orientation) {
    case 2: return mirrored(p);
    case 3: return half;
    case 4: return mirrored(half);
    case 5: return mirrored(cw);
    case 6: return cw;
    case 7: return mirrored(ccw);
    case 8: return ccw;
    default: return p;
    }
}

// ---------------------------------------------------------------------------
// Orientation

TEST(PhotoOrientation, EachValueCropsTheUprightImageOfJpegAndPng) {
    const tt::Pixels stored = ramp(48, 30);
    const std::vector<int> whole = {0, 0, 0, 0};       // edges: nothing cut
    const std::vector<int> rect = {5, 3, 17, 11};      // off centre
    for (Container c : {JPEG, PNG}) {
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE(std::string(CONTAINER[c]) + " orientation " + std::to_string(o));
            Bytes in = photo(c, stored, camera_exif(o % 2 == 0, o));
            // The stored pixels as libjpeg decodes them; JPEG output of the
            // library's decoder may differ from them by a level or two.
            tt::Pixels as_stored = c == JPEG ? decode(in) : stored;
            tt::Pixels want = upright(as_stored, o);
            int tolerance = c == JPEG ? 3 : 0;

            trimlet_options turn = options(TRIMLET_APPLY_EXIF, TRIMLET_STRIP);
            EXPECT_LE(tt::max_diff(decode(crop(in, TRIMLET_EDGES, whole, turn)), want), tolerance);
            EXPECT_LE(tt::max_diff(decode(crop(in, TRIMLET_RECT, rect, turn)),
                                   tt::crop(want, 5, 3, 17, 11)),
                      tolerance);
            trimlet_box b = plan(in, TRIMLET_RECT, rect, TRIMLET_APPLY_EXIF);
            EXPECT_EQ((std::vector<int>{b.x, b.y, b.w, b.h, b.image_w, b.image_h}),
                      (std::vector<int>{5, 3, 17, 11, want.w, want.h}));

            trimlet_options keep_grid = options(TRIMLET_AS_STORED, TRIMLET_STRIP);
            EXPECT_LE(tt::max_diff(decode(crop(in, TRIMLET_EDGES, whole, keep_grid)), as_stored),
                      tolerance);
            EXPECT_LE(tt::max_diff(decode(crop(in, TRIMLET_RECT, rect, keep_grid)),
                                   tt::crop(as_stored, 5, 3, 17, 11)),
                      tolerance);
            b = plan(in, TRIMLET_RECT, rect, TRIMLET_AS_STORED);
            EXPECT_EQ(b.image_w, 48);
            EXPECT_EQ(b.image_h, 30);
        }
    }
}

// Every rule, including auto (which reads pixels), cuts from the upright
// image exactly what it cuts from the same picture stored upright.
TEST(PhotoOrientation, EveryRuleSeesTheUprightImage) {
    // A picture on a plain ground, off centre, for auto to find.
    tt::Pixels stored = tt::solid(40, 26, 250, 250, 250);
    const tt::Pixels content = ramp(40, 26);
    for (int y = 4; y < 11; ++y) {
        for (int x = 6; x < 19; ++x) std::memcpy(stored.at(x, y), content.at(x, y), 4);
    }
    struct Rule {
        int rule;
        std::vector<int> params;
    } rules[] = {
        {TRIMLET_AUTO, {10}},         {TRIMLET_ASPECT, {2}},
        {TRIMLET_RATIO, {3, 4}},      {TRIMLET_EDGES, {10, 20, 0, 5}},
        {TRIMLET_RECT, {10, 2, 50, 50}},  // clipped at the upright image's edges
    };
    for (int o = 1; o <= 8; ++o) {
        Bytes in = photo(PNG, stored, camera_exif(o % 2 == 1, o));
        Bytes reference = png_file(upright(stored, o), {});
        for (const Rule &r : rules) {
            SCOPED_TRACE("orientation " + std::to_string(o) + " rule " + std::to_string(r.rule));
            EXPECT_EQ(crop(in, r.rule, r.params, options(TRIMLET_APPLY_EXIF, TRIMLET_STRIP)),
                      crop(reference, r.rule, r.params, options(TRIMLET_AS_STORED, TRIMLET_STRIP)));
            trimlet_box a = plan(in, r.rule, r.params, TRIMLET_APPLY_EXIF);
            trimlet_box b = plan(reference, r.rule, r.params, TRIMLET_AS_STORED);
            EXPECT_EQ((std::vector<int>{a.x, a.y, a.w, a.h, a.image_w, a.image_h}),
                      (std::vector<int>{b.x, b.y, b.w, b.h, b.image_w, b.image_h}));
        }
    }
}

// A position and a resize (a JPEG scaled down at decode time included) see
// the upright picture: the box and the pixels are those of the same picture
// stored upright.
TEST(PhotoOrientation, PositionAndResizeSeeTheUprightImage) {
    tt::Pixels stored = ramp(480, 288);  // whole blocks, which a lossless turn keeps
    for (int y = 40; y < 110; ++y) {     // a saturated block off centre for attention
        for (int x = 20; x < 90; ++x) std::memcpy(stored.at(x, y), "\xe0\x20\x30\xff", 4);
    }
    for (int o = 1; o <= 8; ++o) {
        Bytes in = photo(JPEG, stored, camera_exif(false, o));
        Bytes reference = png_file(upright(decode(in), o), {});
        for (int side : {0, 40}) {
            SCOPED_TRACE("orientation " + std::to_string(o) + " resize " + std::to_string(side));
            trimlet_options turn = options(TRIMLET_APPLY_EXIF, TRIMLET_STRIP);
            trimlet_options as_is = options(TRIMLET_AS_STORED, TRIMLET_STRIP);
            turn.position = as_is.position = TRIMLET_ATTENTION;
            turn.resize_w = as_is.resize_w = side;
            turn.resize_h = as_is.resize_h = side;
            tt::Pixels a = decode(crop(in, TRIMLET_RATIO, {1, 1}, turn));
            tt::Pixels b = decode(crop(reference, TRIMLET_RATIO, {1, 1}, as_is));
            EXPECT_LE(tt::max_diff(a, b), side ? 12 : 3);
        }
        // A lossless cut takes the same box, grown onto the block grid.
        trimlet_box lossy;
        trimlet_options cut = options(TRIMLET_APPLY_EXIF, TRIMLET_STRIP, "jpg");
        cut.position = TRIMLET_ATTENTION;
        cut.lossless = 1;
        trimlet_box box;
        char err[TRIMLET_ERROR_SIZE];
        if (!trimlet_has("lossless")) continue;
        ASSERT_EQ(trimlet_plan_memory(in.data(), in.size(), TRIMLET_RATIO, std::vector<int>{1, 1}.data(), &cut,
                                      &box, err),
                  1)
            << err;
        cut.lossless = 0;
        ASSERT_EQ(trimlet_plan_memory(in.data(), in.size(), TRIMLET_RATIO, std::vector<int>{1, 1}.data(), &cut,
                                      &lossy, err),
                  1);
        EXPECT_LE(box.x, lossy.x);
        EXPECT_LE(box.y, lossy.y);
        EXPECT_GE(box.x + box.w, lossy.x + lossy.w);
        EXPECT_GE(box.y + box.h, lossy.y + lossy.h);
        EXPECT_LT(box.w - lossy.w + box.h - lossy.h, 32);
    }
}

// Exif blocks that do not hold together, or whose Orientation is not a SHORT
// 1..8: the picture stays as stored and the crop succeeds. A block whose
// structure holds is still carried by TRIMLET_KEEP; one that does not is not.
TEST(PhotoOrientation, MalformedExifMeansOrientationOne) {
    const Bytes good = tiff(false, {{ORIENTATION, SHORT, 1, 6}});
    const Bytes good_mm = tiff(true, {{ORIENTATION, SHORT, 1, 6}});
    Bytes wrong_mark = good;
    wrong_mark[1] = 'M';  // "IM"
    Bytes wrong_magic = good_mm;
    wrong_magic[3] = 43;
    Bytes ifd_past_end = good;
    ifd_past_end[4] = 0xF0, ifd_past_end[7] = 0xFF;  // 0xFF0000F0
    Bytes ifd_in_header = good_mm;
    ifd_in_header[7] = 4;
    Bytes too_many_entries = good;
    too_many_entries[8] = 200;
    Bytes two_ifd_loop = tiff(true, {{ORIENTATION, SHORT, 1, 6}}, 26);
    put_ifd(two_ifd_loop, true, {{0x0103, SHORT, 1, 6}}, 8);  // IFD1 leads back to IFD0
    Bytes next_past_end = tiff(false, {{ORIENTATION, SHORT, 1, 6}}, 0x10000);
    Bytes value_bytes_swapped = tiff(true, {{ORIENTATION, SHORT, 1, 0x0600}});  // 1536

    struct Case {
        const char *name;
        Bytes exif;
        bool carried;  // the structure holds: TRIMLET_KEEP still copies it
    } cases[] = {
        {"header cut short", Bytes(good.begin(), good.begin() + 3), false},
        {"IFD0 cut in its entry", Bytes(good.begin(), good.begin() + 16), false},
        {"IFD0 count only", Bytes(good_mm.begin(), good_mm.begin() + 10), false},
        {"byte order mark IM", wrong_mark, false},
        {"magic 43", wrong_magic, false},
        {"IFD0 offset past the end", ifd_past_end, false},
        {"IFD0 offset inside the header", ifd_in_header, false},
        {"entry count past the end", too_many_entries, false},
        {"IFD0 names itself as next", tiff(false, {{ORIENTATION, SHORT, 1, 6}}, 8), false},
        {"two IFDs in a loop", two_ifd_loop, false},
        {"next IFD past the end", next_past_end, false},
        {"orientation LONG", tiff(false, {{ORIENTATION, LONG, 1, 6}}), true},
        {"orientation ASCII", tiff(true, {{ORIENTATION, ASCII, 1, 6}}), true},
        {"orientation count 2", tiff(true, {{ORIENTATION, SHORT, 2, 6}}), true},
        {"orientation count 0", tiff(false, {{ORIENTATION, SHORT, 0, 6}}), true},
        {"orientation 0", tiff(false, {{ORIENTATION, SHORT, 1, 0}}), true},
        {"orientation 9", tiff(true, {{ORIENTATION, SHORT, 1, 9}}), true},
        {"orientation 0xFFFF", tiff(false, {{ORIENTATION, SHORT, 1, 0xFFFF}}), true},
        {"orientation in the wrong byte order", value_bytes_swapped, true},
        {"no orientation", tiff(true, {{MAKE, ASCII, 4, 0x41424300}}), true},
    };
    const tt::Pixels stored = ramp(20, 12);
    for (Container c : {JPEG, PNG}) {
        for (const Case &k : cases) {
            SCOPED_TRACE(std::string(CONTAINER[c]) + ": " + k.name);
            Bytes in = photo(c, stored, k.exif);
            trimlet_box b = plan(in, TRIMLET_RECT, {2, 1, 9, 5}, TRIMLET_APPLY_EXIF);
            EXPECT_EQ(b.image_w, 20);
            EXPECT_EQ(b.image_h, 12);
            EXPECT_EQ(crop(in, TRIMLET_RECT, {2, 1, 9, 5}, options(TRIMLET_APPLY_EXIF, TRIMLET_STRIP)),
                      crop(in, TRIMLET_RECT, {2, 1, 9, 5}, options(TRIMLET_AS_STORED, TRIMLET_STRIP)));
            Carried kept = carried(crop(in, TRIMLET_RECT, {2, 1, 9, 5},
                                        options(TRIMLET_AS_STORED, TRIMLET_KEEP, CONTAINER[c])));
            EXPECT_EQ(kept.exif, k.carried ? k.exif : Bytes());
        }
    }
}

// The Exif block is read where the walk of JPEG segments or PNG chunks
// reaches it as the decoders walk the file: past fill bytes and stray bytes
// before a marker, past other chunks, and no further than the first scan,
// IEND or a chunk whose CRC is wrong.
TEST(PhotoOrientation, ExifIsReadWhereTheSegmentAndChunkWalksReachIt) {
    const tt::Pixels stored = ramp(20, 12);
    const Bytes block = tiff(false, {{ORIENTATION, SHORT, 1, 6}});
    const Bytes app1 = exif_segment(block), exif = chunk("eXIf", block);
    const Bytes jpeg = jpeg_file(stored, {}), png = png_file(stored, {});
    const size_t after_app0 = 4 + (size_t(jpeg[4]) << 8 | jpeg[5]), after_ihdr = 33;
    auto with = [](Bytes b, const Bytes &before) {
        b.insert(b.begin(), before.begin(), before.end());
        return b;
    };
    Bytes bad_crc = exif;
    bad_crc.back() ^= 1;
    struct Case {
        const char *name;
        Bytes in;
        int orientation;
    } cases[] = {
        {"jpeg: APP1 after APP0", insert_at(jpeg, after_app0, app1), 6},
        {"jpeg: fill bytes before APP1", insert_at(jpeg, after_app0, with(app1, {0xFF, 0xFF})), 6},
        {"jpeg: stray bytes before APP1", insert_at(jpeg, after_app0, with(app1, {0x00, 0x12, 0xFE})), 6},
        {"jpeg: APP1 after the scan", insert_at(jpeg, jpeg.size() - 2, app1), 1},
        {"png: eXIf after IHDR", insert_at(png, after_ihdr, exif), 6},
        {"png: eXIf after an empty chunk", insert_at(png, after_ihdr, with(exif, chunk("prVt", {}))), 6},
        {"png: eXIf with a wrong CRC", insert_at(png, after_ihdr, bad_crc), 1},
        {"png: eXIf after IEND", insert_at(png, png.size(), exif), 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        trimlet_box b = plan(k.in, TRIMLET_RECT, {0, 0, 4, 4}, TRIMLET_APPLY_EXIF);
        EXPECT_EQ(b.image_w, k.orientation == 6 ? 12 : 20);
        EXPECT_EQ(b.image_h, k.orientation == 6 ? 20 : 12);
    }
}

// ---------------------------------------------------------------------------
// Carried metadata

// The Exif block with IFD0's Orientation entry made SHORT 1 (in place, as
// the library writes it).
Bytes with_orientation_one(Bytes exif, bool big, size_t entry) {
    size_t v = entry + 8;
    exif[v] = big ? 0 : 1;
    exif[v + 1] = big ? 1 : 0;
    return exif;
}

TEST(PhotoMetadata, ProfileAndExifAreCopiedByteForByte) {
    const Bytes rgb = system_profile("compatibleWithAdobeRGB1998.icc");
    const Bytes lab = system_profile("LCMSLABI.ICM");  // 154 KB: three APP2 pieces
    ASSERT_FALSE(rgb.empty());
    ASSERT_FALSE(lab.empty());
    const tt::Pixels stored = ramp(36, 20);
    struct Case {
        Container in, out;
        const Bytes *icc;
        int orient;
        bool big;
    } cases[] = {
        {JPEG, JPEG, &rgb, TRIMLET_AS_STORED, false}, {JPEG, PNG, &rgb, TRIMLET_AS_STORED, true},
        {PNG, JPEG, &rgb, TRIMLET_AS_STORED, true},   {PNG, PNG, &rgb, TRIMLET_AS_STORED, false},
        {JPEG, JPEG, &rgb, TRIMLET_APPLY_EXIF, true}, {JPEG, PNG, &rgb, TRIMLET_APPLY_EXIF, false},
        {PNG, JPEG, &rgb, TRIMLET_APPLY_EXIF, false}, {PNG, PNG, &rgb, TRIMLET_APPLY_EXIF, true},
        // libpng reads only profiles of the PNG's colour space back (RGB):
        // the Lab profile is read from JPEG output.
        {JPEG, JPEG, &lab, TRIMLET_APPLY_EXIF, false}, {PNG, JPEG, &lab, TRIMLET_AS_STORED, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(CONTAINER[k.in]) + " to " + CONTAINER[k.out] + ", profile of " +
                     std::to_string(k.icc->size()) + " bytes, orient " + std::to_string(k.orient));
        Bytes exif = camera_exif(k.big, 6);
        Bytes in = photo(k.in, stored, exif, *k.icc);
        Bytes out = crop(in, TRIMLET_RECT, {3, 2, 14, 9}, options(k.orient, TRIMLET_KEEP, CONTAINER[k.out]));
        Carried got = carried(out);
        EXPECT_TRUE(got.icc == *k.icc) << "profile of " << got.icc.size() << " bytes";
        // Turned pixels carry Orientation 1; pixels as stored keep 6, so a
        // viewer turns the crop as it turned the original.
        size_t orientation_entry = 8 + 2 + 12;
        EXPECT_EQ(got.exif, k.orient == TRIMLET_APPLY_EXIF ? with_orientation_one(exif, k.big, orientation_entry)
                                                            : exif);
        tt::Pixels px = decode(out);
        EXPECT_EQ(px.w, 14);
        EXPECT_EQ(px.h, 9);

        Carried stripped = carried(crop(in, TRIMLET_RECT, {3, 2, 14, 9},
                                        options(k.orient, TRIMLET_STRIP, CONTAINER[k.out])));
        EXPECT_TRUE(stripped.icc.empty());
        EXPECT_TRUE(stripped.exif.empty());
    }
}

// A profile in JPEG pieces is joined only when the pieces are numbered 1..n
// with one count n, each once, in any order.
TEST(PhotoMetadata, ProfilePiecesMustAgree) {
    Bytes icc(300);
    for (size_t i = 0; i < icc.size(); ++i) icc[i] = uint8_t(i * 7 + 1);
    Bytes a(icc.begin(), icc.begin() + 100), b(icc.begin() + 100, icc.begin() + 200),
        c(icc.begin() + 200, icc.end());
    auto join = [](std::vector<Bytes> segs) {
        Bytes all;
        for (const Bytes &s : segs) all.insert(all.end(), s.begin(), s.end());
        return all;
    };
    struct Case {
        const char *name;
        Bytes segments;
        bool carried;
    } cases[] = {
        {"in order", join({icc_segment(1, 3, a), icc_segment(2, 3, b), icc_segment(3, 3, c)}), true},
        {"out of order", join({icc_segment(3, 3, c), icc_segment(1, 3, a), icc_segment(2, 3, b)}), true},
        {"one missing", join({icc_segment(1, 3, a), icc_segment(3, 3, c)}), false},
        {"one twice", join({icc_segment(1, 3, a), icc_segment(2, 3, b), icc_segment(2, 3, b),
                            icc_segment(3, 3, c)}),
         false},
        {"counts disagree", join({icc_segment(1, 3, a), icc_segment(2, 4, b), icc_segment(3, 3, c)}), false},
        {"number 0", join({icc_segment(0, 3, a), icc_segment(1, 3, a), icc_segment(2, 3, b),
                           icc_segment(3, 3, c)}),
         false},
        {"number past the count", join({icc_segment(1, 2, a), icc_segment(3, 2, b)}), false},
        {"count 0", join({icc_segment(1, 0, icc)}), false},
        {"header cut short", segment(0xE2, with_id("ICC_PROFILE\0", 13, {})), false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Bytes in = jpeg_file(ramp(16, 10), k.segments);
        Carried got = carried(crop(in, TRIMLET_EDGES, {0, 0, 0, 0}, options(TRIMLET_AS_STORED, TRIMLET_KEEP, "jpg")));
        EXPECT_EQ(got.icc, k.carried ? icc : Bytes());
    }
}

}  // namespace
