/* trimlet: crop image files. SPDX-License-Identifier: MIT */
#ifndef TRIMLET_H
#define TRIMLET_H

/*
 * trimlet reads an image file, chooses a rectangle by one of five rules
 * (rect, aspect, auto, edges, ratio: enum trimlet_rule), cuts it out,
 * optionally turns it upright and scales it down, and writes it to a file or
 * into memory, or only reports it (a plan).
 *
 * This header is the contract: what each function does, what it returns, who
 * owns what, and which calls may run at once. The failure classes (enum
 * trimlet_status) are the stable promise a program branches on; the one-line
 * messages are for people. The message texts, how the rules, positions and
 * resize work in detail, and what each format keeps are in docs/library.md,
 * docs/thumbnails.md and docs/formats.md.
 *
 * FUNCTIONS
 *   trimlet_run                       one call for every input and output, with
 *                                     a status for every failure (since 1.2)
 *   trimlet_crop_file, trimlet_crop_memory, trimlet_plan_file,
 *   trimlet_plan_memory, trimlet_free "the five": thin wrappers over
 *                                     trimlet_run (since 1.1)
 *   trimlet_rect, trimlet_aspect, trimlet_auto, trimlet_edges, trimlet_init,
 *   trimlet_cleanup, trimlet_last_error
 *                                     "the seven": a file into a file, the
 *                                     message in one buffer per process (1.0)
 *   trimlet_version, trimlet_has      the library loaded and what it can do
 *
 * INPUT is recognised by its first bytes, never by its name: JPEG, PNG, BMP,
 * PSD, TGA, GIF (the first frame), HDR, PIC and PNM in every build; WebP,
 * TIFF, HEIC and AVIF where trimlet_has("webp"), "tiff", "heic" and "avif"
 * say so (else such a file fails with TRIMLET_ERR_UNAVAILABLE). An input may
 * be at most 32768 pixels a side; trimlet_run and the five also refuse more
 * than trimlet_options.max_pixels pixels.
 *
 * OUTPUT FORMATS, by a name in trimlet_options.format or an output path's
 * extension (the text after the path's last dot), in any ASCII case:
 *
 *   name        written as                                   in this build
 *   png         PNG, 8-bit RGBA, alpha kept                  always
 *   jpg, jpeg   JPEG, alpha flattened onto the background    always
 *   bmp         24-bit BMP, alpha flattened                  always
 *   tga         32-bit run-length TGA, alpha kept            always
 *   webp        WebP, lossy or lossless, alpha kept          trimlet_has("webp")
 *   avif        AVIF, alpha kept                             trimlet_has("avif-write")
 *   gif         GIF cut from a GIF's frames, exactly         trimlet_has("gif")
 *
 * trimlet_run and the five write every format of the table (a format this
 * build lacks fails with TRIMLET_ERR_UNAVAILABLE); a file output's extension
 * must be one of them unless options->format names the format, and memory
 * output is PNG unless options->format names another. GIF is written only
 * from a GIF input (any other: TRIMLET_ERR_UNSUPPORTED, see
 * TRIMLET_ALL_FRAMES). The seven know the
 * extensions jpg, jpeg, bmp and tga and write PNG for any other extension or
 * none.
 *
 * CONVENTIONS shared by every function:
 *   - A function that can fail returns 1 (the seven: nonzero) on success and
 *     0 on failure, and leaves one line of English (no trailing newline, at
 *     most TRIMLET_ERROR_SIZE - 1 bytes) where its comment says.
 *   - The caller owns every path, buffer and record it passes; the library
 *     reads them (and writes the records and error buffers meant for output)
 *     only during the call and keeps no pointer to any of them.
 *   - A block of encoded output the library returns belongs to the caller,
 *     who releases it with trimlet_free. Strings the library returns
 *     (trimlet_last_error, trimlet_version, the result's format names) are
 *     its own and are never freed.
 *   - Every call allocates, opens, frees and closes its own memory and files;
 *     nothing survives a call but the seven's error text and, in the shared
 *     library, libheif once a call has needed it (loaded by its SONAME on
 *     first use, once per process, and kept; the static library links it).
 *   - trimlet prints nothing; a codec libheif calls may print a line to
 *     stderr about a damaged HEIC or AVIF file (see docs/formats.md).
 *
 * THREADS: the library starts no threads of its own and keeps no state
 * between calls but the seven's error buffer (libheif's loading is done once,
 * under a lock, whichever thread needs it first). trimlet_run, the five,
 * trimlet_version and trimlet_has may run on any number of threads at once,
 * also while the seven run. The seven share that one unguarded buffer: a host
 * that calls them from several threads must serialise those calls (one lock
 * around each call and its trimlet_last_error read). Codecs may run threads
 * inside a call: libde265 (HEIC) and dav1d (AVIF) decode with worker threads
 * that end before the call returns; AVIF output asks aom for one thread.
 */

#include <stddef.h>

/* A static build of the library (CMake: TRIMLET_STATIC) is used with
 * TRIMLET_STATIC defined; its CMake target and pkg-config file define it. */
#if defined(TRIMLET_STATIC)
#  define TRIMLET_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#  if defined(TRIMLET_BUILDING_DLL)
#    define TRIMLET_API __declspec(dllexport)
#  else
#    define TRIMLET_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define TRIMLET_API __attribute__((visibility("default")))
#else
#  define TRIMLET_API
#endif

/* The version of this header; trimlet_version() gives the library's. */
#define TRIMLET_VERSION_MAJOR 1
#define TRIMLET_VERSION_MINOR 3
#define TRIMLET_VERSION_PATCH 0
#define TRIMLET_VERSION_STRING "1.3.0"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * The seven (1.0)
 *
 * Paths are NUL-terminated narrow strings passed to the C runtime's fopen
 * unchanged. Input and output may name the same file: the input is read and
 * closed before the output is opened. The output is written straight to its
 * path; when encoding fails before any byte is produced, an existing output
 * is left untouched. The seven keep 1.1's rules: no pixel limit beyond 32768
 * a side, the format chosen by the output path's extension (PNG for any
 * extension but jpg, jpeg, bmp and tga), JPEG quality 90, alpha flattened
 * onto white, the stored pixels (no orientation), no metadata.
 *
 * Not reentrant: the message of a failed crop goes into one buffer per
 * process (trimlet_last_error), so calls from several threads must be
 * serialised (see THREADS above).
 * ------------------------------------------------------------------------ */

/* Clears the error text and returns 1. Optional: crop calls work without it.
 * Allocates nothing; may be called any number of times. */
TRIMLET_API int trimlet_init(void);

/* Clears the error text. There is nothing else to release; may be called any
 * number of times, before or after trimlet_init. */
TRIMLET_API void trimlet_cleanup(void);

/* Returns the library's error buffer: the message of the last failed crop
 * call of the seven, or "" when the last one succeeded (or after
 * trimlet_init / trimlet_cleanup). Never NULL. The buffer belongs to the
 * library, keeps its address for as long as the library is loaded, holds at
 * most 511 characters and is overwritten by the next crop call of the seven:
 * copy the text to keep it. The texts: docs/library.md, "Messages". */
TRIMLET_API const char *trimlet_last_error(void);

/* Crops to the rectangle with top-left corner (x, y) and size w x h, clipped
 * to the image; x and y may be negative. Returns nonzero on success, 0 when
 * a path is NULL, w or h is not positive, the rectangle misses the image, or
 * the input cannot be decoded or the output written. */
TRIMLET_API int trimlet_rect(const char *input_path, const char *output_path,
                             int x, int y, int w, int h);

/* Crops the largest centred region of the ratio chosen by index:
 *   0 = 1:1, 1 = 4:3, 2 = 16:9, 3 = 3:2, 4 = 9:16 (width:height).
 * The cut side is rounded to the nearest pixel; an odd leftover pixel goes to
 * the right or bottom margin. Returns nonzero on success, 0 when a path is
 * NULL, the index is outside 0..4, the image has no pixels, or the input
 * cannot be decoded or the output written. */
TRIMLET_API int trimlet_aspect(const char *input_path, const char *output_path,
                               int ratio_index);

/* Trims uniform borders: keeps the bounding box of every pixel that differs
 * from the corner pixel of its own quadrant by more than tolerance_percent
 * (clamped to 0..100) of 255 in R, G, B or A (the exact test:
 * docs/library.md). Returns nonzero on success, 0 when a path is NULL, every
 * pixel is within the tolerance, or the input cannot be decoded or the output
 * written. */
TRIMLET_API int trimlet_auto(const char *input_path, const char *output_path,
                             int tolerance_percent);

/* Cuts a percentage from each side: top and bottom of the height, right and
 * left of the width, each cut rounded down to whole pixels. Returns nonzero
 * on success, 0 when a path is NULL, a percentage is outside 0..49, the cuts
 * leave no rows or columns, or the input cannot be decoded or the output
 * written. */
TRIMLET_API int trimlet_edges(const char *input_path, const char *output_path,
                              int top, int right, int bottom, int left);

/* ------------------------------------------------------------------------
 * The five (since 1.1)
 *
 * For hosts that crop from memory, want the rectangle without writing a file,
 * need options, or run on many threads. Each is a thin wrapper over
 * trimlet_run with its results and messages:
 *
 *   - The rule is a number (enum trimlet_rule) and its ints come in an array
 *     `params` (read only, the rule's count of entries; those past it are not
 *     read).
 *   - `options` may be NULL: every default.
 *   - `error` is NULL or a caller's buffer of at least TRIMLET_ERROR_SIZE
 *     bytes: on failure it receives the message, on success "". The seven's
 *     buffer is never read or written.
 *   - Paths are UTF-8 on every system (on Windows they are converted to
 *     UTF-16 and opened with the wide-character calls).
 *   - Reentrant: any number of calls may run at once on any threads.
 * ------------------------------------------------------------------------ */

/* Size of the buffer the reentrant functions write their message into. */
#define TRIMLET_ERROR_SIZE 512

/* The rules, by number. A message a rule leaves begins with its name: "rect",
 * "aspect", "auto", "edges", "ratio". Any other number fails with
 * TRIMLET_ERR_ARGUMENT. */
enum trimlet_rule {
    TRIMLET_RECT = 0,   /* params: x, y, w, h               (as trimlet_rect)   */
    TRIMLET_ASPECT = 1, /* params: ratio index 0..4         (as trimlet_aspect) */
    TRIMLET_AUTO = 2,   /* params: tolerance percent        (as trimlet_auto)   */
    TRIMLET_EDGES = 3,  /* params: top, right, bottom, left (as trimlet_edges)  */
    TRIMLET_RATIO = 4   /* params: width part, height part: any positive ints;
                           the largest centred region of that ratio, rounded
                           and placed exactly as TRIMLET_ASPECT does */
};

/* Values of trimlet_options.orient.
 *
 * TRIMLET_APPLY_EXIF turns or mirrors the picture as its Orientation (1 to
 * 8) says before the rule runs, so the rule's rectangle, the box and
 * image_w/image_h are those of the upright picture a viewer shows. The
 * Orientation is read from a JPEG's Exif APP1 segment, a PNG's eXIf chunk,
 * a WebP's EXIF chunk and a TIFF's first page. HEIC and AVIF are always
 * read upright, whatever this option: their container's rotation, mirroring
 * and clean aperture are part of the picture and their Exif Orientation is
 * never applied. Every other format, a missing tag and a malformed Exif
 * block count as 1: the picture as stored; reading it never fails a crop.
 *
 * With lossless, a JPEG that needs turning is turned losslessly in the same
 * transform, on the turned image's block grid. A box that reaches the
 * partial blocks such a turn cannot keep fails with TRIMLET_ERR_UNSUPPORTED;
 * TRIMLET_AS_STORED cuts such a file as stored. Memory and block details:
 * docs/library.md, "Photos in detail". */
#define TRIMLET_AS_STORED 0  /* the pixel grid as stored in the file (default) */
#define TRIMLET_APPLY_EXIF 1 /* turned upright by the EXIF Orientation tag */

/* Values of trimlet_options.metadata.
 *
 * TRIMLET_KEEP carries the input's ICC profile and Exif block, byte for
 * byte, into PNG, JPEG, WebP and AVIF output; BMP and TGA output carry
 * neither. They are read from JPEG, PNG, WebP, TIFF, HEIC and AVIF input.
 * The carried Orientation is as it was, or 1 with TRIMLET_APPLY_EXIF and
 * from HEIC and AVIF (the pixels are upright already), so no viewer turns
 * the crop again. A profile or Exif block that does not hold together, or
 * that the output format cannot hold, is left out; reading it never fails a
 * crop. Which chunks and segments: docs/library.md, "Photos in detail". */
#define TRIMLET_STRIP 0 /* write no ICC profile and no EXIF (default) */
#define TRIMLET_KEEP 1  /* carry the input's ICC profile and EXIF into the output */

/* Values of trimlet_options.position: where TRIMLET_ASPECT and TRIMLET_RATIO
 * place their box. The box's size is always the rule's; only x and y move.
 * The compass gravities are exact: north puts y at 0 and x where the centre
 * box has it, east puts x at image_w - w, and so on. TRIMLET_ENTROPY and
 * TRIMLET_ATTENTION slide the box along the one axis it is shorter than the
 * image and keep the window a measure of the picture rates highest; a tie
 * goes to the window nearest the centre, so a flat picture keeps the centre
 * box. How the measures work: docs/thumbnails.md. Other rules refuse any
 * position but TRIMLET_CENTRE (TRIMLET_ERR_ARGUMENT). */
#define TRIMLET_CENTRE 0     /* the centred box (default) */
#define TRIMLET_NORTH 1
#define TRIMLET_NORTHEAST 2
#define TRIMLET_EAST 3
#define TRIMLET_SOUTHEAST 4
#define TRIMLET_SOUTH 5
#define TRIMLET_SOUTHWEST 6
#define TRIMLET_WEST 7
#define TRIMLET_NORTHWEST 8
#define TRIMLET_ENTROPY 9    /* keep the part with the most detail */
#define TRIMLET_ATTENTION 10 /* keep the part most likely to draw the eye */

/* The default of trimlet_options.max_pixels: 16383 * 16383, the limit sharp
 * applies by default. */
#define TRIMLET_DEFAULT_MAX_PIXELS 268402689LL

/* Value of trimlet_options.frames: every frame of an animation (feature
 * "animation"; see docs/animation.md).
 *
 * 0 (the default) reads the first frame of an animated GIF or WebP, as 1.2
 * does. TRIMLET_ALL_FRAMES crops every frame of an animated GIF or WebP by
 * one box and writes an animation: WebP (lossy at the quality, or lossless)
 * or GIF, with each frame's delay and the loop count. Written to a format
 * that holds one picture (PNG, JPEG, ...) it is refused with
 * TRIMLET_ERR_ARGUMENT, nothing written. A still input is cropped as usual.
 *   - rect, edges, aspect and ratio (and the gravities) place their box on
 *     the canvas; auto keeps the union of every frame's content, judged
 *     against the first frame's corners; entropy and attention judge the
 *     first frame.
 *   - max_pixels applies to the canvas, and frames x canvas pixels must stay
 *     within 16 x max_pixels (TRIMLET_ERR_TOO_LARGE, from the container
 *     before any frame is decoded).
 *   - Frames are decoded, cut and encoded one at a time: memory holds about
 *     two canvases and the encoder's state (a WebP encoder keeps the
 *     compressed frames until the file is assembled).
 *   - orient and metadata do nothing to an animation.
 *
 * GIF output (feature "gif") needs a GIF input (TRIMLET_ERR_UNSUPPORTED "GIF
 * output needs a GIF input" otherwise): it is lossless, each frame's palette
 * indexes, colour table, transparency, disposal and delay are kept and only
 * cut to the box (a frame wholly outside it becomes one transparent pixel
 * that keeps its delay), so every output pixel is the input's. Without
 * TRIMLET_ALL_FRAMES it holds the first frame; resize is refused with it. */
#define TRIMLET_ALL_FRAMES (-1)

/* Values of trimlet_options.verify.
 *
 * TRIMLET_VERIFY_WHOLE decodes the whole file for its verdict, as 1.2 does:
 * damage anywhere in it fails the call, even below the crop.
 * TRIMLET_VERIFY_REGION stops decoding once the crop's last row is decoded
 * (JPEG: the scan is stopped and the decoder aborted; PNG: inflating stops
 * after the last row the crop needs), so damage after the crop is then not
 * seen: a file cut off or damaged below the crop crops successfully. Damage
 * in or above the crop's rows still fails the call. (The PNG decoder takes
 * the compressed data in pieces of a few KiB, so a PNG cut off inside the
 * piece that holds the crop's last row is still refused.) Rules and
 * positions that look at the whole picture (TRIMLET_AUTO, TRIMLET_ENTROPY,
 * TRIMLET_ATTENTION) and lossless cuts need the whole image, and there
 * verify changes nothing; lossy WebP and TIFF decode only what the crop
 * needs with either value, other formats decode whole with either. */
#define TRIMLET_VERIFY_WHOLE 0  /* the whole file is decoded for its verdict (default) */
#define TRIMLET_VERIFY_REGION 1 /* decoding stops after the crop's last row */

/* trimlet_options.effort: how hard the encoders work, 1 (fastest) .. 10
 * (smallest files); 0 keeps each format's 1.2 setting exactly. The mapping:
 *   PNG   1: filter Up for every row (no trial), libdeflate level 1;
 *         2..9: one filter for the whole image by trial (as 1.2; the
 *         compact forms other than 8-bit RGBA try Average too), libdeflate
 *         level 1, 2, 3, 4, 6, 8, 10, 11;
 *         10: the filter chosen per row (smallest sum of absolute values),
 *         libdeflate level 12. Low-depth forms (png_compact) are written
 *         unfiltered at every effort, an 8-bit palette unfiltered except
 *         rows that repeat the row above (Up).
 *         0 is 1.2's for 8-bit RGBA: one filter by trial, level 3 (effort 4
 *         the same). The other compact forms have their own 0: grey and RGB
 *         a quicker trial (smaller sample) at level 2, an 8-bit palette
 *         level 5, below 8 bits level 3.
 *   WebP  the method (-m): effort 1..10 gives 0, 1, 1, 2, 3, 4, 4, 5, 6, 6
 *         (0: 1.2's 4, which effort 6 and 7 give too).
 *   AVIF  the aom encoder's speed: effort 1..10 gives 9, 8, 7, 6, 5, 4, 3,
 *         2, 1, 0 (0: 1.2's speed 8, which effort 2 gives too).
 *   JPEG, BMP and TGA ignore it. */

/* trimlet_options.png_compact: 1 writes PNG output in the smallest lossless
 * form that holds the crop exactly: a palette of 1, 2, 4 or 8 bits (with a
 * tRNS chunk where some colour is not opaque) when it has at most 256
 * distinct RGBA colours and at least 4 pixels a colour (opaque grey of more
 * than 16 levels excepted); else grey (with alpha when some pixel is not
 * opaque) when every pixel has R = G = B; else RGB when every pixel is
 * opaque; else 8-bit RGBA. Decoding the file gives exactly the RGBA pixels
 * the 8-bit RGBA file (0, the default, as 1.2) gives. */

/* Options of one call. Zero-fill the record (or pass NULL) for the defaults,
 * set `size` to sizeof(trimlet_options), then set what you need. The fields
 * keep this order for good; later versions only append fields. A `size`
 * smaller than this library's record gives the fields past it their defaults;
 * a larger one (a caller built against a newer header) is refused, so an
 * option asked for is never silently lost. A field the library reads but this
 * build cannot honour fails with TRIMLET_ERR_UNAVAILABLE; a value out of
 * range with TRIMLET_ERR_ARGUMENT. The library only reads the record. */
typedef struct trimlet_options {
    size_t size;                     /* sizeof(trimlet_options) as the caller was built */
    const char *format;              /* NULL: by the output path's extension (PNG for memory
                                        output); else a name of the OUTPUT FORMATS table
                                        above ("png", "jpg", "jpeg", "bmp", "tga", "webp",
                                        "avif", "gif"), in any ASCII case */
    int quality;                     /* JPEG, WebP and AVIF quality 1..100; 0 means the
                                        format's default: JPEG 90, WebP 80, AVIF 50 */
    const unsigned char *background; /* 3 bytes R, G, B that alpha is flattened onto for
                                        JPEG and BMP; NULL means white */
    int lossless;                    /* nonzero: with WebP output, lossless WebP of any
                                        input, every pixel exact (the colour under
                                        transparent pixels too); with any other output,
                                        cut a JPEG input's DCT coefficients into a JPEG
                                        output, without decoding and re-encoding: the
                                        box's top-left corner moves up and left onto the
                                        file's 8- or 16-pixel block grid (quality and
                                        background then do nothing). Any other input or
                                        output fails with TRIMLET_ERR_UNSUPPORTED */
    int orient;                      /* TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF */
    int metadata;                    /* TRIMLET_STRIP or TRIMLET_KEEP */
    /* 1.2 */
    long long max_pixels;            /* 0: TRIMLET_DEFAULT_MAX_PIXELS; > 0: refuse inputs of
                                        more pixels (width * height, from the header, before
                                        any pixel is decoded) than this
                                        (TRIMLET_ERR_TOO_LARGE); < 0: no limit beyond 32768
                                        a side, as in 1.1 */
    int position;                    /* TRIMLET_CENTRE (default) .. TRIMLET_ATTENTION: where
                                        TRIMLET_ASPECT and TRIMLET_RATIO place their box */
    int resize_w, resize_h;          /* > 0: scale the crop down to fit within this box,
                                        keeping its ratio, never enlarging; 0: that side is
                                        free (both 0: no resize). The side that sets the
                                        scale gets exactly its target, the other its
                                        rounded share (at least 1), so RATIO w:h with resize
                                        w x h gives exactly w x h from any crop at least
                                        that large. Scaled after the crop and the orient
                                        turn, before encoding (the filter and the rounding:
                                        docs/thumbnails.md). A JPEG scaled to
                                        1/2 or less is decoded at 1/2, 1/4 or 1/8 first (at
                                        least twice the output's size). Not with lossless. */
    /* 1.3 */
    int frames;       /* animation: 0 the first frame (default); TRIMLET_ALL_FRAMES (-1) every frame; other values ARGUMENT */
    int verify;       /* speed: TRIMLET_VERIFY_WHOLE (0, default) or TRIMLET_VERIFY_REGION (1) */
    int effort;       /* speed: 0 each format's 1.2 default; 1 (fastest) .. 10 (smallest) */
    int png_compact;  /* speed: 0 8-bit RGBA as 1.2 (default); 1 the smallest colour type that holds the crop exactly */
} trimlet_options;

/* What a rule cuts, as the plan functions report it. */
typedef struct trimlet_box {
    int x, y, w, h;       /* the rectangle the rule cuts (with lossless: moved onto
                             the block grid, as it is cut) */
    int image_w, image_h; /* the decoded image it was cut from (upright with
                             TRIMLET_APPLY_EXIF) */
} trimlet_box;

/* Crops the file at input_path by `rule` and writes the result to
 * output_path, in the format options->format names or else the one the
 * output path's extension names (see OUTPUT FORMATS).
 *
 * The output is never left half-written: the image is written to a temporary
 * file in the output's folder, which replaces the output only once it is
 * complete and closed. On any failure the temporary file is removed and an
 * existing output is left exactly as it was. Replacing a regular file keeps
 * its permission bits; a symbolic link is written through (it stays a link);
 * an output that exists and is not a regular file (a device, a pipe) is
 * written directly. The same path for input and output is a safe in-place
 * crop.
 *
 * Returns 1 on success and 0 on failure, with the message in `error` (as
 * trimlet_run's, "<rule>: NULL input/output" for a NULL path). */
TRIMLET_API int trimlet_crop_file(const char *input_path, const char *output_path, int rule,
                                  const int *params, const trimlet_options *options,
                                  char *error);

/* Crops the input_size bytes of an image file held at `input` (read only,
 * still the caller's) and returns the encoded result in a block the library
 * allocates: on success *output points to it and *output_size is its length;
 * the block is the caller's, to release with trimlet_free (never with free:
 * on Windows the library and the host may use different heaps). On failure
 * *output is NULL and *output_size 0. The format is options->format, PNG
 * when that is NULL. Returns 1 or 0 with the message in `error` (as
 * trimlet_run's, "<memory>" standing for the input's path; "<rule>: NULL
 * input/output" when input, output or output_size is NULL). */
TRIMLET_API int trimlet_crop_memory(const void *input, size_t input_size, int rule,
                                    const int *params, const trimlet_options *options,
                                    void **output, size_t *output_size, char *error);

/* Reads the file exactly as trimlet_crop_file does and stores the rectangle
 * the rule would cut in *box, writing nothing. A plan and a crop of the same
 * input with the same options agree on the box and on every failure and its
 * message. Returns 1 or 0 with the message in `error` ("<rule>: NULL
 * input/box" for a NULL input or box); on failure *box is all zeros. */
TRIMLET_API int trimlet_plan_file(const char *input_path, int rule, const int *params,
                                  const trimlet_options *options, trimlet_box *box,
                                  char *error);

/* trimlet_plan_file for an image file held in memory (read only). */
TRIMLET_API int trimlet_plan_memory(const void *input, size_t input_size, int rule,
                                    const int *params, const trimlet_options *options,
                                    trimlet_box *box, char *error);

/* Releases a block of output the library returned (trimlet_crop_memory's
 * *output, trimlet_result.output). NULL does nothing. */
TRIMLET_API void trimlet_free(void *block);

/* ------------------------------------------------------------------------
 * trimlet_run (since 1.2)
 *
 * One call for every input and output: input from a file or memory; output
 * to a file (replaced safely, as trimlet_crop_file does), to memory, or
 * nowhere (a plan). Every failure has a class, result->status: programs
 * branch on it, people read result->error. Reentrant, as the five.
 * ------------------------------------------------------------------------ */

/* The class of a failure. Values and meanings are fixed for good: a failure
 * keeps its class in every later version, whatever its message says. */
typedef enum trimlet_status {
    TRIMLET_OK = 0,
    TRIMLET_ERR_ARGUMENT = 1,    /* a NULL or out-of-range argument, parameter or option (an unknown format name
                                    included); an unknown rule; a request or result record larger than ours */
    TRIMLET_ERR_RULE = 2,        /* the rule leaves no rectangle (rect wholly outside, auto finds no content, ...) */
    TRIMLET_ERR_UNSUPPORTED = 3, /* the input's bytes are no image type this library knows (an empty input
                                    too); an output extension it does not write; a lossless cut with a
                                    non-JPEG */
    TRIMLET_ERR_CORRUPT = 4,     /* the input is damaged or truncated */
    TRIMLET_ERR_TOO_LARGE = 5,   /* over a size limit: 32768 a side, a file over 2 GiB, max_pixels, or an
                                    output format's own limit */
    TRIMLET_ERR_READ = 6,        /* the input file cannot be opened or read */
    TRIMLET_ERR_WRITE = 7,       /* the output cannot be written */
    TRIMLET_ERR_NO_MEMORY = 8,
    TRIMLET_ERR_UNAVAILABLE = 9  /* an option, or a format the library knows by its first bytes or its name,
                                    that this build does not have (WebP input without libwebp) */
} trimlet_status;

/* What to crop, how, and where to. Zero-fill it, set `size`, then the rest.
 * Fields are only ever appended; a smaller `size` (an older caller) gives
 * the fields past it their defaults (0 / NULL). The library only reads the
 * record and what it points to, during the call. */
typedef struct trimlet_request {
    size_t size;                    /* sizeof(trimlet_request) as the caller was built */
    const char *input_path;         /* the input file (UTF-8), or NULL to read `input` */
    const void *input;              /* the input bytes, when input_path is NULL */
    size_t input_size;
    const char *output_path;        /* write the crop here, safely as trimlet_crop_file does; or NULL */
    int output_to_memory;           /* nonzero: return the encoded crop in result->output */
    int rule;                       /* enum trimlet_rule */
    const int *params;
    const trimlet_options *options; /* NULL: the defaults */
} trimlet_request;
/* Neither output_path nor output_to_memory: a plan (the box, nothing encoded).
   Both: refused (TRIMLET_ERR_ARGUMENT). */

/* What a call did. The caller owns the record and sets `size`; the library
 * fills the rest. */
typedef struct trimlet_result {
    size_t size;                    /* set by the caller: sizeof(trimlet_result) */
    int status;                     /* TRIMLET_OK or the failure's class */
    trimlet_box box;                /* the box cut or planned, and the image size; zeros on failure */
    int output_w, output_h;         /* the size of the picture encoded (or that would be):
                                       the box's, or what resize scales it to */
    void *output;                   /* with output_to_memory: the bytes, the caller's; release
                                       with trimlet_free */
    size_t output_size;
    const char *output_format;      /* the format written: "png", "jpeg", "bmp", "tga", "webp",
                                       "avif" or "gif", a static string; NULL for a plan or a
                                       failure */
    char error[TRIMLET_ERROR_SIZE]; /* "" on success, else one line, the 1.1 functions' texts */
    /* 1.3 */
    const char *input_format;       /* the input's format: "jpeg", "png", "gif", "webp", "tiff",
                                       "heic", "avif", "heif" (neither of those two), "bmp",
                                       "psd", "tga", "hdr", "pic" or "pnm", a static string; set
                                       whenever the input was read and its type known, on
                                       failure too (a damaged JPEG is still "jpeg"); NULL when
                                       the input's type is not known or it could not be read */
    int frames;                     /* the input's frame count (1 for a still, an animated
                                       GIF's or WebP's frames whatever options->frames asks);
                                       0 on failure */
} trimlet_result;

/* Runs one request: reads the input (input_path, else the input_size bytes at
 * input), chooses the rule's box, and writes the crop to output_path, into
 * result->output (output_to_memory), or nowhere (a plan).
 *
 * Returns 1 on success, 0 on failure. The library writes only the first
 * result->size bytes of *result (a size that does not reach past `status`
 * gets nothing written, and 0); a request or result larger than this
 * library's is refused with TRIMLET_ERR_ARGUMENT; a smaller request gives the
 * fields past its size their defaults. On failure status holds the class, the
 * box, sizes and output are zero and NULL, and error holds the message (the
 * texts: docs/library.md, "Messages"). With output_to_memory, result->output
 * is a block the caller releases with trimlet_free.
 *
 * Reentrant: any number of calls at once, on any threads. */
TRIMLET_API int trimlet_run(const trimlet_request *request, trimlet_result *result);

/* The version of the library actually loaded, e.g. "1.3.0" (compare with
 * TRIMLET_VERSION_STRING, the header's). A static string, the library's.
 * Reentrant. */
TRIMLET_API const char *trimlet_version(void);

/* The names of the OUTPUT FORMATS table, as lists of string literals for an
 * array's initializer, for hosts that list the formats in their own texts:
 * every name options->format and an output extension take, in the table's
 * order; and each format once, by the name trimlet_result.output_format
 * gives it. Which of them the library loaded writes: trimlet_has(".<name>"). */
#define TRIMLET_OUTPUT_NAMES "png", "jpg", "jpeg", "bmp", "tga", "webp", "avif", "gif"
#define TRIMLET_OUTPUT_FORMATS "png", "jpeg", "bmp", "tga", "webp", "avif", "gif"

/* 1 when this build has the named feature, else 0 (any unknown name, NULL
 * included). An output extension with its dot (".png", ".jpg", ... any name
 * of TRIMLET_OUTPUT_NAMES, in any ASCII case) is 1 when trimlet_run writes
 * that format here (the OUTPUT FORMATS table's last column).
 * Features: "libjpeg-turbo" (JPEG decoded and encoded by it),
 * "lossless" (the lossless option's JPEG cut; lossless WebP output comes with
 * "webp"; GIF output is always lossless, cut from a GIF's stored frames, see
 * TRIMLET_ALL_FRAMES), "libspng", "webp" (read and written), "avif" (read),
 * "avif-write", "heic", "tiff", "position", "resize", "verify", "effort",
 * "png-compact", "animation" (the frames option: every frame of a GIF with
 * giflib, of a WebP with libwebp), "gif" (giflib: GIF animations read frame
 * by frame, and GIF output). "heic", "avif" and
 * "avif-write" are asked of the libheif loaded, at the call: 1 when it has
 * the HEVC decoder, the AV1 decoder, the AV1 encoder. Reentrant. */
TRIMLET_API int trimlet_has(const char *feature);

#ifdef __cplusplus
}
#endif

#endif /* TRIMLET_H */
