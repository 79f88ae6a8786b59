// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// What the codec files share among themselves and nobody above them: the
// screening, the codec record, and each library's decode and encode.
#ifndef TRIMLET_CODECS_PARTS_H
#define TRIMLET_CODECS_PARTS_H

#include "codecs/codecs.h"
#include "base/signatures.h"

// ---------------------------------------------------------------------------
// screen.cpp

// Reasons to refuse a file before decoding, found in its structure alone
// (*status: their class); NULL when there is none.
const char *screen_structure(const unsigned char *d, size_t len, int *status);
// A PNG's chunks walked as the decoder walks them: unknown (filled with the
// type, printable) when it holds an unknown critical chunk before IEND,
// "outofdata" (damage) when a chunk header lies past the end, else NULL. Run before
// any stb_image parser sees the file (see screen.cpp for why).
const char *screen_png_chunks(const unsigned char *d, size_t len, char unknown[5]);
// The size the file's header gives, as the decoder stb_image picks reads it;
// 0 when it gives none. h is the absolute height (a top-down BMP's is
// negative in the header).
int header_size(const unsigned char *d, size_t len, int *w, int *h);
// Reasons to refuse a file of w x h pixels (its header's word) before
// decoding (damage, TRIMLET_ERR_CORRUPT): data that cannot hold its pixels,
// a Radiance run that never ends.
const char *screen_pixels(const unsigned char *d, size_t len, int w, int h);

// ---------------------------------------------------------------------------
// screen.cpp, continued

// The screening of a file stb_image or a fast path in front of it reads:
// its structure, then the size its header gives (refused above the limits
// before anything is allocated) and whether its data can hold that many
// pixels. 1 with the header's size in *w, *h (0 when it gives none), or 0
// with the message set.
int screen_input(const Input *in, int *w, int *h, Failure *err);

// ---------------------------------------------------------------------------
// The codec record: one for every input format (listed in decode.cpp, one
// file each). Built without its library, a codec keeps its name and
// signature and has a NULL open: its files are refused as
// TRIMLET_ERR_UNAVAILABLE.

// What a codec's decode returns besides 1 (done) and 0 (failed, message
// set): the file is one this codec's faster path does not take, and
// stb_image's codec (the table's last) decodes it, its verdict standing.
static const int DECODE_DECLINED = -1;
// Or: memory ran out in a faster path (no message: the reader words it, for
// the whole image or the region); stb_image would need as much again.
static const int DECODE_NO_MEMORY = -2;

struct Codec {
    const char *name;  // "webp", ...: in messages
    // Whether the first n bytes at d are this codec's (is_webp_file, ...).
    int (*sniff)(const unsigned char *d, size_t n);
    int caps;  // the ReaderCaps it offers every input (open may take some away)
    // Reads the header: r->w, r->h (as a viewer shows the image where the
    // format always turns it) and whatever the later stages need, kept in
    // r->state. 0 with the message set (CORRUPT, UNSUPPORTED, ...). The
    // caller checks the size against the limits.
    int (*open)(Reader *r, Failure *err);
    // Decodes the whole image (region NULL) or *region of it (inside the
    // image; only with READ_REGION) at 1/denom of the size (1; 2, 4, 8 only
    // with READ_SCALE) into a block of its own size: 1, 0 with the message
    // set, DECODE_DECLINED or DECODE_NO_MEMORY (no message). The verdict is that of a whole
    // decode where the format allows: data damaged outside the region fails.
    int (*decode)(Reader *r, const Rect *region, int denom, Image *out, Failure *err);
    // The photo metadata; NULL: read_metadata's (none for formats it does
    // not know).
    void (*metadata)(Reader *r, int want_orientation, int want_blocks, Metadata *m);
    // READ_LOSSLESS: as reader_snap and reader_cut say.
    int (*snap)(Reader *r, Rect box, int orientation, Rect *snapped, Failure *err);
    int (*cut)(Reader *r, Rect box, int orientation, int keep_metadata, Sink *sink, Failure *err);
    // Frees r->state (may be NULL: nothing kept).
    void (*close)(Reader *r);
};

extern const Codec JPEG_CODEC;  // jpeg.cpp: libjpeg-turbo, declining to stb_image

// jpegcut.cpp: the JPEG codec's lossless cut (its snap, cut and close).
int jpeg_cut_snap(Reader *r, Rect box, int orientation, Rect *snapped, Failure *err);
int jpeg_cut_apply(Reader *r, Rect box, int orientation, int keep_metadata, Sink *sink, Failure *err);
void jpeg_cut_close(Reader *r);
extern const Codec PNG_CODEC;   // png.cpp: libspng, declining to stb_image
extern const Codec STB_CODEC;   // stbcodec.cpp: every other format stb_image and this library read
extern const Codec TIFF_CODEC;  // tiff.cpp: libtiff

// webp.cpp

extern const Codec WEBP_CODEC;

// The largest width or height a WebP file holds.
static const int WEBP_MAX_SIDE = 16383;

// Encodes img as WebP into sink: lossy at quality (1..100) with its alpha,
// or lossless with every pixel exact, the colour under transparent pixels
// included; meta (NULL: none) adds its ICC profile and Exif block (VP8X with
// ICCP and EXIF chunks). Fails with TRIMLET_ERR_TOO_LARGE "cannot encode
// '<name>': WebP holds at most 16383 pixels a side", "cannot encode '<name>':
// out of memory" or the encoder's reason. A failed sink ends it with 0 and
// no message: that failure is the sink owner's to report (sink_finish /
// finish_replace). effort 1..10 picks the method as trimlet.h names it (0:
// libwebp's default, 4).
int webp_encode(const Image *img, int quality, int lossless, int effort, const Metadata *meta, Sink *sink,
                const char *name, Failure *err);
// The encoder's method (0..6) for an effort (0: libwebp's default, 4).
int webp_method(int effort);

// jpeg.cpp: decoding and encoding by libjpeg-turbo

// Encodes img as a baseline JPEG of the given quality (1..100) into sink,
// chroma subsampled 2x2 up to quality 90 and not above, alpha flattened onto
// bg a row at a time; meta (NULL: none) adds its Exif block and ICC profile
// after SOI and JFIF's APP0, as write_jpeg_metadata writes them. Returns 0
// when out of memory, libjpeg fails or the sink fails (a failing sink stops
// the encoding early; that failure is for sink_finish / finish_replace to
// report).
int jpeg_encode(const Image *img, int quality, const unsigned char bg[3], const Metadata *meta,
                Sink *sink);

// png.cpp

// Decodes a PNG input to RGBA exactly as stb_image does: the whole image
// (region NULL) or only the rectangle *region of it (inside the image) into
// an r.w x r.h block. A non-interlaced image is decoded row by row and its
// whole block is never allocated; an interlaced one is decoded whole in the
// file's own format first. The image data is inflated to its end either way
// (unless the input asks for the region's verdict), so damage outside the
// region still fails. Returns 1; DECODE_DECLINED when this path does not
// take the file (not a PNG, chunks stb_image reads its own way, a stream
// the library's inflater refuses and libspng fails on, or built without
// libspng): stb_image then decodes it, its verdict
// and message standing; or DECODE_NO_MEMORY. why (may be NULL) gets a short reason for debugging; it is never
// shown to a host.
int png_decode(const Input *in, const Rect *region, Image *out, const char **why);

// The Paeth predictor of PNG's filter type 4 (the left, upper and upper left
// bytes), shared by the reader's unfiltering and the writer's filtering.
static inline unsigned char png_paeth(int a, int b, int c) {
    int pa = b > c ? b - c : c - b, pb = a > c ? a - c : c - a, pc = a + b - 2 * c;
    if (pc < 0) pc = -pc;
    return (unsigned char)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// ---------------------------------------------------------------------------
// pngform.cpp

// The most colours a PNG palette holds.
static const int PNG_PALETTE_MAX = 256;

// The PNG form a picture is written in with png_compact.
struct PngForm {
    int color;  // PNG colour type: 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    int depth;  // bits a sample: 8, or 1, 2, 4 or 8 for a palette
    int colours, trns;  // palette: its entries, and how many lead with alpha < 255
    unsigned char palette[PNG_PALETTE_MAX][4];  // RGBA
    // The colour table png_form_pack looks the indexes up in.
    uint32_t key[2 * PNG_PALETTE_MAX];
    unsigned char used[2 * PNG_PALETTE_MAX], index[2 * PNG_PALETTE_MAX];
};

// Chooses the smallest form that holds img's RGBA exactly, in one pass that
// stops once the answer is 8-bit RGBA: a palette (1, 2, 4 or 8 bits) for at
// most 256 colours and at least 4 pixels a colour (but opaque grey of more
// than 16 levels, which is grey);
// else grey, grey and alpha, RGB or RGBA, by whether every pixel has
// R = G = B and whether every alpha is 255.
void png_form(const Image *img, PngForm *f);
// Samples a pixel has in the form (1 for a palette index).
int png_form_channels(const PngForm *f);
// Bytes of one packed row of w pixels (without the filter byte).
size_t png_form_row_bytes(const PngForm *f, int w);
// Packs img's rows into the form in img's own block, row y then starting at
// y * png_form_row_bytes; the RGBA is spent.
void png_form_pack(Image *img, const PngForm *f);

// ---------------------------------------------------------------------------
// pngwrite.cpp

// Writes img as an 8-bit RGBA PNG to sink, with meta's ICC profile (iCCP)
// and Exif block (eXIf) after IHDR (meta NULL: none). The rows are filtered
// in img's own block, so the pixels are spent: afterwards img->px is still
// a block for its holder to free (perhaps moved and a little longer), with
// nothing of the picture to read in it. Returns 0, having written nothing,
// when memory runs out, and 0 when the sink failed (a failure for
// sink_finish / finish_replace to report).
// effort (0..10, as trimlet_options.effort) picks the filters and the
// deflate level; compact writes the form png_form chooses instead of RGBA.
int png_write(Image *img, const Metadata *meta, int effort, int compact, Sink *sink);

// heif.cpp

extern const Codec HEIF_CODEC;
// Encodes img as AVIF of the given quality (1..100) into sink, keeping alpha
// (an opaque crop has no alpha plane), with meta's ICC profile and Exif
// block (meta NULL: none). Fails with TRIMLET_ERR_UNAVAILABLE when there is
// no AV1 encoder, else "cannot encode '<name>': <libheif's reason>". A
// failed sink ends it with 0 and no message, for sink_finish /
// finish_replace to report. effort 1..10 sets aom's speed to 10 - effort
// (0: AVIF_SPEED).
int avif_encode(const Image *img, int quality, int effort, const Metadata *meta, Sink *sink, const char *name,
                Failure *err);

#endif
