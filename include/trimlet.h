/* trimlet: crop image files. SPDX-License-Identifier: MIT */
#ifndef TRIMLET_H
#define TRIMLET_H

/*
 * trimlet decodes an image file (any format stb_image reads: JPEG, PNG, BMP,
 * PSD, TGA, GIF, HDR, PIC, PNM), chooses a rectangle by one of four rules,
 * and writes that rectangle to an output file whose format follows the output
 * path's extension:
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
 *     trimlet_last_error(). A successful crop clears it. Nothing is printed.
 *   - Paths are NUL-terminated narrow strings, owned by the caller and only
 *     read. They are passed to the C runtime's fopen unchanged.
 *   - Input and output may name the same file: the input is read and closed
 *     before the output is opened. When encoding fails before any byte is
 *     produced, an existing output file is left untouched.
 *   - Every call allocates and frees its own memory; nothing survives a call
 *     except the error text.
 *
 * Thread safety: the library starts no threads, but the error buffer is one
 * per process and unguarded. A host that calls trimlet from several threads
 * must serialise its calls (for example with one mutex around each call and
 * the following trimlet_last_error read).
 */

#if defined(_WIN32) || defined(__CYGWIN__)
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
#define TRIMLET_VERSION_MINOR 0
#define TRIMLET_VERSION_PATCH 0
#define TRIMLET_VERSION_STRING "1.0.0"

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

#ifdef __cplusplus
}
#endif

#endif /* TRIMLET_H */
