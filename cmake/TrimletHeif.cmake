# SPDX-License-Identifier: MIT
# HEIC and AVIF through libheif (Debian: libheif-dev, 1.15 in Debian 12),
# linked dynamically. libheif brings its codecs with it: libde265 decodes
# HEIC, dav1d (or aom) decodes AVIF and aom encodes it. Which of them the
# installed libheif has is asked at run time (trimlet_has("heic"), "avif",
# "avif-write"). Without libheif (the option OFF, and always on Windows) HEIF
# files are recognised and refused as unavailable, and AVIF output likewise.
#
# Sets TRIMLET_USE_LIBHEIF (an option) and, when it is ON,
# TRIMLET_HEIF_LIBRARIES and TRIMLET_HEIF_INCLUDE_DIRS.

set(_trimlet_heif_found OFF)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(TRIMLET_PC_LIBHEIF QUIET libheif>=1.15)
  endif()
  if(TRIMLET_PC_LIBHEIF_FOUND)
    find_path(TRIMLET_HEIF_INCLUDE_DIR libheif/heif.h HINTS ${TRIMLET_PC_LIBHEIF_INCLUDE_DIRS}
              DOC "Directory holding libheif/heif.h")
    find_library(TRIMLET_HEIF_LIBRARY NAMES libheif.so heif HINTS ${TRIMLET_PC_LIBHEIF_LIBRARY_DIRS}
                 DOC "The shared libheif")
    if(TRIMLET_HEIF_INCLUDE_DIR AND TRIMLET_HEIF_LIBRARY)
      set(_trimlet_heif_found ON)
    endif()
  endif()
endif()

option(TRIMLET_USE_LIBHEIF "Read HEIC and AVIF and write AVIF with libheif" ${_trimlet_heif_found})
if(TRIMLET_USE_LIBHEIF)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_LIBHEIF is not available on Windows.")
  endif()
  if(NOT _trimlet_heif_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBHEIF is ON but libheif 1.15 or later was not found. Install it "
      "(Debian/Ubuntu: apt-get install libheif-dev) or pass -DTRIMLET_USE_LIBHEIF=OFF.")
  endif()
  set(TRIMLET_HEIF_LIBRARIES ${TRIMLET_HEIF_LIBRARY})
  set(TRIMLET_HEIF_INCLUDE_DIRS ${TRIMLET_HEIF_INCLUDE_DIR})
  message(STATUS "trimlet: HEIC and AVIF by libheif (${TRIMLET_HEIF_LIBRARY})")
else()
  message(STATUS "trimlet: no HEIC or AVIF (libheif not used)")
endif()

# Builds target's HEIF stage with libheif when the option is on.
function(trimlet_use_heif target)
  if(TRIMLET_USE_LIBHEIF)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBHEIF=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_HEIF_INCLUDE_DIRS})
    target_link_libraries(${target} PRIVATE ${TRIMLET_HEIF_LIBRARIES})
  endif()
endfunction()
