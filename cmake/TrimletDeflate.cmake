# SPDX-License-Identifier: MIT
# PNG data is compressed by libdeflate when it is available (Debian:
# libdeflate-dev), else by stb_image_write's own compressor. The static
# library is preferred so the shared object needs nothing extra at run time;
# its symbols are kept out of the export table.
#
# Sets TRIMLET_USE_LIBDEFLATE (an option) and, when it is ON,
# TRIMLET_LIBDEFLATE_INCLUDE_DIR and TRIMLET_LIBDEFLATE_LIBRARY.

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
else()
  message(STATUS "trimlet: PNG compression by stb_image_write")
endif()

# Builds target's PNG compressor with libdeflate when the option is on, and
# keeps libdeflate's symbols out of the shared library `shared` (if given).
function(trimlet_use_deflate target)
  if(NOT TRIMLET_USE_LIBDEFLATE)
    return()
  endif()
  target_compile_definitions(${target} PRIVATE TRIMLET_USE_LIBDEFLATE=1)
  target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_LIBDEFLATE_INCLUDE_DIR})
  target_link_libraries(${target} PRIVATE ${TRIMLET_LIBDEFLATE_LIBRARY})
  if(ARGC GREATER 1 AND UNIX AND NOT APPLE)
    check_linker_flag(C "LINKER:--exclude-libs,ALL" TRIMLET_HAVE_EXCLUDE_LIBS)
    if(TRIMLET_HAVE_EXCLUDE_LIBS)
      target_link_options(${ARGV1} PRIVATE "LINKER:--exclude-libs,ALL")
    endif()
  endif()
endfunction()
