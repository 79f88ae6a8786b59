# WebP through libwebp (Debian: libwebp-dev): decoding and encoding (libwebp),
# the first frame of an animation (libwebpdemux), and the ICC profile and
# Exif block in written files (libwebpmux). Linked dynamically, so the
# library needs libwebp.so.7, libwebpdemux.so.2 and libwebpmux.so.3 at run
# time. Without them (the option OFF, and always on Windows) WebP files are
# refused as unavailable and "webp" output too.
trimlet_codec_library(NAME libwebp OPTION TRIMLET_USE_LIBWEBP
  HELP "Read and write WebP with libwebp"
  PKG libwebp libwebpdemux libwebpmux
  LIBRARIES webp webpdemux webpmux HEADERS webp/decode.h webp/demux.h webp/mux.h
  DEBIAN libwebp-dev)
