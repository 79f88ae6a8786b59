# PNG decoding through libspng (Debian: libspng-dev), linked dynamically as
# libjpeg-turbo is: the library then needs libspng.so.0 at run time. Without
# it (the option OFF, and always on Windows) stb_image decodes every PNG.
#
# Row-by-row decoding, the limits and the CRC action are those of libspng 0.7.
trimlet_codec_library(NAME libspng OPTION TRIMLET_USE_LIBSPNG
  HELP "Decode PNG with libspng (stb_image otherwise)"
  LIBRARIES spng HEADERS spng.h DEBIAN libspng-dev
  CHECK "
#include <spng.h>
int main(void) {
    spng_ctx *ctx = spng_ctx_new(0);
    struct spng_row_info info;
    spng_set_crc_action(ctx, SPNG_CRC_USE, SPNG_CRC_USE);
    spng_set_chunk_limits(ctx, 1, 1);
    spng_set_image_limits(ctx, 1, 1);
    if (ctx == 0) {
        spng_decode_row(ctx, 0, 0);
        spng_get_row_info(ctx, &info);
    }
    spng_ctx_free(ctx);
    return SPNG_FMT_PNG == 0;
}")
