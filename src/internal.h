// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The records and stage functions the library's files share. Nothing here is
// exported: the public interface is include/trimlet.h alone.
//
// Stages, in pipeline order, one file each:
//   error.cpp   failures: a class and a one-line message (and the seven's buffer)
//   memory.cpp  large blocks, on huge pages where the system offers them
//   sink.cpp    byte sinks: a file or a growing memory block
//   pixels.cpp  pixel blocks: copying a rectangle, flattening alpha
//   zlib.cpp    deflate (libdeflate, or stb_image_write's compressor)
//   files.cpp   reading input files, replacing output files safely
//   stb.cpp     stb_image compiled in, and the wrappers of its private parsers
//   screen.cpp  refusing hostile files from their structure, before decoding
//   decode.cpp  an input's bytes to RGBA (stb_image; jpeg.cpp for JPEG)
//   jpeg.cpp    JPEG through libjpeg-turbo: region decode, encode, lossless cut
//   png.cpp     PNG through libspng: whole or row-by-row region decode
//   pngwrite.cpp PNG output: one filter by trial, deflated in one piece
//   webp.cpp    WebP through libwebp: header, region decode, encode with metadata
//   tiff.cpp    TIFF through libtiff: strips and tiles to RGBA, metadata
//   heif.cpp    HEIC and AVIF through libheif: decode, metadata, AVIF encode
//   photo.cpp   EXIF orientation, ICC profile and EXIF carried to the output
//   rules.cpp   the crop rules: a rectangle from an image
//   position.cpp where the aspect and ratio rules place their box
//   resize.cpp  scaling the crop down (Lanczos 3)
//   encode.cpp  RGBA to PNG, JPEG, BMP, TGA or WebP, into a byte sink
//   run.cpp     the pipeline that joins the stages
//   trimlet.cpp the exported functions
//
// One failure idiom throughout: a function that can fail returns int, 1 on
// success and 0 on failure; on failure it has written exactly one message and
// its class (a trimlet_status) with fail() into the Failure record it was
// given, and released everything it held. The class is set where the failure
// happens, by the stage that knows what went wrong; nobody above reads the
// text to learn it. Lower-level helpers that have no buffer
// report a short reason through a `const char **why` out-parameter instead,
// and the stage that calls them turns it into the message.
#ifndef TRIMLET_INTERNAL_H
#define TRIMLET_INTERNAL_H

#include "trimlet.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__) || defined(__clang__)
#define TRIMLET_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TRIMLET_PRINTF(f, a)
#endif

// ---------------------------------------------------------------------------
// Records

// A decoded or cropped picture: w x h pixels of 8-bit RGBA, rows top to
// bottom with no padding. Whoever holds the record owns px (free()).
struct Image {
    int w;
    int h;
    unsigned char *px;
};

// A rectangle in pixels; inside its image and at least 1x1 once a rule has
// chosen it.
struct Rect {
    int x, y, w, h;
};

// The largest width or height accepted from a decoded file.
static const int MAX_SIDE = 32768;

enum OutputFormat { FORMAT_PNG, FORMAT_JPEG, FORMAT_BMP, FORMAT_TGA, FORMAT_WEBP, FORMAT_AVIF };

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
    // 1 for the reentrant interface: messages about files that cannot be
    // opened, read or written name the system's reason (strerror). 0 for the
    // seven, which keep their original texts ("can't fopen", "(check the
    // extension)").
    int system_reasons;
};

// An input file's bytes, read whole or borrowed from the caller.
struct Input {
    const unsigned char *data;
    size_t size;
    unsigned char *owned;  // the block to free, NULL when borrowed
    const char *name;      // the path for messages, or "<memory>"
    long long max_pixels;  // refuse images of more pixels than this; 0: no such limit
    // 1: a region decode stops after the region's last row, and damage
    // below it goes unseen (TRIMLET_VERIFY_REGION); 0: the file is decoded
    // to its end for the verdict.
    int region_verdict;
};

// Photo metadata found in an input (photo.cpp). Blocks are malloc'd and owned
// by the record; NULL/0 when absent.
struct Metadata {
    int orientation;         // EXIF Orientation 1..8; 1 when absent or malformed
    unsigned char *icc;      // the ICC profile, byte for byte
    size_t icc_size;
    unsigned char *exif;     // the Exif block as a TIFF structure ("II*\0" or "MM\0*" ...)
    size_t exif_size;
};

// Where encoded bytes go: a file or a growing memory block. Small writes are
// gathered in buf. A failure is remembered (failed, and the system's errno
// in error_no where there is one) and every later write is dropped; the
// caller learns of it from sink_finish.
enum SinkKind { SINK_FILE, SINK_MEMORY };
struct Sink {
    int kind;
    FILE *f;           // SINK_FILE: the open file, or NULL to open path lazily
    const char *path;  // SINK_FILE with f NULL: opened ("wb") on the first byte
    unsigned char *mem;  // SINK_MEMORY: the block (malloc), its length, capacity
    size_t mem_size, mem_cap;
    int failed;
    int error_no;  // errno of the failed open/write/close, 0 when unknown
    size_t used;
    unsigned char buf[8192];
};

// ---------------------------------------------------------------------------
// error.cpp

// A failure: its class and its one line of text.
struct Failure {
    int status;                    // a trimlet_status; TRIMLET_OK until something fails
    char text[TRIMLET_ERROR_SIZE];
};

// Sets err's class and formats its one-line message (always NUL-terminated,
// truncated at 511 characters) and returns 0, so a failure reads
// `return fail(err, TRIMLET_ERR_..., "...", ...);`. An argument may point
// into err->text.
int fail(Failure *err, int status, const char *fmt, ...) TRIMLET_PRINTF(3, 4);
// The seven's process-wide buffer.
char *legacy_err(void);

// malloc for a large block (a picture, a file, PNG data), with transparent
// huge pages asked for where the system offers them (memory.cpp). Released
// with free() like any other block.
void *block_malloc(size_t n);
// block_malloc for a picture of w x h RGBA pixels, with room for the PNG
// writer's filter bytes (one a row) after them; NULL when the size does not
// fit a size_t.
void *pixels_malloc(size_t w, size_t h);

// ---------------------------------------------------------------------------
// Signatures: the one place a JPEG or PNG file is recognised by its first
// bytes (the screening asks stb_image's own probes instead, see stb.cpp).

// A JPEG file: the start-of-image marker and the next marker's 0xFF.
static inline int is_jpeg_file(const unsigned char *d, size_t n) {
    return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}
static const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
static inline int is_png_file(const unsigned char *d, size_t n) {
    if (n < sizeof PNG_SIGNATURE) return 0;
    for (size_t i = 0; i < sizeof PNG_SIGNATURE; ++i) {
        if (d[i] != PNG_SIGNATURE[i]) return 0;
    }
    return 1;
}

// The formats read by codecs of their own (see Codec), by their first bytes.
// WebP: a RIFF file of form WEBP.
static inline int is_webp_file(const unsigned char *d, size_t n) {
    return n >= 12 && d[0] == 'R' && d[1] == 'I' && d[2] == 'F' && d[3] == 'F' && d[8] == 'W' &&
           d[9] == 'E' && d[10] == 'B' && d[11] == 'P';
}
// HEIF (HEIC, AVIF): an ISO media file whose first box is ftyp with a HEIF
// or AVIF brand, major or compatible.
static inline int is_heif_file(const unsigned char *d, size_t n) {
    if (n < 16 || d[4] != 'f' || d[5] != 't' || d[6] != 'y' || d[7] != 'p') return 0;
    size_t box = (size_t)d[0] << 24 | (size_t)d[1] << 16 | (size_t)d[2] << 8 | d[3];
    if (box < 16 || box > n) box = n;
    static const char BRANDS[][5] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                     "mif1", "msf1", "avif", "avis"};
    for (size_t p = 8; p + 4 <= box; p += p == 8 ? 8 : 4) {  // major brand, then the compatible ones
        for (const char *b : BRANDS) {
            if (d[p] == b[0] && d[p + 1] == b[1] && d[p + 2] == b[2] && d[p + 3] == b[3]) return 1;
        }
    }
    return 0;
}
// TIFF: classic or BigTIFF, either byte order.
static inline int is_tiff_file(const unsigned char *d, size_t n) {
    if (n < 8) return 0;
    return (d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
           (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43));
}
// Any of the formats above.
static inline int is_codec_file(const unsigned char *d, size_t n) {
    return is_webp_file(d, n) || is_heif_file(d, n) || is_tiff_file(d, n);
}

// ---------------------------------------------------------------------------
// sink.cpp

// Sends bytes to the sink (gathered in its buffer).
void sink_write(Sink *sink, const void *data, size_t size);
// Flushes and, for a file the sink opened itself, closes. Returns encoded when
// every write succeeded, else 0.
int sink_finish(Sink *sink, int encoded);

// ---------------------------------------------------------------------------
// pixels.cpp

// Copies the w x h rectangle at (x, y) out of a source whose rows are src_w
// pixels wide. On allocation failure px is NULL and the message is
// "out of memory for <w>x<h> crop".
Image sub_image(int src_w, const unsigned char *src, int x, int y, int w, int h, Failure *err);
// Composites RGBA over the colour bg into a new w x h x 3 block, rounding to
// nearest; NULL when it cannot be allocated. One row: flatten_row.
unsigned char *flatten(const Image *img, const unsigned char bg[3]);
void flatten_row(const unsigned char *rgba, int w, const unsigned char bg[3], unsigned char *rgb);

// ---------------------------------------------------------------------------
// zlib.cpp

// The libdeflate level PNG data is compressed at; 0 when stb_image_write's own
// compressor is built in.
int png_deflate_level(void);
// Deflates d into a malloc'd zlib stream with the PNG encoder's compressor
// (libdeflate when built with it, else stb_image_write's) and stores its
// length; NULL when memory runs out.
unsigned char *zlib_deflate(const unsigned char *d, size_t len, size_t *out_len);
// zlib_deflate at libdeflate's level 1..12 (0: the PNG level above; stb's
// compressor, built without libdeflate, has its one level).
unsigned char *zlib_deflate_at(const unsigned char *d, size_t len, int level, size_t *out_len);
// stb_image_write's hook for compressing PNG data (STBIW_ZLIB_COMPRESS):
// libdeflate where built, else stb's own compressor. A malloc'd stream, or
// NULL when memory runs out.
unsigned char *zlib_stb_compress(unsigned char *data, int data_len, int *out_len, int quality);

// The size d deflates to at the compressor's fastest level, for comparing
// filters; 0 when memory runs out.
size_t zlib_deflated_size(const unsigned char *d, size_t len);
// Continues the CRC-32 of PNG chunks (start with crc 0).
uint32_t png_crc(uint32_t crc, const unsigned char *d, size_t len);

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

// Opens path for reading or writing as fopen does, with path taken as UTF-8
// on Windows (converted to UTF-16 for the wide-character call).
FILE *open_utf8(const char *path, const char *mode);

// Writes an output file so that it is never left half-written: begin_replace
// opens a temporary file beside path (through a symbolic link, beside its
// target) and points sink at it; finish_replace closes it and renames it over
// the output, keeping an existing file's permission bits, or removes it when
// encoded is 0 (the encoder's message stands) or a write failed. An output that exists and is not a regular file
// is written directly. Message on failure: "cannot write '<path>': <reason>".
struct Replace {
    char *target;  // the file to replace (path, or a link's target), malloc'd
    char *temp;    // the temporary file, malloc'd; NULL when writing directly
};
int begin_replace(const char *path, Replace *rep, Sink *sink, Failure *err);
int finish_replace(const char *path, Replace *rep, Sink *sink, int encoded, Failure *err);

// ---------------------------------------------------------------------------
// stb.cpp: stb_image, and its own view of a file
//
// The screening must see a file exactly as stb_image will, so it asks the
// decoder's own header parsers. They are private to stb_image (the stbi__
// names of stb 2.27) and are reached only through these wrappers, so that an
// update of stb has one place to look.

// Which of stb_image's probes takes the file, among those the screening
// treats specially, tried in the decoder's order.
enum StbKind { STB_OTHER, STB_BMP, STB_PSD, STB_PIC, STB_HDR, STB_TGA };
int stb_kind(const unsigned char *d, size_t len);
// Whether stb_image's JPEG probe takes the file (0xFF fill bytes, then the
// start-of-image marker).
int stb_is_jpeg(const unsigned char *d, size_t len);
// Whether any of the decoder's format probes takes the file: 0 is what
// stbi_load refuses as "unknown image type". The probes read only the first
// STB_PROBE_BYTES bytes, so that many (or the whole file, if shorter) decide.
static const size_t STB_PROBE_BYTES = 4096;
int stb_recognised(const unsigned char *d, size_t len);
// stbi_info: the size the decoder's header parser reads, as it stores it (a
// top-down BMP's height is negative); 0 when it refuses.
int stb_info(const unsigned char *d, size_t len, int *w, int *h);
// A binary PGM/PPM's header: size, channels, bits per sample and where the
// samples start; 0 when the decoder would refuse it.
int stb_pnm_header(const unsigned char *d, size_t len, int *w, int *h, int *channels,
                   int *bits, size_t *data);
// A Radiance file's header: size and where the pixel data starts.
int stb_hdr_header(const unsigned char *d, size_t len, int *w, int *h, size_t *data);
// Whether a*b*c*d + add fits the decoder's int arithmetic (stbi__mad4sizes_valid).
int stb_sizes_valid(int a, int b, int c, int d, int add);
// stbi_load_from_memory to 4 channels; NULL with *why set to the decoder's
// reason ("unknown error" when it gives none or an empty one).
unsigned char *stb_decode(const unsigned char *d, size_t len, int *w, int *h, const char **why);
// The class of a decoder's short reason (stb_image's texts, and the
// screening's and readers' reasons, which use the same words): unknown types
// and unsupported variants TRIMLET_ERR_UNSUPPORTED, "too large"
// TRIMLET_ERR_TOO_LARGE, "outofmem" TRIMLET_ERR_NO_MEMORY, anything else
// TRIMLET_ERR_CORRUPT.
int reason_status(const char *why);
// Inflates a zlib stream (stb_image's decoder) into a malloc'd block of at
// most limit bytes and stores its length; NULL when the stream is corrupt,
// would inflate past limit, or memory runs out.
unsigned char *zlib_inflate(const unsigned char *d, size_t len, size_t limit, size_t *out_len);

// ---------------------------------------------------------------------------
// screen.cpp

// Reasons to refuse a file before decoding, found in its structure alone; NULL
// when there is none.
const char *screen_structure(const unsigned char *d, size_t len);
// A PNG's chunks walked as the decoder walks them: unknown (filled with the
// type, printable) when it holds an unknown critical chunk before IEND,
// "outofdata" when a chunk header lies past the end, else NULL. Run before
// any stb_image parser sees the file (see screen.cpp for why).
const char *screen_png_chunks(const unsigned char *d, size_t len, char unknown[5]);
// The size the file's header gives, as the decoder stb_image picks reads it;
// 0 when it gives none. h is the absolute height (a top-down BMP's is
// negative in the header).
int header_size(const unsigned char *d, size_t len, int *w, int *h);
// 1 when a w x h image is within the size limits: MAX_SIDE a side and, when
// max_pixels > 0, at most max_pixels pixels; else 0 with TRIMLET_ERR_TOO_LARGE
// and "image too large: <w>x<h>" or "image too large: <w>x<h> is more than
// <n> pixels (max_pixels)".
int within_limits(int w, int h, long long max_pixels, Failure *err);
// Reasons to refuse a file of w x h pixels (its header's word) before
// decoding: data that cannot hold its pixels, a Radiance run that never ends.
const char *screen_pixels(const unsigned char *d, size_t len, int w, int h);

// ---------------------------------------------------------------------------
// Codecs beside stb_image (webp.cpp, heif.cpp, tiff.cpp), one record each,
// listed in decode.cpp. Built without its library, a codec keeps its name
// and signature and has NULL functions: its files are refused as
// TRIMLET_ERR_UNAVAILABLE.
struct Codec {
    const char *name;  // "webp", ...: in messages
    // Whether the first n bytes at d are this codec's format (is_webp_file, ...).
    int (*sniff)(const unsigned char *d, size_t n);
    // The image's width and height from its header, before any pixel is
    // decoded (as a viewer shows it, where the format always turns the image).
    // 0 with the message set (CORRUPT, UNSUPPORTED, ...) when refused.
    int (*header)(const Input *in, int *w, int *h, Failure *err);
    // Decodes the whole image (region NULL) or only *region of it (inside the
    // image) into a block of its own size. The verdict is that of a whole
    // decode where the format allows: data damaged outside the region fails.
    int (*decode)(const Input *in, const Rect *region, Image *out, Failure *err);
    // 1 when decode with a region holds less than the whole image for this
    // input (whose header has been read); NULL: never.
    int (*regions)(const Input *in);
    // The photo metadata, as read_metadata gives JPEG's and PNG's; NULL:
    // read_metadata's (none for formats it does not know).
    void (*metadata)(const Input *in, int want_orientation, int want_blocks, Metadata *m);
};
extern const Codec TIFF_CODEC;  // tiff.cpp: libtiff
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

extern const Codec WEBP_CODEC;

// The largest width or height a WebP file holds.
static const int WEBP_MAX_SIDE = 16383;


// Encodes img as WebP into sink: lossy at quality (1..100) with its alpha,
// or lossless with every pixel exact, the colour under transparent pixels
// included; meta (NULL: none) adds its ICC profile and Exif block (VP8X with
// ICCP and EXIF chunks). Fails with TRIMLET_ERR_TOO_LARGE "cannot encode
// '<name>': WebP holds at most 16383 pixels a side", "cannot encode '<name>':
// out of memory" or the encoder's reason. A failure of the sink itself is
// left for sink_finish / finish_replace. effort 1..10 picks the method as
// trimlet.h names it (0: libwebp's default, 4).
int webp_encode(const Image *img, int quality, int lossless, int effort, const Metadata *meta, Sink *sink,
                const char *name, Failure *err);

// ---------------------------------------------------------------------------
// decode.cpp

// Screens and decodes the whole input into *img (RGBA). On failure *img is
// {0, 0, NULL} and the message is "cannot decode '<name>': <why>" or
// "image too large: <w>x<h>".
int decode_image(const Input *in, Image *img, Failure *err);
// Screens the input and decodes only the rectangle r of it into *crop (r.w x
// r.h), where the decoder can (JPEG through libjpeg-turbo); elsewhere decodes
// the whole and copies r out. The verdict on the file is that of a whole
// decode: a file corrupt outside r still fails.
int decode_region(const Input *in, Rect r, Image *crop, Failure *err);
// The photo metadata of any input: its codec's reader, or read_metadata.
void read_input_metadata(const Input *in, int want_orientation, int want_blocks, Metadata *m);
// The image size the header gives (0x0 when it gives none), after the same
// screening decode_image does; 0 with the same message as decode_image when
// the file would be refused before its pixels are decoded.
int screened_size(const Input *in, int *w, int *h, Failure *err);
// 1 when decode_region can decode this input's rectangle without decoding
// the whole image into memory (so the size alone should choose the
// rectangle); 0 when it would decode the whole image anyway.
int region_decodable(const Input *in);


// ---------------------------------------------------------------------------
// photo.cpp

// Finds the photo metadata of a JPEG, PNG or WebP input; other formats have
// none.
// With want_orientation, m->orientation is the EXIF Orientation (1 when
// absent or malformed); with want_blocks, m->icc and m->exif are copies of
// the ICC profile and the Exif block (a TIFF structure, without JPEG's
// "Exif\0\0"), NULL when absent, malformed or when memory runs out. Never
// fails and never reads outside in's bytes; release with release_metadata.
void read_metadata(const Input *in, int want_orientation, int want_blocks, Metadata *m);
void release_metadata(Metadata *m);
// Sets m->orientation to 1 and, when m->exif has an Orientation entry, makes
// that entry SHORT 1: for output whose pixels were turned upright.
void set_orientation_one(Metadata *m);

// Makes the Orientation entry of a JPEG file's Exif block (its first APP1
// "Exif" segment) SHORT 1, in place, leaving the file's length as it is: for
// a file whose coefficients were turned upright. Anything else is untouched.
void jpeg_orientation_one(unsigned char *jpg, size_t len);

// The upright size of a stored w x h image of the given orientation.
void upright_size(int orientation, int w, int h, int *uw, int *uh);
// The rectangle of the stored image that holds rectangle r of the upright
// image. r must lie inside the upright image.
Rect stored_rect(Rect r, int orientation, int stored_w, int stored_h);
// Turns img from stored to upright in place for orientation 2..8 (1 and
// other values leave it as it is). 2..4 need no extra memory; 5..8 allocate
// the turned block before the old one is freed, so img's block twice at
// peak. Fails with "out of memory turning <w>x<h> image", img unchanged.
int orient_image(Image *img, int orientation, Failure *err);

// Writes the PNG file png (len bytes, IHDR first, as stb_image_write makes
// it) to sink with meta's ICC profile (iCCP) and Exif block (eXIf) inserted
// after IHDR. meta NULL or empty: the file as it is. Returns 0, having
// written nothing, when memory to deflate the profile runs out.
int png_with_metadata(const unsigned char *png, size_t len, const Metadata *meta, Sink *sink);
// Writes meta's Exif block as an APP1 "Exif" segment (left out when larger
// than a segment holds) and its ICC profile as APP2 "ICC_PROFILE" segments
// of at most 65519 profile bytes each, numbered 1..count, to sink.
void write_jpeg_metadata(const Metadata *meta, Sink *sink);
// Writes the JPEG file jpg to sink with write_jpeg_metadata's segments
// inserted after SOI and the JFIF APP0 segment when there is one.
void jpeg_with_metadata(const unsigned char *jpg, size_t len, const Metadata *meta, Sink *sink);

// The reason jpeg_decode and png_decode give when memory runs out: the
// caller then fails instead of trying stb_image, which would need more.
static const char FAST_PATH_NO_MEMORY[] = "out of memory";

// ---------------------------------------------------------------------------
// jpeg.cpp (libjpeg-turbo; built without it, decode and encode decline every
// image and the lossless functions fail with "options: lossless is not
// available in this build")

#ifdef TRIMLET_USE_LIBJPEG_TURBO
#define JPEG_TURBO 1
#else
#define JPEG_TURBO 0
#endif

// 1 when the input starts as a JPEG file does (SOI and a marker) and the
// library is built with libjpeg-turbo: the inputs the functions below take.
int jpeg_takes(const Input *in);
// Decodes a JPEG input to RGBA: the whole image (region NULL) or only the
// rectangle *region of it (which must lie inside the image) into an
// r.w x r.h block, never allocating the whole image's block. The file's
// entropy-coded data is read to the end either way, so corrupt data outside
// the region still fails. Returns 0 when this path does not take the file
// (not JPEG, CMYK or YCCK, arithmetic coding, 12-bit, any libjpeg error or
// warning): the caller then decodes with stb_image, whose verdict and
// message stand; or when memory runs out (why: FAST_PATH_NO_MEMORY). why (may be NULL) gets a short reason for
// debugging; it is never shown to a host.
int jpeg_decode(const Input *in, const Rect *region, Image *out, const char **why);
// jpeg_decode at 1/denom of the size (denom 1, 2, 4 or 8: libjpeg-turbo's
// DCT scaling, which leaves most of the inverse DCT's work out): the image is
// ceil(w / denom) x ceil(h / denom) and region is in those scaled pixels.
int jpeg_decode_scaled(const Input *in, const Rect *region, int denom, Image *out,
                       const char **why);
// Encodes img as a baseline JPEG of the given quality (1..100) into sink,
// chroma subsampled 2x2 up to quality 90 and not above, alpha flattened onto
// bg a row at a time; meta (NULL: none) adds its Exif block and ICC profile
// after SOI and JFIF's APP0, as write_jpeg_metadata writes them. Returns 0 when out of memory or libjpeg fails. A failing
// sink stops the encoding early and the function returns 1: the failure is
// the sink's, for sink_finish / finish_replace to report.
int jpeg_encode(const Image *img, int quality, const unsigned char bg[3], const Metadata *meta,
                Sink *sink);
// The rectangle a lossless cut of r gives, r and the result in the upright
// image of the given orientation (1..8; 1: as stored): the top-left corner
// moved up and left onto the block grid the turned file allows, the
// bottom-right corner kept. The grid is the file's iMCU (8 or 16 pixels, by
// the subsampling; for a turn that swaps the sides, the larger of its width
// and height both ways), starting after the partial blocks that a turn moves
// to the upright image's left or top edge. Fails with "lossless: cannot cut
// '<name>': <why>" when the file's header cannot be read or its subsampling
// is unusual, and with TRIMLET_ERR_UNSUPPORTED "lossless: cannot turn
// '<name>' exactly: ..." when r reaches into those partial blocks, which a
// lossless turn cannot keep.
int jpeg_snap(const Input *in, Rect r, int orientation, Rect *snapped, Failure *err);
// Cuts the rectangle r of the upright image (snapped as jpeg_snap does) out
// of the input's DCT coefficients, turned upright by the orientation in the
// same transform, and writes the resulting JPEG into sink, with the input's
// other markers (EXIF, ICC, comments) copied when keep_metadata (the Exif
// Orientation then made 1 when the cut was turned). With sink NULL nothing
// is produced, but the file is read and checked as for a cut. Corrupt data
// fails the cut: "lossless: cannot cut '<name>': <libjpeg's reason>".
int jpeg_lossless(const Input *in, Rect r, int orientation, int keep_metadata, Sink *sink,
                  Failure *err);

// ---------------------------------------------------------------------------
// png.cpp (libspng; built without it, png_decode declines every file)

#ifdef TRIMLET_USE_LIBSPNG
#define PNG_SPNG 1
#else
#define PNG_SPNG 0
#endif

// 1 when the input starts with the PNG signature and the library is built
// with libspng: the inputs png_decode takes.
int png_takes(const Input *in);
// Decodes a PNG input to RGBA exactly as stb_image does: the whole image
// (region NULL) or only the rectangle *region of it (inside the image) into
// an r.w x r.h block. A non-interlaced image is decoded row by row and its
// whole block is never allocated; an interlaced one is decoded whole in the
// file's own format first. The image data is inflated to its end either way,
// so damage outside the region still fails. Returns 0 when this path does
// not take the file (chunks stb_image reads its own way, any libspng error):
// the caller then decodes with stb_image, whose verdict and message stand;
// or when memory runs out (why: FAST_PATH_NO_MEMORY). why (may be NULL) gets a short reason for debugging; it is
// never shown to a host.
int png_decode(const Input *in, const Rect *region, Image *out, const char **why);

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
// most 256 colours (but opaque grey of more than 16 levels, which is grey);
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
// when memory runs out; a failing sink is left for sink_finish /
// finish_replace to report.
// effort (0..10, as trimlet_options.effort) picks the filters and the
// deflate level; compact writes the form png_form chooses instead of RGBA.
int png_write(Image *img, const Metadata *meta, int effort, int compact, Sink *sink);

// ---------------------------------------------------------------------------
// heif.cpp (libheif; built without it, HEIF files are refused as unavailable
// and so is AVIF output)

extern const Codec HEIF_CODEC;
// 1 when the installed libheif decodes HEIC (HEVC) / AVIF (AV1), encodes
// AVIF: asked at run time, since libheif's codecs are its own build choice.
int heic_readable(void);
int avif_readable(void);
int avif_writable(void);
// Encodes img as AVIF of the given quality (1..100) into sink, keeping alpha
// (an opaque crop has no alpha plane), with meta's ICC profile and Exif
// block (meta NULL: none). Fails with TRIMLET_ERR_UNAVAILABLE when there is
// no AV1 encoder, else "cannot encode '<name>': <libheif's reason>". A
// failing sink is left for sink_finish / finish_replace to report. effort
// 1..10 sets aom's speed to 10 - effort (0: AVIF_SPEED).
int avif_encode(const Image *img, int quality, int effort, const Metadata *meta, Sink *sink, const char *name,
                Failure *err);

// ---------------------------------------------------------------------------
// rules.cpp

// The rule's short name ("rect", "aspect", "auto", "edges", "ratio"), or
// NULL for a number that names no rule.
const char *rule_name(int rule);
// How many ints the rule reads from params.
int rule_param_count(int rule);
// 1 when the rule looks at pixels (auto), 0 when the size alone decides.
int rule_needs_pixels(int rule);
// The rule's rectangle in img (img->px is read only by auto). Fails with the
// rule's own messages.
int rule_region(int rule, const int *params, const Image *img, Rect *r, Failure *err);

// ---------------------------------------------------------------------------
// position.cpp

// The long side, in pixels, of the reduced copy entropy and attention judge.
static const int POSITION_SIDE = 320;

// 1 for the positions that look at the pixels (entropy, attention).
int position_needs_pixels(int position);
// Moves r, a box of a W x H picture centred by its rule, as the gravity
// position (TRIMLET_CENTRE..TRIMLET_NORTHWEST) says; other values leave it.
void position_gravity(int position, int W, int H, Rect *r);
// Averages img down by a whole factor to at most POSITION_SIDE pixels on its
// long side, into *small (malloc'd). Fails with "out of memory".
int position_reduce(const Image *img, Image *small, Failure *err);
// Moves r, a box of a W x H picture centred by its rule, along the axis it
// is shorter than the picture, to the window of small (the whole picture
// reduced, upright as r is) that entropy or attention rates highest. Fails
// with "out of memory".
int position_choose(int position, const Image *small, int W, int H, Rect *r, Failure *err);

// ---------------------------------------------------------------------------
// resize.cpp

// The size a w x h crop is scaled down to by the resize option rw x rh (0:
// that side free; both 0: none): within rw x rh, ratio kept, never enlarged;
// the side that sets the scale is exactly its target, the other rounded
// (halves up), at least 1.
void resize_size(int w, int h, int rw, int rh, int *ow, int *oh);
// Resamples the span (sx, sy, sw, sh) of src (source pixels, fractions
// allowed; taps reach only pixels inside src) to ow x oh with Lanczos 3, alpha
// premultiplied while filtering, into *out (malloc'd). Fails with
// "out of memory for <ow>x<oh> resize".
int resize_area(const Image *src, double sx, double sy, double sw, double sh, int ow, int oh,
                Image *out, Failure *err);
// Replaces img by its ow x oh resampling (nothing to do when the size is the
// same). On failure img is unchanged.
int resize_image(Image *img, int ow, int oh, Failure *err);

// ---------------------------------------------------------------------------
// encode.cpp

// The format the text after the last dot of path selects as the seven choose
// it: JPEG, BMP or TGA by their extensions, PNG for any other.
int format_for_path(const char *path);
// The format the text after the last dot of path names; -1 for any other
// extension, or none (the reentrant interface refuses those).
int format_for_extension(const char *path);
// Parses "png", "jpg", "jpeg", "bmp", "tga", "webp", "avif" in any ASCII case; -1
// otherwise.
int format_from_name(const char *name);
// The format's name as trimlet_result.output_format gives it ("png", "jpeg",
// ...), a static string; NULL for a number that names no format.
const char *format_name(int format);


// 1 when this build writes the format (WebP needs libwebp; AVIF an AV1
// encoder in the libheif loaded, asked at the call), else 0.
int format_available(int format);

// Encodes img in format into sink with the settings' quality and background
// and the metadata meta (NULL: none). Fails with "out of memory" (flattening)
// or, when the encoder fails, "cannot encode '<name>' (check the extension)"
// for the seven and "cannot encode '<name>': out of memory" otherwise. A
// failure of the sink itself is left for sink_finish / finish_replace. PNG
// output spends img's pixels (png_write); other formats only read them.
int encode_image(Image *img, int format, const Settings *set, const Metadata *meta,
                 Sink *sink, const char *name, Failure *err);




// ---------------------------------------------------------------------------
// run.cpp: the pipeline

// The settings the seven use (every option's default, no pixel limit);
// system_reasons as Settings says.
void default_settings(Settings *set, int system_reasons);
// Checks a caller's options and fills in the defaults (for the reentrant
// interface: system reasons, the default pixel limit). A record from an older
// header (smaller size) lacks the later fields, which keep their defaults.
// The rule is the request's: only aspect and ratio take a position.
int read_options(const trimlet_options *o, int rule, Settings *set, Failure *err);

// What one call asks for: a rule with its ints, and the settings.
struct Request {
    int rule;
    int params[4];  // the rule's ints; unused entries 0
    Settings set;
};

// Where the crop goes.
enum Destination {
    TO_NOTHING,      // a plan
    TO_FILE,         // replaced safely (the reentrant interface)
    TO_LEGACY_FILE,  // written straight to the path (the seven)
    TO_MEMORY
};

// What a run did: the box, the image it was cut from, the picture encoded
// (or that would be, for a plan), its format (-1 for a plan) and, for memory
// output, the block (malloc'd, the caller's).
struct Outcome {
    Rect box;
    int image_w, image_h;
    int out_w, out_h;
    int format;
    void *block;
    size_t block_size;
};

// Runs the whole pipeline on an input that has been read, and releases it.
// out_path names the file destinations' output. On failure *o is zeros
// (format -1) and err holds the one message.
int run_pipeline(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                 Failure *err);

#endif
