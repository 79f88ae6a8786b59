# SPDX-License-Identifier: MIT
# JPEG through libjpeg-turbo (Debian: libjpeg62-turbo-dev for decoding and
# encoding, libturbojpeg0-dev for the lossless cut). Both are linked
# dynamically: Debian's static libraries are not built position-independent
# and cannot go into a shared object. The library then needs libjpeg.so.62
# and libturbojpeg.so.0 at run time beside the C runtime. Without them (the
# option OFF, and always on Windows) stb_image and stb_image_write do all
# JPEG work and the lossless cut is refused.
#
# Sets TRIMLET_USE_LIBJPEG_TURBO (an option) and, when it is ON,
# TRIMLET_JPEG_LIBRARIES and TRIMLET_JPEG_INCLUDE_DIRS.

include(CheckCSourceCompiles)

set(_trimlet_jpeg_found OFF)
if(NOT WIN32)
  find_path(TRIMLET_JPEG_INCLUDE_DIR jpeglib.h DOC "Directory holding libjpeg-turbo's jpeglib.h")
  find_path(TRIMLET_TURBOJPEG_INCLUDE_DIR turbojpeg.h DOC "Directory holding turbojpeg.h")
  find_library(TRIMLET_JPEG_LIBRARY NAMES libjpeg.so jpeg DOC "libjpeg-turbo's shared libjpeg")
  find_library(TRIMLET_TURBOJPEG_LIBRARY NAMES libturbojpeg.so turbojpeg
               DOC "libjpeg-turbo's shared libturbojpeg")
  if(TRIMLET_JPEG_INCLUDE_DIR AND TRIMLET_TURBOJPEG_INCLUDE_DIR AND TRIMLET_JPEG_LIBRARY
     AND TRIMLET_TURBOJPEG_LIBRARY)
    # A libjpeg without libjpeg-turbo's extensions (RGBA output, cropped and
    # skipped scanlines, ICC profiles) does not do.
    set(CMAKE_REQUIRED_INCLUDES ${TRIMLET_JPEG_INCLUDE_DIR} ${TRIMLET_TURBOJPEG_INCLUDE_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${TRIMLET_JPEG_LIBRARY} ${TRIMLET_TURBOJPEG_LIBRARY})
    check_c_source_compiles("
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
}" TRIMLET_HAVE_LIBJPEG_TURBO)
    unset(CMAKE_REQUIRED_INCLUDES)
    unset(CMAKE_REQUIRED_LIBRARIES)
    if(TRIMLET_HAVE_LIBJPEG_TURBO)
      set(_trimlet_jpeg_found ON)
    endif()
  endif()
endif()

option(TRIMLET_USE_LIBJPEG_TURBO
       "Decode and encode JPEG with libjpeg-turbo and offer lossless JPEG crops (stb_image otherwise)"
       ${_trimlet_jpeg_found})
if(TRIMLET_USE_LIBJPEG_TURBO)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_LIBJPEG_TURBO is not available on Windows: JPEG goes through stb there.")
  endif()
  if(NOT _trimlet_jpeg_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBJPEG_TURBO is ON but libjpeg-turbo was not found. Install it "
      "(Debian/Ubuntu: apt-get install libjpeg62-turbo-dev libturbojpeg0-dev) or pass "
      "-DTRIMLET_USE_LIBJPEG_TURBO=OFF.")
  endif()
  set(TRIMLET_JPEG_LIBRARIES ${TRIMLET_JPEG_LIBRARY} ${TRIMLET_TURBOJPEG_LIBRARY})
  set(TRIMLET_JPEG_INCLUDE_DIRS ${TRIMLET_JPEG_INCLUDE_DIR} ${TRIMLET_TURBOJPEG_INCLUDE_DIR})
  message(STATUS "trimlet: JPEG by libjpeg-turbo (${TRIMLET_JPEG_LIBRARY}, ${TRIMLET_TURBOJPEG_LIBRARY})")
else()
  message(STATUS "trimlet: JPEG by stb_image and stb_image_write")
endif()

# Builds target's JPEG stage with libjpeg-turbo when the option is on. The
# define is public so that internal tests built against the stages see
# which JPEG path the library has.
function(trimlet_use_jpeg target)
  if(TRIMLET_USE_LIBJPEG_TURBO)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBJPEG_TURBO=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_JPEG_INCLUDE_DIRS})
    target_link_libraries(${target} PRIVATE ${TRIMLET_JPEG_LIBRARIES})
  endif()
endfunction()
