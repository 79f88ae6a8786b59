# JPEG through libjpeg-turbo (Debian: libjpeg62-turbo-dev for decoding and
# encoding, libturbojpeg0-dev for the lossless cut). Both are linked
# dynamically: Debian's static libraries are not built position-independent
# and cannot go into a shared object. The library then needs libjpeg.so.62
# and libturbojpeg.so.0 at run time beside the C runtime. Without them (the
# option OFF, and always on Windows) stb_image and stb_image_write do all
# JPEG work and the lossless cut is refused.
#
# A libjpeg without libjpeg-turbo's extensions (RGBA output, cropped and
# skipped scanlines, ICC profiles) does not do.
trimlet_codec_library(NAME libjpeg-turbo OPTION TRIMLET_USE_LIBJPEG_TURBO
  HELP "Decode and encode JPEG with libjpeg-turbo and offer lossless JPEG crops (stb_image otherwise)"
  LIBRARIES jpeg turbojpeg HEADERS jpeglib.h turbojpeg.h
  DEBIAN libjpeg62-turbo-dev libturbojpeg0-dev
  CHECK "
#include <stdio.h>
#include <jpeglib.h>
#include <turbojpeg.h>
int main(void) {
    struct jpeg_decompress_struct d;
    struct jpeg_compress_struct c;
    JDIMENSION x = 0, w = 1;
    d.out_color_space = JCS_EXT_RGBA;
    if (w == 2) {
        jpeg_crop_scanline(&d, &x, &w);
        jpeg_skip_scanlines(&d, 1);
        jpeg_write_icc_profile(&c, 0, 0);
        tjTransform(0, 0, 0, 0, 0, 0, 0, TJFLAG_STOPONWARNING);
    }
    return 0;
}")
