// SPDX-License-Identifier: MIT
// stb_image_write with its own zlib compressor, for comparison with the
// compressor the library uses.
#include <stdlib.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

#include "stages.h"

unsigned char *png_stb_own(const unsigned char *rgba, int w, int h, int *len) {
    return stbi_write_png_to_mem(rgba, 0, w, h, 4, len);
}
