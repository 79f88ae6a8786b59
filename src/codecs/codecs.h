// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// What the pipeline asks of the codecs: reading an input, its size, region and
// whole decodes, its metadata, the lossless JPEG cut, and encoding a crop.
#ifndef TRIMLET_CODECS_CODECS_H
#define TRIMLET_CODECS_CODECS_H

#include "base/base.h"
#include "base/sink.h"
#include "meta/meta.h"

enum OutputFormat { FORMAT_PNG, FORMAT_JPEG, FORMAT_BMP, FORMAT_TGA, FORMAT_WEBP, FORMAT_AVIF, FORMAT_GIF };

// The quality JPEG, WebP and AVIF output get when the caller gives none.
static const int JPEG_DEFAULT_QUALITY = 90;
static const int WEBP_DEFAULT_QUALITY = 80;
static const int AVIF_DEFAULT_QUALITY = 50;

// A call's options, checked and with every default filled in.
struct Settings {
    int format;  // an OutputFormat, or -1: by the output path (PNG for memory)
    int quality;                   // JPEG, WebP and AVIF quality, 1..100; 0: the format's default
    unsigned char background[3];   // what alpha is flattened onto
    int lossless;                  // WebP output: lossless WebP; else JPEG coefficients cut
    int orient;                    // TRIMLET_AS_STORED / TRIMLET_APPLY_EXIF
    int metadata;                  // TRIMLET_STRIP / TRIMLET_KEEP
    long long max_pixels;          // refuse inputs of more pixels; 0: no limit but MAX_SIDE
    int position;                  // TRIMLET_CENTRE .. TRIMLET_ATTENTION
    int resize_w, resize_h;        // fit the crop within these (0: that side free)
    int verify;                    // TRIMLET_VERIFY_WHOLE / TRIMLET_VERIFY_REGION
    int effort;                    // 0: each format's 1.2 setting; 1 (fastest) .. 10 (smallest)
    int png_compact;               // 1: PNG in the smallest colour type that holds the crop
    int frames;                    // 0: the first frame; TRIMLET_ALL_FRAMES: every frame
    // 1 for the reentrant interface: messages about files that cannot be
    // opened, read or written name the system's reason (strerror). 0 for the
    // seven, which keep their original texts ("can't fopen", "(check the
    // extension)").
    int system_reasons;
};

// screen.cpp

// 1 when a w x h image is within the size limits: MAX_SIDE a side and, when
// max_pixels > 0, at most max_pixels pixels; else 0 with TRIMLET_ERR_TOO_LARGE
// and "image too large: <w>x<h>" or "image too large: <w>x<h> is more than
// <n> pixels (max_pixels)".
int within_limits(int w, int h, long long max_pixels, Failure *err);

// input.cpp

// ---------------------------------------------------------------------------
// files.cpp

// Reads the file at path whole, after its first bytes show that a decoder
// takes it. On failure: "cannot decode '<path>': <why>", where why is
// "can't fopen" / "can't fread" (or the system's reason when
// system_reasons), "unknown image type", "outofmem" or "file too large"
// (over 2 GiB: a regular file's size says so before anything is read).
// With max_pixels > 0, an image whose header (in the first bytes) gives more
// pixels is refused before the rest is read, as within_limits says.
int read_input_file(const char *path, int system_reasons, long long max_pixels, Input *in,
                    Failure *err);
// Borrows size bytes at data as an input named "<memory>".
void input_from_memory(const void *data, size_t size, long long max_pixels, Input *in);
void release_input(Input *in);

// jpegmend.cpp: a JPEG whose header (the segments before the first scan)
// has bytes between its segments that stb_image refuses (0xFF 0x00, stray
// bytes after the frame header) is replaced by a copy without them, as
// libjpeg skips them; the metadata segment (APP1..APP13, APP15, COM) right
// before such bytes is dropped, its length not to be trusted. Nothing
// changes for any other input, or when the copy cannot be allocated.
// read_input_file does this itself; a borrowed input gets a copy owned by
// in (release_input frees it).
void jpeg_mend_input(Input *in);
// For the lossless cut, which libjpeg-turbo makes only of a file without
// warnings: a mended copy (owned by *copy) of a JPEG with any stray bytes in
// its header, those stb_image reads past too; 0 when there are none.
int jpeg_mend_copy(const Input *in, Input *copy);

// tiff.cpp (libtiff)
#ifdef TRIMLET_USE_LIBTIFF
#define TIFF_READ 1
#else
#define TIFF_READ 0
#endif

// ---------------------------------------------------------------------------
// webp.cpp (libwebp; built without it, WEBP_CODEC has NULL functions and
// webp_encode fails as unavailable)

#ifdef TRIMLET_USE_LIBWEBP
#define WEBP_LIB 1
#else
#define WEBP_LIB 0
#endif

// ---------------------------------------------------------------------------
// jpeg.cpp (libjpeg-turbo; built without it, decode and encode decline every
// image and the lossless functions fail with "options: lossless is not
// available in this build")

#ifdef TRIMLET_USE_LIBJPEG_TURBO
#define JPEG_TURBO 1
#else
#define JPEG_TURBO 0
#endif


// ---------------------------------------------------------------------------
// png.cpp (libspng; built without it, png_decode declines every file)

#ifdef TRIMLET_USE_LIBSPNG
#define PNG_SPNG 1
#else
#define PNG_SPNG 0
#endif

// ---------------------------------------------------------------------------
// heif.cpp (libheif; built without it, HEIF files are refused as unavailable
// and so is AVIF output)

// 1 when the installed libheif decodes HEIC (HEVC) / AVIF (AV1), encodes
// AVIF: asked at run time, since libheif's codecs are its own build choice.
int heic_readable(void);
int avif_readable(void);
int avif_writable(void);

// ---------------------------------------------------------------------------
// gif.cpp (giflib; built without it, GIF animations are read by their first
// frame only, as stb_image reads every GIF, and GIF output is unavailable)

#ifdef TRIMLET_USE_GIFLIB
#define GIF_LIB 1
#else
#define GIF_LIB 0
#endif

// A GIF colour table: up to 256 RGB entries.
struct GifPalette {
    int count;  // 0: none
    unsigned char rgb[256][3];
};

// One GIF frame as the file stores it.
struct GifRaw {
    int x, y, w, h;          // its box on the canvas (clipped to the canvas)
    unsigned char *index;    // w x h palette indexes, rows top-down (deinterlaced)
    GifPalette local;        // its own colour table (count 0: the global one)
    int transparent;         // the transparent index, or -1
    int disposal;            // 0..3 as the graphic control extension gives it
    int delay;               // hundredths of a second
};

struct GifReader;

// The frames of a GIF walked over its blocks without decoding a pixel: the
// canvas size and the number of images. 0 when the data is no GIF or its
// blocks end before the trailer (*count then holds the frames seen).
int gif_scan(const unsigned char *d, size_t len, int *w, int *h, int *count);
// Opens the input for reading frame by frame; NULL with the message set
// ("cannot decode '<name>': <why>", CORRUPT; NO_MEMORY).
GifReader *gif_open(const Input *in, Failure *err);
void gif_canvas(const GifReader *g, int *w, int *h, int *loop);
// The next frame: its stored form in *raw (index owned by the reader, valid
// until the next call) and, with canvas non-NULL (canvas-sized RGBA the
// caller keeps between calls, all zero before the first), the picture as a
// browser shows it: the previous frame disposed of as its disposal says
// (background: transparent), this one drawn over it with its transparent
// pixels left. Returns 1 for a frame, 0 at the end, -1 with the message set.
int gif_next(GifReader *g, GifRaw *raw, Image *canvas, Failure *err);
void gif_close(GifReader *g);

struct GifWriter;

// Starts a GIF89a of w x h in sink with the global table, background index
// and extensions of the reader's file (the loop count among them).
GifWriter *gif_writer_open(const GifReader *from, int w, int h, Sink *sink, Failure *err);
// Writes the part of raw inside box (canvas coordinates) as a frame of the
// output, whose top-left is box's; a frame wholly outside becomes one
// transparent pixel that keeps its delay.
int gif_writer_frame(GifWriter *wr, const GifRaw *raw, Rect box, Failure *err);
// Ends the file (ok 1) or only frees (ok 0). 0 when the end cannot be written.
int gif_writer_close(GifWriter *wr, int ok, Failure *err);

// ---------------------------------------------------------------------------
// webpanim.cpp (libwebp's demux and animation encoder)

struct WebpAnimReader;
struct WebpAnimWriter;

// The frame count of a WebP file (its animation's frames, 1 for a still)
// and its canvas size, from its chunks; 0 when it is no WebP that libwebp's
// demuxer takes (or built without it).
int webp_frames(const Input *in, int *w, int *h);
// Opens an animated WebP; NULL with the message set.
WebpAnimReader *webp_anim_open(const Input *in, int *w, int *h, int *loop, Failure *err);
// The next composited canvas (RGBA, owned by the reader, valid until the
// next call) and its duration in milliseconds: 1, 0 at the end, -1 on error.
int webp_anim_next(WebpAnimReader *r, Image *canvas, int *duration_ms, Failure *err);
void webp_anim_close(WebpAnimReader *r);
// An animated WebP of w x h frames, lossy at quality or lossless, looping
// loop times (0: for ever).
WebpAnimWriter *webp_anim_writer_open(int w, int h, int loop, int quality, int lossless, Failure *err);
// Adds one frame (RGBA, w x h, tightly packed) shown for duration_ms. The
// frame's pixels are turned into libwebp's ARGB words in place (no copy):
// the caller frees them afterwards and reads them no more.
int webp_anim_add(WebpAnimWriter *wr, Image *frame, int duration_ms, Failure *err);
// Assembles the file into sink (ok 1) or only frees (ok 0).
int webp_anim_writer_close(WebpAnimWriter *wr, int ok, Sink *sink, const char *name, Failure *err);

// ---------------------------------------------------------------------------
// decode.cpp: the reader, the one seam between the pipeline and the codecs
//
// A call finds its input's codec by the first bytes, opens the input once
// (the header, the limits, whatever container the codec's library parses)
// and asks that reader everything after: the size, the metadata, what it
// can decode (its capabilities), the pixels, a lossless cut. The pipeline
// asks capabilities, never a codec by name.

// What a reader can do for its input.
enum ReaderCaps {
    READ_REGION = 1,    // decodes a rectangle without the whole image's block
    READ_SCALE = 2,     // decodes at 1/2, 1/4 or 1/8 of the size (reader_decode_scaled)
    READ_LOSSLESS = 4,  // cuts a rectangle without decoding (reader_snap, reader_cut)
};

struct Codec;

// One input opened by its codec: what every stage of a call asks.
struct Reader {
    const Codec *codec;  // the input's codec: never NULL after reader_find
    const Input *in;
    int w, h;            // the size the header gives (0x0: it gives none), once opened
    int caps;            // ReaderCaps
    int opened;          // 1 after reader_open succeeded
    void *state;         // the codec's own, until reader_close
};

// Finds the input's codec by its first bytes; nothing is parsed yet, and
// caps holds what the codec offers any input it opens.
void reader_find(const Input *in, Reader *r);
// Opens the input: its header and size (refused above the limits, as
// within_limits says, before any pixel is decoded), and whatever the codec
// keeps for the stages after. 0 with the message set ("cannot decode
// '<name>': <why>", "image too large: ..."). Opens once: a second call
// returns 1 at once.
int reader_open(Reader *r, Failure *err);
// The input's format as trimlet_result.input_format names it ("jpeg", "png",
// "gif", "webp", "tiff", "heic", "avif", "heif", "bmp", "psd", "pic", "hdr",
// "tga", "pnm"): a static string, or NULL when no decoder takes the input.
const char *input_format_name(const Input *in);
// Decodes the whole image (region NULL) or only *region of it into *out,
// opening the reader first if it is not open. Where the reader cannot
// decode a region (READ_REGION) the whole is decoded and the region copied
// out. The verdict on the file is that of a whole decode (damage outside
// the region fails) unless the input asks for the region's verdict. On
// failure *out is {0, 0, NULL} and the message is "cannot decode '<name>':
// <why>", "image too large: <w>x<h>" or "out of memory for <w>x<h> crop".
int reader_decode(Reader *r, const Rect *region, Image *out, Failure *err);
// The open reader's image at 1/denom of the size (READ_SCALE; denom 2, 4 or
// 8), all of it (region NULL) or the rectangle *region of the scaled image:
// ceil(w / denom) x ceil(h / denom). 1, or 0 when the reader cannot or the
// decoder declines the file (the caller then goes on without: no message).
int reader_decode_scaled(Reader *r, const Rect *region, int denom, Image *out);
// The photo metadata of the input; never fails (what is not found is not
// there).
void reader_metadata(Reader *r, int want_orientation, int want_blocks, Metadata *m);
// READ_LOSSLESS: the rectangle a lossless cut of box gives, box and the
// result in the upright image of the orientation (1..8; 1: as stored): the
// top-left corner moved up and left onto the block grid the turned file
// allows, the bottom-right corner kept. Fails with "lossless: cannot cut
// '<name>': <why>" when the header cannot be read or its subsampling is
// unusual, and with TRIMLET_ERR_UNSUPPORTED "lossless: cannot turn '<name>'
// exactly: ..." when box reaches into partial blocks a turn cannot keep.
int reader_snap(Reader *r, Rect box, int orientation, Rect *snapped, Failure *err);
// READ_LOSSLESS: cuts box (snapped as reader_snap does) out of the input
// without decoding it, turned upright by the orientation, into sink, with
// the input's other metadata copied when keep_metadata (the Exif
// Orientation then made 1 when the cut turned). With sink NULL nothing is
// written but the file is read and checked as for a cut. Corrupt data fails
// the cut: "lossless: cannot cut '<name>': <the decoder's reason>"; a sink
// that fails fails the cut.
int reader_cut(Reader *r, Rect box, int orientation, int keep_metadata, Sink *sink, Failure *err);
// Releases what the codec kept; the reader may be closed more than once.
// The input's bytes stay the caller's.
void reader_close(Reader *r);

// ---------------------------------------------------------------------------
// encode.cpp: one table of the formats trimlet writes (PNG, JPEG, BMP, TGA,
// WebP, AVIF, and GIF, which the animation path writes frame by frame), that
// every question below reads.

// The format the text after the last dot of path selects as the seven choose
// it: JPEG, BMP or TGA by their extensions, PNG for any other.
int format_for_path(const char *path);
// The format the text after the last dot of path names; -1 for any other
// extension, or none (the reentrant interface refuses those).
int format_for_extension(const char *path);
// The format of a name options->format or an extension takes ("png", "jpg",
// "jpeg", "bmp", "tga", "webp", "avif", "gif") in any ASCII case; -1
// otherwise.
int format_from_name(const char *name);
// The format's name as trimlet_result.output_format gives it ("png", "jpeg",
// ...), a static string; NULL for a number that names no format.
const char *format_name(int format);
// 1 when this build writes the format (WebP needs libwebp, GIF giflib; AVIF
// an AV1 encoder in the libheif loaded, asked at the call), else 0.
int format_available(int format);
// The format whose writing the trimlet_has feature answers for ("webp",
// "avif-write", "gif"); -1 for any other name.
int format_of_feature(const char *feature);

// Encodes img in format into sink with the settings' quality and background
// and the metadata meta (NULL: none). Fails with "out of memory" (flattening)
// or, when the encoder fails, "cannot encode '<name>' (check the extension)"
// for the seven and "cannot encode '<name>': out of memory" otherwise (WebP
// and AVIF: their own reasons). When the sink fails it returns 0 with no
// message, sink->failed telling why: that failure is for sink_finish /
// finish_replace to report. PNG output spends img's pixels (png_write);
// other formats only read them. GIF is not written here (frames.cpp).
int encode_image(Image *img, int format, const Settings *set, const Metadata *meta,
                 Sink *sink, const char *name, Failure *err);

#endif
