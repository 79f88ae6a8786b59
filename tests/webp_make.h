// SPDX-License-Identifier: MIT
// WebP files for the tests, made and read with libwebp's libraries (those
// behind cwebp, webpmux and dwebp, without the tools' package, whose viewer
// pulls a graphics stack into a test machine). Empty on failure or in a build
// without libwebp.
#ifndef TRIMLET_TESTS_WEBP_MAKE_H
#define TRIMLET_TESTS_WEBP_MAKE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace tt {

// p encoded as cwebp encodes a PNG of it with these of its options:
// -q N, -alpha_q N, -f N, -sharpness N, -m N, -nostrong, -lossless, -exact,
// -alpha_filter none|fast|best. Any other option fails.
std::vector<uint8_t> webp_encode(const Pixels &p, const std::string &options);

// An animation as `webpmux -frame F +D+X+Y[-b] ... -loop L` makes it: each
// frame a WebP file placed at (x, y), shown for duration ms, blended (or
// not), not disposed.
struct WebpFrame {
    std::vector<uint8_t> file;
    int duration, x, y;
    bool blend = true;
};
std::vector<uint8_t> webp_animation(const std::vector<WebpFrame> &frames, int loop);

// file with its ICC profile and EXIF chunks set, as `webpmux -set icc` and
// `webpmux -set exif` do (an empty one is left out).
std::vector<uint8_t> webp_with_chunks(const std::vector<uint8_t> &file, const std::vector<uint8_t> &icc,
                                      const std::vector<uint8_t> &exif);

// libwebp's whole decode of a WebP file, as dwebp -pam gives it: RGBA.
Pixels webp_decode(const std::vector<uint8_t> &file);

}  // namespace tt

#endif
