// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Photos as a viewer shows them: the EXIF Orientation tag, the ICC profile
// and the Exif block of JPEG, PNG and WebP inputs; the turns and mirrorings the tag
// names; and the profile and Exif block written into PNG and JPEG output.
//
// The readers take hostile bytes. Every offset and count is checked against
// the bytes that remain before anything is read there, a chain of IFDs is
// followed a bounded number of steps and a loop in it ends the walk, and
// whatever does not hold together counts as absent: orientation 1, no
// profile, no Exif. Reading metadata never fails a crop.
#include "meta/meta.h"
#include "base/signatures.h"
#include "base/stb.h"
#include "base/zlib.h"
#include "base/walk.h"
#include "meta/tiffdir.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Exif: a TIFF structure ("II*\0" or "MM\0*", the offset of IFD0, then IFDs
// of 12-byte entries, each IFD ending with the offset of the next or 0),
// walked by tiffdir.h

// How many IFDs of a chain are read. Exif has two (the image and its
// thumbnail); the bound only stops a chain that never ends.
static const int MAX_IFDS = 16;
static const unsigned TAG_ORIENTATION = 0x0112;
static const unsigned TYPE_SHORT = 3;

// Checks an Exif block's header and every IFD of its chain: each lies after
// the header, its entries lie inside the data, and no IFD comes round twice.
// Returns 1 with the header in *t when the structure holds together, else 0:
// the whole block then counts as absent. A chain longer than MAX_IFDS is
// read no further (what was read stands); the offset of the next IFD may be
// missing after the last entries, which ends the chain.
static int exif_layout(const unsigned char *d, size_t n, TiffDir *t) {
    if (!tiffdir_open(d, n, 0, t)) return 0;
    uint64_t seen[MAX_IFDS];
    int count = 0;
    uint64_t off = t->ifd0;
    while (off != 0 && count < MAX_IFDS) {
        for (int i = 0; i < count; ++i) {
            if (seen[i] == off) return 0;  // the chain loops
        }
        uint64_t entries;
        size_t first;
        if (!tiffdir_ifd(t, off, &entries, &first)) return 0;
        seen[count++] = off;
        off = tiffdir_next(t, off);
    }
    return count > 0;
}

// IFD0's first Orientation entry, located or not; 0 when it has none.
static int orientation_entry(const TiffDir *t, TiffEntry *e) {
    uint64_t count;
    size_t first;
    if (!tiffdir_ifd(t, t->ifd0, &count, &first)) return 0;
    for (uint64_t i = 0; i < count; ++i) {
        tiffdir_entry(t, first, i, e);
        if (e->tag == TAG_ORIENTATION) return 1;
    }
    return 0;
}

// The Orientation of an Exif block: 1..8 from a SHORT entry of count 1 in
// IFD0, else 1.
static int tiff_orientation(const unsigned char *d, size_t n) {
    TiffDir t;
    TiffEntry e;
    if (!exif_layout(d, n, &t) || !orientation_entry(&t, &e)) return 1;
    if (e.type != TYPE_SHORT || e.count != 1) return 1;
    unsigned v = load_u16(e.value, t.big);
    return v >= 1 && v <= 8 ? (int)v : 1;
}

// Makes the Orientation entry of an Exif block (a TIFF structure of n bytes)
// a well-formed SHORT 1, whatever it held, its value in the entry itself;
// the block's length does not change.
static void tiff_orientation_one(unsigned char *d, size_t n) {
    TiffDir t;
    TiffEntry e;
    if (!exif_layout(d, n, &t) || !orientation_entry(&t, &e)) return;
    unsigned char *p = d + e.at;
    store_u16(p + 2, TYPE_SHORT, t.big);
    store_u32(p + 4, 1, t.big);
    memset(p + 8, 0, 4);
    store_u16(p + 8, 1, t.big);
}

void set_orientation_one(Metadata *m) {
    m->orientation = 1;
    tiff_orientation_one(m->exif, m->exif_size);
}

// ---------------------------------------------------------------------------
// Reading: JPEG segments and PNG chunks

static const unsigned char EXIF_ID[6] = {'E', 'x', 'i', 'f', 0, 0};
static const unsigned char ICC_ID[12] = {'I', 'C', 'C', '_', 'P', 'R',
                                         'O', 'F', 'I', 'L', 'E', 0};

// A JPEG segment holds at most 65533 bytes after its length. An ICC profile
// is split into at most 255 of them, each with a 14-byte header.
static const size_t JPEG_SEGMENT_MAX = 65533;
static const size_t ICC_CHUNK_MAX = JPEG_SEGMENT_MAX - sizeof ICC_ID - 2;  // 65519
static const size_t EXIF_JPEG_MAX = JPEG_SEGMENT_MAX - sizeof EXIF_ID;     // 65527
// The largest profile read from any input: what a JPEG can hold. It also
// bounds the memory an iCCP chunk may inflate to.
static const size_t ICC_MAX = ICC_CHUNK_MAX * 255;

static unsigned char *copy_block(const unsigned char *d, size_t n) {
    unsigned char *p = (unsigned char *)malloc(n ? n : 1);
    if (p != NULL && n) memcpy(p, d, n);
    return p;
}

// Keeps the Exif block when its structure holds together: its orientation
// when asked, a copy when want_blocks.
static void take_exif(const unsigned char *d, size_t n, int want_orientation, int want_blocks,
                      Metadata *m) {
    TiffDir t;
    if (!exif_layout(d, n, &t)) return;
    if (want_orientation) m->orientation = tiff_orientation(d, n);
    if (want_blocks) {
        m->exif = copy_block(d, n);
        if (m->exif != NULL) m->exif_size = n;
    }
}

struct Piece {
    const unsigned char *d;
    size_t n;
};

// Reassembles the profile from APP2 pieces 1..count, each present once.
static void take_jpeg_icc(const Piece *pieces, int count, Metadata *m) {
    size_t total = 0;
    for (int i = 1; i <= count; ++i) {
        if (pieces[i].d == NULL) return;
        total += pieces[i].n;  // at most 255 * 65519: no overflow
    }
    if (total == 0) return;
    unsigned char *icc = (unsigned char *)malloc(total);
    if (icc == NULL) return;
    size_t at = 0;
    for (int i = 1; i <= count; ++i) {
        memcpy(icc + at, pieces[i].d, pieces[i].n);
        at += pieces[i].n;
    }
    m->icc = icc;
    m->icc_size = total;
}

// The next segment of the walk that has a length, before the first scan
// (markers without one are passed over); 0 at the scan or the end, and at a
// length that does not hold.
static int header_segment(JpegSegments *w, JpegSegment *s) {
    while (jpeg_segment_next(w, s)) {
        if (s->marker == 0xDA || s->marker == 0xD9) return 0;  // scan data or end
        if (s->len != 2) return s->len != 0;
    }
    return 0;
}

// Walks the segments before the first scan. The first APP1 "Exif\0\0" is the
// Exif block; APP2 "ICC_PROFILE\0" segments carry the profile as numbered
// pieces 1..count, all naming the same count. Bytes that are not a marker
// where one should be are skipped, as libjpeg skips them, and the segment
// before them is not read: its length is wrong. A length past the end ends
// the walk.
static void read_jpeg(const unsigned char *d, size_t n, int want_orientation, int want_blocks,
                      Metadata *m) {
    Piece pieces[256];
    memset(pieces, 0, sizeof pieces);
    int icc_count = 0;
    int icc_bad = 0;
    int exif_seen = 0;
    JpegSegments walk = {d, n, 2, JPEG_SKIP_STRAY | JPEG_SKIP_STUFFED};
    JpegSegment seg;
    while (header_segment(&walk, &seg)) {
        unsigned marker = seg.marker;
        const unsigned char *s = seg.data;
        size_t sn = seg.size;
        size_t next = seg.at + seg.len;
        int stray_after = next < n && (d[next] != 0xFF || (next + 1 < n && d[next + 1] == 0x00));
        if (stray_after) continue;
        if (marker == 0xE1 && !exif_seen && sn >= sizeof EXIF_ID &&
            memcmp(s, EXIF_ID, sizeof EXIF_ID) == 0) {
            exif_seen = 1;
            take_exif(s + sizeof EXIF_ID, sn - sizeof EXIF_ID, want_orientation, want_blocks, m);
        } else if (marker == 0xE2 && want_blocks && sn >= sizeof ICC_ID + 2 &&
                   memcmp(s, ICC_ID, sizeof ICC_ID) == 0) {
            int seq = s[sizeof ICC_ID];
            int count = s[sizeof ICC_ID + 1];
            if (seq == 0 || seq > count || (icc_count != 0 && count != icc_count) ||
                pieces[seq].d != NULL) {
                icc_bad = 1;
            } else {
                icc_count = count;
                pieces[seq].d = s + sizeof ICC_ID + 2;
                pieces[seq].n = sn - sizeof ICC_ID - 2;
            }
        }
    }
    if (icc_count != 0 && !icc_bad) take_jpeg_icc(pieces, icc_count, m);
}

void jpeg_orientation_one(unsigned char *d, size_t n) {
    // The walk of read_jpeg, to the first APP1 "Exif\0\0", on a file
    // without stray bytes.
    JpegSegments walk = {d, n, 2, JPEG_STRICT};
    JpegSegment seg;
    while (header_segment(&walk, &seg)) {
        unsigned char *s = d + seg.at + 4;
        size_t sn = seg.size;
        if (seg.marker == 0xE1 && sn >= sizeof EXIF_ID && memcmp(s, EXIF_ID, sizeof EXIF_ID) == 0) {
            tiff_orientation_one(s + sizeof EXIF_ID, sn - sizeof EXIF_ID);
            return;
        }
    }
}

// An iCCP chunk: a name of 1 to 79 bytes and its NUL, compression method 0,
// then the profile as a zlib stream.
static void take_iccp(const unsigned char *s, size_t n, Metadata *m) {
    size_t name = 0;
    while (name < n && name < 80 && s[name] != 0) ++name;
    if (name == 0 || name >= 80 || n - name < 2 || s[name + 1] != 0) return;
    size_t size = 0;
    unsigned char *icc = zlib_inflate(s + name + 2, n - name - 2, ICC_MAX, &size);
    if (icc == NULL) return;
    if (size == 0) {
        free(icc);
        return;
    }
    m->icc = icc;
    m->icc_size = size;
}

// Walks the chunks to IEND. The first iCCP and the first eXIf whose CRC
// matches are taken (an eXIf that begins with "Exif\0\0", as some writers
// leave it, is read past that). A length past the end ends the walk.
static void read_png(const unsigned char *d, size_t n, int want_orientation, int want_blocks,
                     Metadata *m) {
    int iccp_seen = 0;
    int exif_seen = 0;
    PngChunks walk = png_chunks(d, n);
    PngChunk c;
    while (png_chunk_next(&walk, &c)) {
        uint32_t len = c.length;
        if (len > 0x7FFFFFFFu) break;
        const unsigned char *type = c.name;
        const unsigned char *s = c.data;
        if (memcmp(type, "IEND", 4) == 0) break;
        int is_iccp = want_blocks && !iccp_seen && memcmp(type, "iCCP", 4) == 0;
        int is_exif = !exif_seen && memcmp(type, "eXIf", 4) == 0;
        if ((is_iccp || is_exif) && png_crc(0, type, (size_t)len + 4) == load_be32(s + len)) {
            if (is_iccp) {
                iccp_seen = 1;
                take_iccp(s, len, m);
            } else {
                exif_seen = 1;
                size_t skip = len >= sizeof EXIF_ID && memcmp(s, EXIF_ID, sizeof EXIF_ID) == 0
                                  ? sizeof EXIF_ID
                                  : 0;
                take_exif(s + skip, len - skip, want_orientation, want_blocks, m);
            }
        }
    }
}

// Walks a WebP file's chunks after "RIFF", its size and "WEBP". The first
// ICCP chunk is the profile, the first EXIF chunk the Exif block (read past a
// leading "Exif\0\0", which some writers leave). The walk ends at the RIFF
// size or the file's end, whichever comes first, and at a chunk that claims
// more bytes than remain.
static void read_webp(const unsigned char *d, size_t n, int want_orientation, int want_blocks,
                      Metadata *m) {
    size_t riff = load_u32(d + 4, 0);
    size_t end = riff <= n - 8 ? 8 + riff : n;
    int iccp_seen = 0;
    int exif_seen = 0;
    // A RIFF size under 4 ends before the first chunk.
    RiffChunks walk = {d, end, 12};
    RiffChunk c;
    while (riff_chunk_next(&walk, &c)) {
        const unsigned char *s = c.data;
        size_t len = c.length;
        if (!iccp_seen && memcmp(c.type, "ICCP", 4) == 0) {
            iccp_seen = 1;
            if (want_blocks && len > 0 && len <= ICC_MAX) {
                m->icc = copy_block(s, len);
                if (m->icc != NULL) m->icc_size = len;
            }
        } else if (!exif_seen && memcmp(c.type, "EXIF", 4) == 0) {
            exif_seen = 1;
            size_t skip = len >= sizeof EXIF_ID && memcmp(s, EXIF_ID, sizeof EXIF_ID) == 0 ? sizeof EXIF_ID : 0;
            take_exif(s + skip, len - skip, want_orientation, want_blocks, m);
        }
    }
}

void read_metadata(const Input *in, int want_orientation, int want_blocks, Metadata *m) {
    memset(m, 0, sizeof *m);
    m->orientation = 1;
    if (!want_orientation && !want_blocks) return;
    const unsigned char *d = in->data;
    size_t n = in->size;
    if (is_jpeg_file(d, n)) {
        read_jpeg(d, n, want_orientation, want_blocks, m);
    } else if (is_png_file(d, n)) {
        read_png(d, n, want_orientation, want_blocks, m);
    } else if (is_webp_file(d, n)) {
        read_webp(d, n, want_orientation, want_blocks, m);
    }
}

void release_metadata(Metadata *m) {
    free(m->icc);
    free(m->exif);
    memset(m, 0, sizeof *m);
    m->orientation = 1;
}

// ---------------------------------------------------------------------------
// Writing

// The name given to the profile in a PNG's iCCP chunk (the name is only a
// label; the profile inside is the input's, byte for byte).
static const char ICCP_NAME[] = "ICC profile";

int png_with_metadata(const unsigned char *png, size_t len, const Metadata *meta, Sink *sink) {
    // Signature, then IHDR (4 + 4 + 13 + 4 bytes), which comes first.
    const size_t after_ihdr = sizeof PNG_SIGNATURE + 25;
    int has_ihdr = len >= after_ihdr && memcmp(png + 12, "IHDR", 4) == 0;
    if (meta == NULL || !has_ihdr || (meta->icc == NULL && meta->exif == NULL)) {
        sink_write(sink, png, len);
        return 1;
    }
    unsigned char *z = NULL;
    size_t z_n = 0;
    if (meta->icc != NULL) {
        z = zlib_deflate(meta->icc, meta->icc_size, &z_n);
        if (z == NULL) return 0;
    }
    sink_write(sink, png, after_ihdr);
    if (z != NULL) {
        unsigned char head[sizeof ICCP_NAME + 1];
        memcpy(head, ICCP_NAME, sizeof ICCP_NAME);  // with its NUL
        head[sizeof ICCP_NAME] = 0;                 // compression method: zlib
        png_put_chunk(sink, "iCCP", head, sizeof head, z, z_n);
        free(z);
    }
    if (meta->exif != NULL && meta->exif_size <= 0x7FFFFFFFu) {
        png_put_chunk(sink, "eXIf", NULL, 0, meta->exif, meta->exif_size);
    }
    sink_write(sink, png + after_ihdr, len - after_ihdr);
    return 1;
}

static void put_jpeg_segment(Sink *sink, unsigned marker, const unsigned char *id, size_t id_n,
                             const unsigned char *data, size_t n) {
    size_t len = 2 + id_n + n;
    unsigned char b[4] = {0xFF, (unsigned char)marker, (unsigned char)(len >> 8),
                          (unsigned char)len};
    sink_write(sink, b, 4);
    sink_write(sink, id, id_n);
    sink_write(sink, data, n);
}

void write_jpeg_metadata(const Metadata *meta, Sink *sink) {
    if (meta == NULL) return;
    if (meta->exif != NULL && meta->exif_size <= EXIF_JPEG_MAX) {
        put_jpeg_segment(sink, 0xE1, EXIF_ID, sizeof EXIF_ID, meta->exif, meta->exif_size);
    }
    if (meta->icc != NULL && meta->icc_size <= ICC_MAX) {
        size_t count = (meta->icc_size + ICC_CHUNK_MAX - 1) / ICC_CHUNK_MAX;
        for (size_t i = 0; i < count; ++i) {
            size_t at = i * ICC_CHUNK_MAX;
            size_t n = meta->icc_size - at < ICC_CHUNK_MAX ? meta->icc_size - at : ICC_CHUNK_MAX;
            unsigned char id[sizeof ICC_ID + 2];
            memcpy(id, ICC_ID, sizeof ICC_ID);
            id[sizeof ICC_ID] = (unsigned char)(i + 1);
            id[sizeof ICC_ID + 1] = (unsigned char)count;
            put_jpeg_segment(sink, 0xE2, id, sizeof id, meta->icc + at, n);
        }
    }
}

void jpeg_with_metadata(const unsigned char *jpg, size_t len, const Metadata *meta, Sink *sink) {
    // After SOI and, when it follows, the JFIF APP0 segment.
    size_t at = len >= 2 ? 2 : len;
    JpegSegments walk = {jpg, len, 2, JPEG_STRICT};
    JpegSegment app0;
    if (jpeg_segment_next(&walk, &app0) && app0.at == 2 && app0.marker == 0xE0 && app0.len != 0) {
        at = 2 + app0.len;
    }
    sink_write(sink, jpg, at);
    write_jpeg_metadata(meta, sink);
    sink_write(sink, jpg + at, len - at);
}
