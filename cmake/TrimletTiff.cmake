# SPDX-License-Identifier: MIT
# TIFF input through libtiff (Debian: libtiff-dev, 4.5 or later for
# TIFFClientOpenExt and per-file message handlers). Linked dynamically: the
# library then needs libtiff.so.6 at run time. Without it (the option OFF,
# and always on Windows) TIFF files are refused as not available.
#
# Sets TRIMLET_USE_LIBTIFF (an option) and, when it is ON,
# TRIMLET_TIFF_LIBRARIES and TRIMLET_TIFF_INCLUDE_DIRS.

set(_trimlet_tiff_found OFF)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(TRIMLET_PC_TIFF QUIET libtiff-4>=4.5)
    if(TRIMLET_PC_TIFF_FOUND)
      find_library(TRIMLET_TIFF_LIBRARY NAMES tiff HINTS ${TRIMLET_PC_TIFF_LIBRARY_DIRS}
                   DOC "libtiff's shared library")
      find_path(TRIMLET_TIFF_INCLUDE_DIR tiffio.h HINTS ${TRIMLET_PC_TIFF_INCLUDE_DIRS}
                DOC "Directory holding tiffio.h")
      if(TRIMLET_TIFF_LIBRARY AND TRIMLET_TIFF_INCLUDE_DIR)
        set(_trimlet_tiff_found ON)
      endif()
    endif()
  endif()
endif()

option(TRIMLET_USE_LIBTIFF "Read TIFF input with libtiff" ${_trimlet_tiff_found})
if(TRIMLET_USE_LIBTIFF)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_LIBTIFF is not available on Windows.")
  endif()
  if(NOT _trimlet_tiff_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBTIFF is ON but libtiff 4.5 or later was not found. Install it "
      "(Debian/Ubuntu: apt-get install libtiff-dev) or pass -DTRIMLET_USE_LIBTIFF=OFF.")
  endif()
  set(TRIMLET_TIFF_LIBRARIES ${TRIMLET_TIFF_LIBRARY})
  set(TRIMLET_TIFF_INCLUDE_DIRS ${TRIMLET_TIFF_INCLUDE_DIR})
  message(STATUS "trimlet: TIFF by libtiff (${TRIMLET_TIFF_LIBRARY})")
else()
  message(STATUS "trimlet: no TIFF input")
endif()

# Builds target's TIFF codec with libtiff when the option is on. The define is
# public so that internal tests see whether the build reads TIFF.
function(trimlet_use_tiff target)
  if(TRIMLET_USE_LIBTIFF)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBTIFF=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_TIFF_INCLUDE_DIRS})
    target_link_libraries(${target} PRIVATE ${TRIMLET_TIFF_LIBRARIES})
  endif()
endfunction()
