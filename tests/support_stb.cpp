// SPDX-License-Identifier: MIT
// PNG and JPEG writing and reading for builds without libpng and libjpeg
// (MinGW): stb_image and stb_image_write stand in for them. The library
// under test compiles its own copy of stb, so this is still a second decoder
// run over the library's files, only not an independent implementation.
#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace tt {

void write_png(const std::string &path, const Pixels &p) {
    ASSERT_TRUE(stbi_write_png(path.c_str(), p.w, p.h, 4, p.rgba.data(), p.w * 4))
        << "stb_image_write cannot write " << path;
}

void write_jpeg(const std::string &path, const Pixels &p, int quality) {
    ASSERT_TRUE(stbi_write_jpg(path.c_str(), p.w, p.h, 4, p.rgba.data(), quality))
        << "stb_image_write cannot write " << path;
}

static Pixels read_with_stb(const std::string &path) {
    Pixels p;
    int n = 0;
    unsigned char *px = stbi_load(path.c_str(), &p.w, &p.h, &n, 4);
    if (px == nullptr) {
        ADD_FAILURE() << "stb_image cannot read " << path << ": " << stbi_failure_reason();
        return Pixels();
    }
    p.rgba.assign(px, px + size_t(p.w) * p.h * 4);
    stbi_image_free(px);
    return p;
}

Pixels read_png(const std::string &path) { return read_with_stb(path); }
Pixels read_jpeg(const std::string &path) { return read_with_stb(path); }

}  // namespace tt
