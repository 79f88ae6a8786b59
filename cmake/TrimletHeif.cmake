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
  # The shared library loads libheif by this name on first use (see
  # src/codecs/heiflib.cpp) instead of linking it.
  get_filename_component(_trimlet_heif_real "${TRIMLET_HEIF_LIBRARY}" REALPATH)
  file(READ_ELF "${_trimlet_heif_real}" SONAME TRIMLET_HEIF_SONAME)
  if(NOT TRIMLET_HEIF_SONAME)
    set(TRIMLET_HEIF_SONAME libheif.so.1)
  endif()
  message(STATUS "trimlet: HEIC and AVIF by libheif (${TRIMLET_HEIF_LIBRARY}, loaded as ${TRIMLET_HEIF_SONAME} on first use)")
else()
  message(STATUS "trimlet: no HEIC or AVIF (libheif not used)")
endif()

# Builds target's HEIF stage with libheif when the option is on: linked into
# the static library; loaded by its SONAME the first time a HEIF file or an
# AVIF output needs it in the shared one, so that a process cropping JPEG or
# PNG maps none of libheif's codecs (x265, aom, dav1d, libde265).
function(trimlet_use_heif target)
  if(TRIMLET_USE_LIBHEIF)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBHEIF=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_HEIF_INCLUDE_DIRS})
    if(TRIMLET_STATIC)
      target_link_libraries(${target} PRIVATE ${TRIMLET_HEIF_LIBRARIES})
    else()
      target_compile_definitions(${target} PRIVATE TRIMLET_HEIF_SONAME="${TRIMLET_HEIF_SONAME}")
    endif()
  endif()
endfunction()
