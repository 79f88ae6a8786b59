# PNG data is compressed by libdeflate when it is available (Debian:
# libdeflate-dev), else by stb_image_write's own compressor. The static
# library is preferred so the shared object needs nothing extra at run time;
# its symbols are kept out of the export table.
#
# Not a codec library, and found its own way (trimlet_codec_library finds
# shared libraries only), but recorded in the same list
# (cmake/TrimletDependency.cmake) as HIDDEN, so that the build, the package
# files and the tests take it from there like the others.
#
# Sets TRIMLET_USE_LIBDEFLATE (an option) and, when it is ON,
# TRIMLET_LIBDEFLATE_INCLUDE_DIR and TRIMLET_LIBDEFLATE_LIBRARY (which the
# benchmark uses too).

include(CheckCSourceCompiles)
include(CheckLinkerFlag)

find_path(TRIMLET_LIBDEFLATE_INCLUDE_DIR libdeflate.h)
find_library(TRIMLET_LIBDEFLATE_LIBRARY NAMES libdeflate.a deflate
             DOC "libdeflate library to link (static preferred)")
# A static library built without -fPIC cannot go into a shared object; then
# the shared libdeflate is linked instead.
if(TRIMLET_LIBDEFLATE_INCLUDE_DIR AND TRIMLET_LIBDEFLATE_LIBRARY MATCHES "\\.a$" AND NOT WIN32)
  set(CMAKE_REQUIRED_FLAGS -fPIC)
  set(CMAKE_REQUIRED_LINK_OPTIONS -shared)
  set(CMAKE_REQUIRED_INCLUDES ${TRIMLET_LIBDEFLATE_INCLUDE_DIR})
  set(CMAKE_REQUIRED_LIBRARIES ${TRIMLET_LIBDEFLATE_LIBRARY})
  check_c_source_compiles("
#include <libdeflate.h>
int main(void) {
    struct libdeflate_compressor *c = libdeflate_alloc_compressor(6);
    libdeflate_free_compressor(c);
    return c != 0;
}" TRIMLET_LIBDEFLATE_STATIC_IS_PIC)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  unset(CMAKE_REQUIRED_INCLUDES)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(NOT TRIMLET_LIBDEFLATE_STATIC_IS_PIC)
    find_library(TRIMLET_LIBDEFLATE_SHARED_LIBRARY NAMES deflate)
    if(TRIMLET_LIBDEFLATE_SHARED_LIBRARY)
      set(TRIMLET_LIBDEFLATE_LIBRARY ${TRIMLET_LIBDEFLATE_SHARED_LIBRARY} CACHE FILEPATH
          "libdeflate library to link (static preferred)" FORCE)
    endif()
  endif()
endif()
if(TRIMLET_LIBDEFLATE_INCLUDE_DIR AND TRIMLET_LIBDEFLATE_LIBRARY)
  set(_trimlet_deflate_found ON)
else()
  set(_trimlet_deflate_found OFF)
endif()
option(TRIMLET_USE_LIBDEFLATE "Compress PNG data with libdeflate instead of stb's own compressor"
       ${_trimlet_deflate_found})
if(TRIMLET_USE_LIBDEFLATE)
  if(NOT _trimlet_deflate_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBDEFLATE is ON but libdeflate was not found. Install it "
      "(Debian/Ubuntu: apt-get install libdeflate-dev) or pass -DTRIMLET_USE_LIBDEFLATE=OFF.")
  endif()
  message(STATUS "trimlet: PNG compression by libdeflate (${TRIMLET_LIBDEFLATE_LIBRARY})")
  trimlet_record_dependency(NAME libdeflate OPTION TRIMLET_USE_LIBDEFLATE
    DEFINE TRIMLET_USE_LIBDEFLATE HIDDEN FILES ${TRIMLET_LIBDEFLATE_LIBRARY} LINK_NAMES deflate
    INCLUDE_DIRS ${TRIMLET_LIBDEFLATE_INCLUDE_DIR} DEBIAN libdeflate-dev)
else()
  message(STATUS "trimlet: PNG compression by stb_image_write")
endif()

