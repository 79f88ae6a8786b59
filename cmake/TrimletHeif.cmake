# HEIC and AVIF through libheif (Debian: libheif-dev, 1.15 in Debian 12).
# libheif brings its codecs with it: libde265 decodes HEIC, dav1d (or aom)
# decodes AVIF and aom encodes it. Which of them the installed libheif has is
# asked at run time (trimlet_has("heic"), "avif", "avif-write"). Without
# libheif (the option OFF, and always on Windows) HEIF files are recognised
# and refused as unavailable, and AVIF output likewise.
#
# The static library links it. The shared one loads it by its SONAME
# (TRIMLET_HEIF_SONAME) the first time a HEIF file or an AVIF output needs it
# (see src/codecs/heiflib.cpp), so that a process cropping JPEG or PNG maps
# none of libheif's codecs (x265, aom, dav1d, libde265).
trimlet_codec_library(NAME libheif OPTION TRIMLET_USE_LIBHEIF
  HELP "Read HEIC and AVIF and write AVIF with libheif"
  PKG libheif>=1.15 LIBRARIES heif HEADERS libheif/heif.h DEBIAN libheif-dev
  LOADED TRIMLET_HEIF_SONAME)
