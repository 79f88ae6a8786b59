# TIFF input through libtiff (Debian: libtiff-dev, 4.5 or later for
# TIFFClientOpenExt and per-file message handlers). Linked dynamically: the
# library then needs libtiff.so.6 at run time. Without it (the option OFF,
# and always on Windows) TIFF files are refused as not available.
trimlet_codec_library(NAME libtiff OPTION TRIMLET_USE_LIBTIFF
  HELP "Read TIFF input with libtiff"
  PKG libtiff-4>=4.5 LIBRARIES tiff HEADERS tiffio.h DEBIAN libtiff-dev)
