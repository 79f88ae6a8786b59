// SPDX-License-Identifier: MIT
// Test helpers: generated images, an independent reader for each output
// format (libpng, libjpeg, a hand-written BMP/TGA parser) and scratch files.
#ifndef TRIMLET_TEST_SUPPORT_H
#define TRIMLET_TEST_SUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tt {

// An RGBA picture, rows top to bottom, 4 bytes a pixel.
struct Pixels {
    int w = 0;
    int h = 0;
    std::vector<uint8_t> rgba;

    uint8_t *at(int x, int y) { return &rgba[(size_t(y) * w + x) * 4]; }
    const uint8_t *at(int x, int y) const { return &rgba[(size_t(y) * w + x) * 4]; }
};

// w x h filled with one colour.
Pixels solid(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255);

// Pixel (x, y) holds R = x & 255, G = y & 255, B = (x >> 8) * 16 + (y >> 8)
// and A = 255 - ((x + y) & 127), so that a wrong offset, stride, axis or
// channel order shows up as a readable difference.
Pixels gradient(int w, int h);

// The w x h block of p at (x, y), exactly as the library should cut it.
Pixels crop(const Pixels &p, int x, int y, int w, int h);

// Alpha composited over white with the library's rounding, alpha set to 255.
Pixels flatten(const Pixels &p);

// Writers for generated inputs (libpng for PNG, hand-written for the rest).
void write_png(const std::string &path, const Pixels &p);
void write_bmp24(const std::string &path, const Pixels &p);  // drops alpha
void write_ppm(const std::string &path, const Pixels &p);    // P6, maxval 255
void write_pgm(const std::string &path, const Pixels &p);    // P5, grey = R
void write_tga(const std::string &path, const Pixels &p);    // 32-bit, raw, top-down
void write_gif(const std::string &path, const Pixels &p);    // at most 128 colours, drops alpha
void write_psd(const std::string &path, const Pixels &p);    // raw 3-channel RGB
void write_hdr(const std::string &path, const Pixels &p);    // flat RGBE, channel c as c/256
void write_pic(const std::string &path, const Pixels &p);    // Softimage PIC, raw RGBA
void write_jpeg(const std::string &path, const Pixels &p, int quality);  // libjpeg, 4:4:4
// A PNG of any colour type and bit depth from unfiltered scanline bytes
// (filter byte added here, stored without compression).
void write_png_raw(const std::string &path, int w, int h, int color_type, int depth,
                   const std::vector<uint8_t> &rows);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> read_file(const std::string &path);
bool file_exists(const std::string &path);

// Independent readers of what the library wrote. They fail the current test
// (and return an empty Pixels) when the file is not a valid image.
Pixels read_png(const std::string &path);   // libpng, expanded to RGBA
Pixels read_jpeg(const std::string &path);  // libjpeg, alpha 255
Pixels read_bmp(const std::string &path);   // 24-bit BMP, alpha 255
Pixels read_tga(const std::string &path);   // 32-bit (RLE or raw) TGA
// The ICC profile (iCCP, inflated) and Exif block (eXIf) of a PNG file as
// libpng reads them; each empty when absent. Fails the current test when the
// file cannot be read.
void read_png_metadata(const std::string &path, std::vector<uint8_t> *icc,
                       std::vector<uint8_t> *exif);
// Reads any of the above, chosen by the file's leading bytes.
Pixels read_any(const std::string &path);

// The file format of a written file by its signature: "png", "jpeg", "bmp",
// "tga" (by elimination for a TGA header) or "".
std::string sniff(const std::string &path);

// Largest absolute difference of any channel between two same-sized images
// (255 plus one if the sizes differ).
int max_diff(const Pixels &a, const Pixels &b);

// Writes `in` to a scratch PNG named `name`, runs call(input, output) with a
// scratch PNG output and reads that output back with libpng. When the call
// returns 0 the result is empty (w 0) and the test fails if an output exists.
using CropCall = std::function<int(const char *in, const char *out)>;
Pixels run_crop(const Pixels &in, const CropCall &call, const std::string &name = "in");
// Runs call(in, output) on an existing input path and expects it to return 0
// with exactly `message` and no output file.
void expect_refusal(const std::string &in, const CropCall &call, const std::string &message);

// Writes a PGM whose header declares w x h with w or h 0 (the decoder accepts
// it and yields an image with no pixels) and returns its scratch path.
std::string empty_image(int w, int h);

// The text a crop call left: "" after success, the message after failure.
// Fails the current test if result and text disagree, or result is not 0 or 1.
std::string outcome(int result);

// A fresh scratch directory for the running test, removed at exit.
std::string scratch_dir();
// scratch_dir() + "/" + name.
std::string scratch(const std::string &name);

}  // namespace tt

#endif
