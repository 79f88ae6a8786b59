// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// TIFF input through libtiff: the first page's size from its header, its
// pixels read strip by strip or tile by tile (only those that meet a
// region) and converted here to 8-bit RGBA, and its photo metadata (the ICC
// profile, the Exif IFD rebuilt as an Exif block, the Orientation tag).
//
// The file is opened once for the reader (tifffile.cpp) and its layout read
// (tifflayout.cpp) before the pixels.
//
// The pixels are converted here rather than by libtiff's RGBA interface,
// which premultiplies unassociated alpha, applies the Orientation tag and
// returns rows bottom-up. 16-bit samples are taken by their high byte, as
// PNG and PNM are; associated alpha is un-premultiplied; CMYK becomes RGB as
// R = (255 - C) * (255 - K) / 255 (and so on), rounded to nearest. Only
// old-style JPEG (compression 6), whose subsampled YCbCr nothing else here
// turns into RGB, is read through the RGBA interface (read_rgba).

#include "codecs/tiffparts.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBTIFF

// Opens the input for the reader and reads its size; the file stays open
// in r->state for the decode.
static int tiff_reader_open(Reader *r, Failure *err) {
    TiffFile *f = (TiffFile *)malloc(sizeof(TiffFile));
    if (f == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': outofmem", r->in->name);
    r->state = f;
    if (!tiff_open(r->in, f, err)) return 0;
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(f->tif, TIFFTAG_IMAGEWIDTH, &tw) || !TIFFGetField(f->tif, TIFFTAG_IMAGELENGTH, &th)) {
        return tiff_fail(f, "no image width or length", err);
    }
    // Above INT_MAX the limits refuse it as it stands.
    r->w = tw > (uint32_t)INT32_MAX ? INT32_MAX : (int)tw;
    r->h = th > (uint32_t)INT32_MAX ? INT32_MAX : (int)th;
    return 1;
}

static void tiff_reader_close(Reader *r) {
    TiffFile *f = (TiffFile *)r->state;
    if (f != NULL) tiff_close_file(f);
    free(f);
    r->state = NULL;
}

// ---------------------------------------------------------------------------
// Converting samples

// Sample i of a row of bits-bit samples, scaled to 0..255 (16-bit by its
// high byte; libtiff gives 16-bit samples in the machine's byte order).
static inline unsigned sample8(const unsigned char *row, size_t i, int bits) {
    switch (bits) {
    case 8: return row[i];
    case 16: {
        uint16_t v;
        memcpy(&v, row + i * 2, 2);
        return v >> 8;
    }
    default: {
        size_t bit = i * (size_t)bits;
        unsigned mask = (1u << bits) - 1;
        unsigned v = (row[bit >> 3] >> (8 - bits - (int)(bit & 7))) & mask;
        return v * 255 / mask;
    }
    }
}

// A palette index: the raw sample.
static inline unsigned sample_raw(const unsigned char *row, size_t i, int bits) {
    if (bits == 8) return row[i];
    size_t bit = i * (size_t)bits;
    return (row[bit >> 3] >> (8 - bits - (int)(bit & 7))) & ((1u << bits) - 1);
}

static inline unsigned char mul255(unsigned a, unsigned b) { return (unsigned char)((a * b + 127) / 255); }

// Converts n pixels into RGBA. planes[p] is the row of plane p (one plane
// holding every sample when contiguous) and x0 the row's first pixel to take.
static void convert_row(const Layout *l, const unsigned char *const *planes, size_t x0, int n,
                        unsigned char *out) {
    for (int i = 0; i < n; ++i, out += 4) {
        size_t x = x0 + (size_t)i;
        unsigned v[5];
        int count = l->alpha >= 0 ? l->colours + 1 : l->colours;
        for (int c = 0; c < count; ++c) {
            int s = c < l->colours ? c : l->alpha;
            const unsigned char *row = l->separate ? planes[s] : planes[0];
            size_t at = l->separate ? x : x * (size_t)l->spp + (size_t)s;
            v[c] = l->colour == PALETTE && c == 0 ? sample_raw(row, at, l->bits) : sample8(row, at, l->bits);
            if (l->signed_samples) v[c] ^= 0x80;  // two's complement high byte, offset
        }
        unsigned a = l->alpha >= 0 ? v[l->colours] : 255;
        switch (l->colour) {
        case GREY:
            out[0] = out[1] = out[2] = (unsigned char)(l->white_is_zero ? 255 - v[0] : v[0]);
            break;
        case RGB:
            out[0] = (unsigned char)v[0];
            out[1] = (unsigned char)v[1];
            out[2] = (unsigned char)v[2];
            break;
        case PALETTE:
            for (int c = 0; c < 3; ++c) {
                unsigned e = l->map[c][v[0]];
                out[c] = (unsigned char)(l->map_8bit ? e : e >> 8);
            }
            break;
        case CMYK:
            for (int c = 0; c < 3; ++c) out[c] = mul255(255 - v[c], 255 - v[3]);
            break;
        case LAB: {  // L 0..255, a and b signed (their high byte at 16 bits)
            float X, Y, Z;
            uint32_t r, g, b;
            TIFFCIELabToXYZ(l->lab, v[0], (int8_t)v[1], (int8_t)v[2], &X, &Y, &Z);
            TIFFXYZToRGB(l->lab, X, Y, Z, &r, &g, &b);
            out[0] = (unsigned char)r;
            out[1] = (unsigned char)g;
            out[2] = (unsigned char)b;
            break;
        }
        }
        if (l->premultiplied && a < 255) {
            for (int c = 0; c < 3; ++c) {
                unsigned u = a == 0 ? 0 : (out[c] * 255u + a / 2) / a;
                out[c] = (unsigned char)(u > 255 ? 255 : u);
            }
        }
        out[3] = (unsigned char)a;
    }
}

// ---------------------------------------------------------------------------
// Reading strips and tiles

// The largest decoded strip or tile read: what the image itself holds, but
// at least a 1024 x 1024 tile of it, so that a small image in one large tile
// still reads and a tile that claims far more than its image is refused.
static uint64_t block_limit(const Layout *l) {
    uint64_t per_pixel = ((uint64_t)l->spp * (uint64_t)l->bits + 7) / 8;
    uint64_t image = ((uint64_t)l->w * (uint64_t)l->spp * (uint64_t)l->bits + 7) / 8 * l->h;
    uint64_t floor = 1024 * 1024 * per_pixel;
    return image > floor ? image : floor;
}

// The strips or tiles a rectangle meets: columns bx0..bx1, rows by0..by1.
struct Blocks {
    uint32_t bx0, bx1, by0, by1;
    uint32_t count;      // strips or tiles in the file
    uint32_t per_plane;  // strips of one plane
    int planes;
};

static Blocks blocks_of(TIFF *tif, const Layout *l, Rect r) {
    Blocks b;
    b.bx0 = (uint32_t)r.x / l->block_w;
    b.bx1 = ((uint32_t)r.x + (uint32_t)r.w - 1) / l->block_w;
    b.by0 = (uint32_t)r.y / l->block_h;
    b.by1 = ((uint32_t)r.y + (uint32_t)r.h - 1) / l->block_h;
    b.count = l->tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    b.per_plane = l->h / l->block_h + (l->h % l->block_h != 0);
    b.planes = l->separate ? l->spp : 1;
    return b;
}

// The number of the strip or tile at block column bx, row by, plane p.
static uint32_t block_index(TIFF *tif, const Layout *l, const Blocks *b, uint32_t bx, uint32_t by, int p) {
    if (l->tiled) return TIFFComputeTile(tif, bx * l->block_w, by * l->block_h, 0, (uint16_t)p);
    return by + (uint32_t)p * b->per_plane;
}

// Checks, before anything is allocated for the pixels, that every strip or
// tile the rectangle needs has data inside the file.
static int blocks_in_file(TiffFile *f, const Layout *l, Rect r, Failure *err) {
    Blocks b = blocks_of(f->tif, l, r);
    if (b.planes > 64) return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "more than 64 planes are not supported", err);
    for (uint32_t by = b.by0; by <= b.by1; ++by) {
        for (uint32_t bx = b.bx0; bx <= b.bx1; ++bx) {
            for (int p = 0; p < b.planes; ++p) {
                uint32_t index = block_index(f->tif, l, &b, bx, by, p);
                int bad = 0;
                uint64_t off = index < b.count ? TIFFGetStrileOffsetWithErr(f->tif, index, &bad) : 0;
                uint64_t n = index < b.count && !bad ? TIFFGetStrileByteCountWithErr(f->tif, index, &bad) : 0;
                if (index >= b.count || bad || n == 0 || off > f->in->size || n > f->in->size - off) {
                    char why[96];
                    snprintf(why, sizeof why, "%s %u lies outside the file", l->tiled ? "tile" : "strip", index);
                    return tiff_refuse(f, TRIMLET_ERR_CORRUPT, why, err);
                }
            }
        }
    }
    return 1;
}

// Decodes the rectangle r (inside the image, its blocks checked by
// blocks_in_file) into out (r.w x r.h RGBA), reading only the strips or
// tiles that meet it. Closes the file.
static int read_pixels(TiffFile *f, const Layout *l, Rect r, unsigned char *out, Failure *err) {
    TIFF *tif = f->tif;
    Blocks b = blocks_of(tif, l, r);
    uint64_t block64 = l->tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    uint64_t row64 = l->tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif);
    if (block64 == 0 || row64 == 0) return tiff_fail(f, "strips or tiles of no size", err);
    // A block holds block_h rows of row64 bytes each (per plane).
    if (row64 * l->block_h > block64 || block64 > (uint64_t)SIZE_MAX / (uint64_t)b.planes) {
        return tiff_fail(f, "strip or tile size does not match its rows", err);
    }
    size_t block = (size_t)block64;
    unsigned char *buf = (unsigned char *)malloc(block * (size_t)b.planes);
    if (buf == NULL) return tiff_refuse(f, TRIMLET_ERR_NO_MEMORY, "outofmem", err);
    const unsigned char *rows[64];  // a plane's row (blocks_in_file allows at most 64 planes)
    for (uint32_t by = b.by0; by <= b.by1; ++by) {
        for (uint32_t bx = b.bx0; bx <= b.bx1; ++bx) {
            uint32_t px = bx * l->block_w, py = by * l->block_h;  // the block's top-left pixel
            for (int p = 0; p < b.planes; ++p) {
                uint32_t index = block_index(tif, l, &b, bx, by, p);
                unsigned char *dst = buf + (size_t)p * block;
                // libtiff's JPEG codec decodes a JPEG smaller than its strip
                // with a warning, counts the strip as whole and leaves the
                // rest unwritten: that part is black, never what the buffer
                // held before.
                memset(dst, 0, block);
                tmsize_t got = l->tiled ? TIFFReadEncodedTile(tif, index, dst, (tmsize_t)block)
                                        : TIFFReadEncodedStrip(tif, index, dst, (tmsize_t)block);
                // A strip's last rows may be left out at the image's end.
                uint32_t rows_here = l->tiled ? l->block_h : (l->h - py < l->block_h ? l->h - py : l->block_h);
                if (got < 0 || (uint64_t)got < row64 * rows_here) {
                    free(buf);
                    return tiff_fail(f, "strip or tile data too short", err);
                }
            }
            // The part of the block inside r, row by row.
            uint32_t x0 = px > (uint32_t)r.x ? px : (uint32_t)r.x;
            uint32_t x1 = px + l->block_w < (uint32_t)(r.x + r.w) ? px + l->block_w : (uint32_t)(r.x + r.w);
            uint32_t y0 = py > (uint32_t)r.y ? py : (uint32_t)r.y;
            uint32_t y1 = py + l->block_h < (uint32_t)(r.y + r.h) ? py + l->block_h : (uint32_t)(r.y + r.h);
            for (uint32_t y = y0; y < y1; ++y) {
                for (int p = 0; p < b.planes; ++p) rows[p] = buf + (size_t)p * block + (size_t)(y - py) * (size_t)row64;
                unsigned char *o = out + ((size_t)(y - (uint32_t)r.y) * (size_t)r.w + (x0 - (uint32_t)r.x)) * 4;
                convert_row(l, rows, x0 - px, (int)(x1 - x0), o);
            }
        }
    }
    free(buf);
    tiff_close_file(f);
    return 1;
}

// Decodes the rectangle r as read_pixels does, through libtiff's RGBA
// interface: a strip or tile at a time, whole, its rows asked for top-down as
// stored (the Orientation tag is applied by the caller). Closes the file.
static int read_rgba(TiffFile *f, const Layout *l, Rect r, unsigned char *out, Failure *err) {
    TIFFRGBAImage img;
    char why[1024];
    if (!TIFFRGBAImageBegin(&img, f->tif, 1, why)) return tiff_fail(f, why, err);
    img.orientation = ORIENTATION_TOPLEFT;
    img.req_orientation = ORIENTATION_TOPLEFT;
    uint32_t *buf = (uint32_t *)malloc((size_t)l->block_w * l->block_h * 4);
    if (buf == NULL) {
        TIFFRGBAImageEnd(&img);
        return tiff_refuse(f, TRIMLET_ERR_NO_MEMORY, "outofmem", err);
    }
    Blocks b = blocks_of(f->tif, l, r);
    int ok = 1;
    for (uint32_t by = b.by0; by <= b.by1 && ok; ++by) {
        for (uint32_t bx = b.bx0; bx <= b.bx1 && ok; ++bx) {
            uint32_t px = bx * l->block_w, py = by * l->block_h;
            uint32_t bw = l->w - px < l->block_w ? l->w - px : l->block_w;
            uint32_t bh = l->h - py < l->block_h ? l->h - py : l->block_h;
            img.col_offset = (int)px;
            img.row_offset = (int)py;
            if (!TIFFRGBAImageGet(&img, buf, bw, bh)) {
                ok = 0;
                break;
            }
            uint32_t x0 = px > (uint32_t)r.x ? px : (uint32_t)r.x;
            uint32_t x1 = px + bw < (uint32_t)(r.x + r.w) ? px + bw : (uint32_t)(r.x + r.w);
            uint32_t y0 = py > (uint32_t)r.y ? py : (uint32_t)r.y;
            uint32_t y1 = py + bh < (uint32_t)(r.y + r.h) ? py + bh : (uint32_t)(r.y + r.h);
            for (uint32_t y = y0; y < y1; ++y) {
                const uint32_t *s = buf + (size_t)(y - py) * bw + (x0 - px);
                unsigned char *o = out + ((size_t)(y - (uint32_t)r.y) * (size_t)r.w + (x0 - (uint32_t)r.x)) * 4;
                for (uint32_t x = x0; x < x1; ++x, ++s, o += 4) {
                    o[0] = (unsigned char)TIFFGetR(*s);
                    o[1] = (unsigned char)TIFFGetG(*s);
                    o[2] = (unsigned char)TIFFGetB(*s);
                    o[3] = (unsigned char)TIFFGetA(*s);
                }
            }
        }
    }
    free(buf);
    TIFFRGBAImageEnd(&img);
    if (!ok) return tiff_fail(f, "strip or tile data too short", err);
    tiff_close_file(f);
    return 1;
}

static int tiff_decode(Reader *rd, const Rect *region, int denom, Image *out, Failure *err) {
    (void)denom;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    TiffFile *f = (TiffFile *)rd->state;
    Layout l;
    if (!read_layout(f, &l, err)) return 0;
    Rect r = region != NULL ? *region : Rect{0, 0, (int)l.w, (int)l.h};
    if (r.w <= 0 || r.h <= 0) {
        tiff_close_file(f);
        out->w = r.w > 0 ? r.w : 0;
        out->h = r.h > 0 ? r.h : 0;
        out->px = (unsigned char *)malloc(1);
        if (out->px == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
        return 1;
    }
    uint64_t block = l.tiled ? TIFFTileSize64(f->tif) : TIFFStripSize64(f->tif);
    if (block > block_limit(&l)) {
        char why[128];
        snprintf(why, sizeof why, "a %s of %llu bytes is larger than the image", l.tiled ? "tile" : "strip",
                 (unsigned long long)block);
        return tiff_refuse(f, TRIMLET_ERR_CORRUPT, why, err);
    }
    if (!blocks_in_file(f, &l, r, err)) return 0;
    unsigned char *px = (unsigned char *)pixels_malloc((size_t)r.w, (size_t)r.h);
    if (px == NULL) {
        tiff_close_file(f);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory for %dx%d crop", r.w, r.h);
    }
    if (!(l.rgba ? read_rgba(f, &l, r, px, err) : read_pixels(f, &l, r, px, err))) {
        free(px);
        return 0;
    }
    out->w = r.w;
    out->h = r.h;
    out->px = px;
    return 1;
}

static void tiff_metadata(Reader *r, int want_orientation, int want_blocks, Metadata *m) {
    read_tiff_metadata(r->in->data, r->in->size, want_orientation, want_blocks, m);
}

// Every TIFF decodes only the strips or tiles that meet the region.
const Codec TIFF_CODEC = {"tiff",        is_tiff_file,  READ_REGION, tiff_reader_open, tiff_decode,
                          tiff_metadata, NULL,          NULL,        tiff_reader_close};

#else

const Codec TIFF_CODEC = {"tiff", is_tiff_file, 0, NULL, NULL, NULL, NULL, NULL, NULL};

#endif
