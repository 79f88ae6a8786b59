/* trimlet: crop image files. SPDX-License-Identifier: MIT */
#ifndef TRIMLET_H
#define TRIMLET_H

/*
 * trimlet decodes an image file (any format stb_image reads: JPEG, PNG, BMP,
 * PSD, TGA, GIF, HDR, PIC, PNM; and WebP, TIFF, HEIC and AVIF where the build
 * has their libraries: see trimlet_has), chooses a rectangle by one of four
 * rules, and writes that rectangle to an output file. The seven functions
 * below choose the output format by the output path's extension (the
 * reentrant interface further down also writes WebP and AVIF, and refuses
 * extensions it does not know):
 *
 *   ".jpg" / ".jpeg"  JPEG, quality 90, alpha flattened onto white
 *   ".bmp"            24-bit BMP, alpha flattened onto white
 *   ".tga"            32-bit TGA (run-length encoded), alpha kept
 *   anything else     PNG, 8-bit RGBA, alpha kept
 *
 * The extension is the text after the last dot of the path, compared without
 * regard to ASCII case. Input images may be at most 32768 pixels per side.
 *
 * Conventions shared by every function:
 *   - Crop functions return nonzero on success and 0 on failure.
 *   - On failure, one line of English (no trailing newline, at most 511
 *     characters) is left in the library's error buffer; read it with
 *     trimlet_last_error(). A successful crop clears it. Nothing is printed
 *     by trimlet; a codec libheif calls may print a line to stderr about a
 *     damaged HEIC or AVIF file (dav1d, libde265: see docs/formats.md).
 *   - Paths are NUL-terminated narrow strings, owned by the caller and only
 *     read. They are passed to the C runtime's fopen unchanged.
 *   - Input and output may name the same file: the input is read and closed
 *     before the output is opened. When encoding fails before any byte is
 *     produced, an existing output file is left untouched.
 *   - Every call allocates and frees its own memory; nothing survives a call
 *     except the error text.
 *
 * Thread safety: the library starts no threads of its own. Codecs it calls
 * may: decoding a HEIC file, libde265 (started by libheif) runs worker
 * threads, and decoding an AVIF file, dav1d starts its own (libheif 1.15 does
 * not let a caller turn either off); they end before the call returns. AVIF
 * output asks the aom encoder for one thread and starts none.
 * The seven functions below share one error buffer per process, unguarded:
 * a host that calls them from several threads must serialise those calls
 * (for example with one mutex around each call and the following
 * trimlet_last_error read). The reentrant interface further down
 * (trimlet_run, trimlet_crop_file, trimlet_crop_memory, trimlet_plan_file,
 * trimlet_plan_memory, trimlet_free, trimlet_version, trimlet_has) keeps no
 * shared state and may run on any number of threads at once, also while the
 * seven run.
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

#define TRIMLET_VERSION_MAJOR 1
#define TRIMLET_VERSION_MINOR 2
#define TRIMLET_VERSION_PATCH 0
#define TRIMLET_VERSION_STRING "1.2.0"

#ifdef __cplusplus
extern "C" {
#endif

/* Clears the error text and returns 1. Optional: crop calls work without it.
 * Allocates nothing; may be called any number of times. */
TRIMLET_API int trimlet_init(void);

/* Clears the error text. There is nothing else to release; may be called any
 * number of times, before or after trimlet_init. */
TRIMLET_API void trimlet_cleanup(void);

/* Returns the library's error buffer: the message of the last failed crop
 * call, or "" when the last crop call succeeded (or after trimlet_init /
 * trimlet_cleanup). Never NULL. The buffer belongs to the library, keeps the
 * same address for as long as the library is loaded, and is overwritten by
 * the next failing call: copy the text if you need to keep it.
 *
 * Messages every crop function can leave (besides its own, listed below):
 *   "cannot decode '<path>': <decoder reason>"   e.g. reason "can't fopen"
 *   "image too large: <w>x<h>"                   a side above 32768
 *   "out of memory for <w>x<h> crop"
 *   "out of memory"
 *   "cannot encode '<path>' (check the extension)"   output not writable,
 *                                                    disk full, I/O error */
TRIMLET_API const char *trimlet_last_error(void);

/* Crops to the rectangle with top-left corner (x, y) and size w x h, clipped
 * to the image. x and y may be negative; any ints are accepted.
 * Fails with:
 *   "rect: NULL input/output"
 *   "rect: width/height must be > 0 (got <w>x<h>)"
 *   "rect: <x>,<y> <w>x<h> does not overlap the <W>x<H> image" */
TRIMLET_API int trimlet_rect(const char *input_path, const char *output_path,
                             int x, int y, int w, int h);

/* Crops the largest centred region with the ratio chosen by index:
 *   0 = 1:1, 1 = 4:3, 2 = 16:9, 3 = 3:2, 4 = 9:16 (width:height).
 * The cut side is rounded to the nearest pixel; an odd leftover pixel goes to
 * the right or bottom margin.
 * Fails with:
 *   "aspect: NULL input/output"
 *   "aspect: ratio <index> out of range 0..4"
 *   "aspect: image has no pixels (<W>x<H>)" */
TRIMLET_API int trimlet_aspect(const char *input_path, const char *output_path,
                               int ratio_index);

/* Trims uniform borders: keeps the bounding box of every pixel that differs
 * from the corner pixel of its own quadrant by more than
 * tolerance_percent * 255 / 100 in any of R, G, B or A. The tolerance is
 * clamped to 0..100. For odd sizes the middle column or row belongs to the
 * right or bottom half.
 * Fails with:
 *   "auto: NULL input/output"
 *   "auto: image is uniform (nothing to crop to, tolerance <t>)" */
TRIMLET_API int trimlet_auto(const char *input_path, const char *output_path,
                             int tolerance_percent);

/* Cuts a percentage from each side: top and bottom of the height, right and
 * left of the width, each cut rounded down to whole pixels. Each percentage
 * must be 0..49.
 * Fails with:
 *   "edges: NULL input/output"
 *   "edges: negative percentage (t=<top> r=<right> b=<bottom> l=<left>)"
 *   "edges: percentage must be 0..49 (t=<top> r=<right> b=<bottom> l=<left>)"
 *   "edges: left+right=<n>% leaves no columns (<W> px wide)"
 *   "edges: top+bottom=<n>% leaves no rows (<H> px tall)" */
TRIMLET_API int trimlet_edges(const char *input_path, const char *output_path,
                              int top, int right, int bottom, int left);

/* ------------------------------------------------------------------------
 * Reentrant interface (since 1.1)
 *
 * Five functions beside the seven, for hosts that crop from memory, want the
 * rectangle without writing a file, need options, or run on many threads.
 * They follow the seven's conventions (1 on success, 0 on failure; the same
 * rules, limits and formats) with these differences:
 *
 *   - The rule is a number (enum trimlet_rule) and its ints come in an array
 *     `params`; entries past the rule's count are not read.
 *   - `options` may be NULL: every default equals what the seven do.
 *   - `error` is NULL or a buffer of at least TRIMLET_ERROR_SIZE bytes. On
 *     failure it receives the one-line message, on success "". These
 *     functions never read or write the seven's buffer (trimlet_last_error).
 *   - Messages are the seven's for the same failure, with "<memory>" where a
 *     path would stand for memory input, except that a file that cannot be
 *     opened, read or written names the system's reason
 *     ("cannot decode 'x.png': No such file or directory",
 *      "cannot write 'out/x.png': No space left on device"), and a bad option
 *     names the field and its value.
 *   - Paths are UTF-8 on every system (on Windows they are converted to
 *     UTF-16 and opened with the wide-character calls).
 *   - Thread safety: any number of calls may run at once on any threads.
 * ------------------------------------------------------------------------ */

/* Size of the buffer the reentrant functions write their message into. */
#define TRIMLET_ERROR_SIZE 512

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
 * TRIMLET_APPLY_EXIF reads the Orientation tag (values 1 to 8) of a JPEG's
 * Exif APP1 segment or a PNG's eXIf chunk and turns or mirrors the picture
 * as that value says before the rule runs, so the rule's rectangle, the
 * plan's box and its image_w/image_h are those of the upright picture a
 * viewer shows. Other formats, a missing tag and a malformed Exif block
 * (the reader checks every offset and count, and a loop in the chain of
 * IFDs) count as 1: the picture as stored. An Exif block carried into the
 * output (TRIMLET_KEEP) then says Orientation 1, so no viewer turns the
 * crop again. HEIC and AVIF are always read upright, whatever this option:
 * their container's rotation, mirroring and clean aperture are part of the
 * picture, their Exif Orientation is never applied, and Exif carried from
 * them says Orientation 1.
 *
 * Memory: rules that look at the size alone (rect, aspect, edges, ratio) cut
 * the stored pixels and turn only the crop, after the source is freed, so
 * the peak is that of the same crop without the option, or two crop-sized
 * blocks while the crop turns (orientations 5 to 8; 2 to 4 turn in place),
 * whichever is larger. Auto looks at the pixels and needs the whole picture
 * upright: orientations 2 to 4 turn it in place, 5 to 8 need a second
 * decoded-size block, so its peak is twice the decoded image (w * h * 4
 * bytes each).
 *
 * With lossless, a JPEG whose Orientation is 1 (or absent) is cut as stored;
 * any other is turned or mirrored losslessly in the same transform, the box
 * chosen on the upright image and moved onto the turned image's block grid,
 * and a kept Exif block says Orientation 1. The turn moves whole blocks
 * only: the stored image's partial blocks (its width and height modulo the
 * 8- or 16-pixel block) cannot be mirrored, so where a turn brings them to
 * the upright image's left or top edge, a box reaching into them is refused
 * (TRIMLET_ERR_UNSUPPORTED, "lossless: cannot turn ... exactly"); use
 * TRIMLET_AS_STORED to cut such a file as stored. For a turn that swaps the
 * sides (orientations 5 to 8) of a file with 4:2:2 or 4:4:0 chroma, the grid
 * is 16 pixels both ways. */
#define TRIMLET_AS_STORED 0  /* the pixel grid as stored in the file (default) */
#define TRIMLET_APPLY_EXIF 1 /* turned upright by the EXIF Orientation tag */

/* Values of trimlet_options.metadata.
 *
 * TRIMLET_KEEP copies the input's ICC profile, byte for byte, into PNG
 * output (an iCCP chunk) and JPEG output (APP2 "ICC_PROFILE" segments of at
 * most 65519 bytes each), and its Exif block into PNG (eXIf) and JPEG (APP1
 * "Exif") output, with the Orientation tag as it was, or made 1 with
 * TRIMLET_APPLY_EXIF (the pixels are upright already). BMP and TGA output
 * carry neither.
 * Profiles are read from JPEG APP2 segments (only when their numbers run 1
 * to n with one count n) and PNG iCCP chunks (at most 255 * 65519 bytes
 * inflated); a profile or Exif block that does not hold together is left
 * out, never failing the crop. An Exif block longer than one JPEG segment
 * holds (65527 bytes) is left out of JPEG output. HEIC and AVIF input give
 * their ICC profile (an nclx colour description is none) and their first Exif
 * item; AVIF output carries both (a colr box and an Exif item). */
#define TRIMLET_STRIP 0 /* write no ICC profile and no EXIF (default) */
#define TRIMLET_KEEP 1  /* carry the input's ICC profile and EXIF into PNG and JPEG */

/* Values of trimlet_options.position: where TRIMLET_ASPECT and TRIMLET_RATIO
 * place their box. The box's size is always the rule's; only x and y move.
 * The compass gravities are exact: north puts y at 0 and x where the centre
 * box has it, east puts x at image_w - w, and so on. Other rules refuse any
 * position but TRIMLET_CENTRE.
 *
 * TRIMLET_ENTROPY and TRIMLET_ATTENTION slide the box along the one axis it
 * is shorter than the image (it spans the other) and keep the window a
 * measure rates highest, judged on a copy of the upright picture averaged
 * down to at most 320 pixels on its long side (a JPEG is decoded at 1/2, 1/4
 * or 1/8 scale for it), less one reduced pixel on each side of the window:
 *   entropy    the Shannon entropy of the window's luminance histogram;
 *   attention  the sum over the window of each pixel's score squared (so a
 *              small striking subject outweighs broad mild texture), the
 *              score being the luminance gradient where it exceeds 12 levels
 *              (edges, texture), plus the colour's saturation (max - min of
 *              R, G, B) above 48, plus 96 for skin tones (a box in YCbCr
 *              chroma).
 * Scores within 0.5 % of the best (entropy: 0.005 bits) tie, and a tie goes
 * to the window nearest the centre: a flat picture keeps the centre box. */
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
 * in or above the crop's rows still fails the call. Rules and positions that
 * look at the whole picture (TRIMLET_AUTO, TRIMLET_ENTROPY,
 * TRIMLET_ATTENTION) and lossless cuts need the whole image, and there
 * verify changes nothing; lossy WebP and TIFF decode only what the crop
 * needs with either value, other formats decode whole with either. */
#define TRIMLET_VERIFY_WHOLE 0  /* the whole file is decoded for its verdict (default) */
#define TRIMLET_VERIFY_REGION 1 /* decoding stops after the crop's last row */

/* trimlet_options.effort: how hard the encoders work, 1 (fastest) .. 10
 * (smallest files); 0 keeps each format's 1.2 setting exactly. The mapping:
 *   PNG   1: filter None for the whole image, libdeflate level 1;
 *         2..9: one filter for the whole image by trial (as 1.2), libdeflate
 *         level 1, 2, 3, 4, 6, 8, 10, 11;
 *         10: the filter chosen per row (smallest sum of absolute values),
 *         libdeflate level 12.
 *         0 is 1.2's: one filter by trial, level 3 (effort 4 the same).
 *   WebP  the method (-m): effort 1..10 gives 0, 1, 1, 2, 3, 4, 4, 5, 6, 6
 *         (0: 1.2's 4, which effort 6 and 7 give too).
 *   AVIF  the aom encoder's speed: effort 1..10 gives 9, 8, 7, 6, 5, 4, 3,
 *         2, 1, 0 (0: 1.2's speed 8, which effort 2 gives too).
 *   JPEG, BMP and TGA ignore it. */

/* trimlet_options.png_compact: 1 writes PNG output in the smallest lossless
 * form that holds the crop exactly: a palette of 1, 2, 4 or 8 bits (with a
 * tRNS chunk where some colour is not opaque) when it has at most 256
 * distinct RGBA colours; else grey (with alpha when some pixel is not
 * opaque) when every pixel has R = G = B; else RGB when every pixel is
 * opaque; else 8-bit RGBA. Decoding the file gives exactly the RGBA pixels
 * the 8-bit RGBA file (0, the default, as 1.2) gives. */

/* Options of one call. Zero-fill the record (or pass NULL) for the defaults,
 * set `size` to sizeof(trimlet_options), then set what you need. The fields
 * keep this order for good; later versions only append fields. A `size`
 * smaller than this library's record gives the fields past it their defaults;
 * a larger one (a caller built against a newer header) is refused, so an
 * option asked for is never silently lost. */
typedef struct trimlet_options {
    size_t size;                     /* sizeof(trimlet_options) as the caller was built */
    const char *format;              /* NULL: by the output path's extension (PNG for memory
                                        output); else "png", "jpg", "jpeg", "bmp" or "tga"
                                        (and "webp", "avif" where built), in any ASCII case */
    int quality;                     /* JPEG, WebP and AVIF quality 1..100; 0 means the
                                        format's default: JPEG 90, WebP 80, AVIF 50 */
    const unsigned char *background; /* 3 bytes R, G, B that alpha is flattened onto for
                                        JPEG and BMP; NULL means white */
    int lossless;                    /* nonzero: with WebP output, lossless WebP of any
                                        input, every pixel exact (the colour under
                                        transparent pixels too); with any other output,
                                        cut a JPEG input's DCT coefficients into a
                                        JPEG output, without decoding and re-encoding; the
                                        box's top-left corner moves up and left onto the
                                        file's 8- or 16-pixel block grid (quality and
                                        background then do nothing). With
                                        TRIMLET_APPLY_EXIF the coefficients are turned
                                        upright in the same transform (see below) */
    int orient;                      /* TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF */
    int metadata;                    /* TRIMLET_STRIP or TRIMLET_KEEP */
    /* 1.2 */
    long long max_pixels;            /* 0: TRIMLET_DEFAULT_MAX_PIXELS; > 0: refuse inputs of
                                        more pixels (width * height, from the header, before
                                        any pixel is decoded) than this; < 0: no limit beyond
                                        32768 a side, as in 1.1 */
    int position;                    /* TRIMLET_CENTRE (default) .. TRIMLET_ATTENTION: where
                                        TRIMLET_ASPECT and TRIMLET_RATIO place their box */
    int resize_w, resize_h;          /* > 0: scale the crop down to fit within this box,
                                        keeping its ratio, never enlarging; 0: that side is
                                        free (both 0: no resize). With s = the smaller of
                                        resize_w / w and resize_h / h (a free side left out),
                                        the side that sets s is exactly its target, the other
                                        max(1, round(side * s)), halves up; so RATIO w:h with
                                        resize w x h gives exactly w x h from any crop at
                                        least that large. After the crop (and the orient
                                        turn), before encoding: Lanczos 3 on the sRGB values,
                                        alpha premultiplied while filtering. A JPEG scaled to
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
    int image_w, image_h; /* the decoded image it was cut from */
} trimlet_box;

/* Crops the file at input_path by `rule` and writes the result to
 * output_path, in the format options->format names or else the one the
 * output path's extension selects (as the seven choose).
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
 * Returns 1 on success and 0 on failure, with the message in `error`. Besides
 * the seven's messages for the same rule:
 *   "cannot decode '<path>': <system reason>"   input missing or unreadable
 *   "cannot write '<path>': <system reason>"    output folder missing,
 *                                               read-only, disk full, ...
 *   "<rule>: NULL input/output"                 e.g. "rect: NULL input/output"
 *   "<rule>: NULL params"
 *   "crop: unknown rule <n>"                    rule not in enum trimlet_rule
 *   "ratio: parts must be > 0 (got <w>:<h>)"
 *   "options: size <n> is larger than this library's <m> (built against a newer header)"
 *   "options: unknown format '<f>' (png, jpg, jpeg, bmp or tga)"
 *   "options: quality <q> out of range 1..100"
 *   "options: orient <n> is not TRIMLET_AS_STORED or TRIMLET_APPLY_EXIF"
 *   "options: metadata <n> is not TRIMLET_STRIP or TRIMLET_KEEP"
 *   "options: position <n> out of range 0..10"
 *   "options: position applies to aspect and ratio only"
 *   "options: resize <w>x<h> must not be negative"
 *   "options: resize cannot be combined with lossless"
 *   "options: frames <n> is not 0 (the first) or TRIMLET_ALL_FRAMES"
 *   "frames: '<path>' has <n> frames and <format> holds one: choose a frame
 *    (frames 0, the first) or an animating format (gif, webp)"
 *   "animation too large: <n> frames of <w>x<h> are more than <m> pixels (16 x max_pixels)"
 *   "GIF output needs a GIF input"
 *   "options: verify <n> is not TRIMLET_VERIFY_WHOLE or TRIMLET_VERIFY_REGION"
 *   "options: effort <n> out of range 0..10"
 *   "options: png_compact <n> is not 0 or 1"
 *   "lossless: output must be JPEG, not <format>"
 *   "lossless: '<path>' is not a JPEG file"
 *   "lossless: cannot cut '<path>': <reason>"    libjpeg-turbo refused the file
 *                                               (corrupt or truncated data, ...)
 *   "lossless: cannot turn '<path>' exactly: the box reaches the partial blocks
 *    along the upright image's <left|top> edge (<x|y> < <n>), which a lossless
 *    turn cannot keep"                          (orient with lossless, see above)
 *   and, while an option is not built yet, "options: <field> is not available
 *   in this build". */
TRIMLET_API int trimlet_crop_file(const char *input_path, const char *output_path, int rule,
                                  const int *params, const trimlet_options *options,
                                  char *error);

/* Crops the input_size bytes of an image file held at `input` and returns the
 * encoded result in a block the library allocates: on success *output points
 * to it and *output_size is its length; release it with trimlet_free (never
 * with free: on Windows the library and the host may use different heaps).
 * On failure *output is NULL and *output_size 0. The format is
 * options->format, PNG when that is NULL. Messages as trimlet_crop_file's,
 * with "<memory>" for the input path, and "<rule>: NULL input/output" when
 * input, output or output_size is NULL. */
TRIMLET_API int trimlet_crop_memory(const void *input, size_t input_size, int rule,
                                    const int *params, const trimlet_options *options,
                                    void **output, size_t *output_size, char *error);

/* Decodes and screens the file exactly as trimlet_crop_file does and stores
 * the rectangle the rule would cut in *box, writing nothing. A plan and a
 * crop of the same input with the same options agree on the box and on every
 * failure and its message ("<rule>: NULL input/box" for a NULL input or box).
 * On failure *box is all zeros. */
TRIMLET_API int trimlet_plan_file(const char *input_path, int rule, const int *params,
                                  const trimlet_options *options, trimlet_box *box,
                                  char *error);

/* trimlet_plan_file for an image file held in memory. */
TRIMLET_API int trimlet_plan_memory(const void *input, size_t input_size, int rule,
                                    const int *params, const trimlet_options *options,
                                    trimlet_box *box, char *error);

/* Releases a block returned by trimlet_crop_memory. NULL does nothing. */
TRIMLET_API void trimlet_free(void *block);

/* ------------------------------------------------------------------------
 * One call for every input and output (since 1.2)
 *
 * trimlet_run takes its input from a file or from memory and writes the crop
 * to a file (replaced safely, as trimlet_crop_file does), to memory, or
 * nowhere (a plan). Every failure of every function has a class: hosts
 * branch on result->status, people read result->error. The five functions
 * above are thin wrappers over trimlet_run with the same results and
 * messages.
 *
 * Changed in 1.2 for trimlet_run and the five (the seven keep 1.1's rules):
 *   - inputs over options->max_pixels (by default 268402689 pixels) are
 *     refused from their header: "image too large: <w>x<h> is more than <n>
 *     pixels (max_pixels)";
 *   - an output path must end in .png, .jpg, .jpeg, .bmp or .tga (or a format
 *     this build adds) unless options->format names the format:
 *     "cannot write '<path>': unknown output extension (png, jpg, jpeg, bmp or
 *     tga; or set options->format)".
 * ------------------------------------------------------------------------ */

/* The class of a failure. Values are fixed for good. */
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
 * the fields past it their defaults (0 / NULL). */
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

/* What a call did. The caller sets `size`; the library fills the rest. */
typedef struct trimlet_result {
    size_t size;                    /* set by the caller: sizeof(trimlet_result) */
    int status;                     /* TRIMLET_OK or the failure's class */
    trimlet_box box;                /* the box cut or planned, and the image size; zeros on failure */
    int output_w, output_h;         /* the size of the picture encoded (or that would be):
                                       the box's, or what resize scales it to */
    void *output;                   /* with output_to_memory: the bytes; release with trimlet_free */
    size_t output_size;
    const char *output_format;      /* "png", "jpeg", "bmp", "tga" (and "webp", "avif", "gif"):
                                       what was written, a static string; NULL for a plan or a failure */
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
 * Returns 1 on success, 0 on failure, as every function here. The library
 * writes only the first result->size bytes of *result (a size that does not
 * reach past `status` gets nothing written, and 0); a request or result
 * larger than this library's is refused with TRIMLET_ERR_ARGUMENT; a smaller
 * request gives the fields past its size their defaults. On failure the box,
 * sizes and output are zero and NULL, and error holds the message.
 *
 * Messages besides those of trimlet_crop_file:
 *   "run: NULL request"
 *   "request: size <n> is larger than this library's <m> (built against a newer header)"
 *   "result: size <n> is larger than this library's <m> (built against a newer header)"
 *   "result: size <n> cannot hold the output (output_to_memory)"
 *   "<rule>: NULL input"
 *   "<rule>: both output_path and output_to_memory are set"
 *
 * Thread safety: as the five above, any number of calls at once. */
TRIMLET_API int trimlet_run(const trimlet_request *request, trimlet_result *result);

/* The version of the library actually loaded, e.g. "1.2.0" (compare with
 * TRIMLET_VERSION_STRING, the header's). A static string. */
TRIMLET_API const char *trimlet_version(void);

/* 1 when this build has the named feature, else 0 (any unknown name, NULL
 * included). Features: "libjpeg-turbo" (JPEG decoded and encoded by it),
 * "lossless" (the lossless option's JPEG cut; lossless WebP output comes with
 * "webp"; GIF output is always lossless, cut from a GIF's stored frames, see
 * TRIMLET_ALL_FRAMES), "libspng", "webp", "avif" (read),
 * "avif-write", "heic", "tiff", "position", "resize", "verify", "effort", "png-compact", "animation" (the frames option:
 * every frame of a GIF with giflib, of a WebP with libwebp), "gif" (giflib:
 * GIF animations read frame by frame, and GIF output). "heic", "avif" and
 * "avif-write" are asked of the libheif loaded, at the call: 1 when it has
 * the HEVC decoder, the AV1 decoder, the AV1 encoder. */
TRIMLET_API int trimlet_has(const char *feature);

#ifdef __cplusplus
}
#endif

#endif /* TRIMLET_H */
