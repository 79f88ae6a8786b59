# SPDX-License-Identifier: MIT
# PNG decoding through libspng (Debian: libspng-dev), linked dynamically as
# libjpeg-turbo is: the library then needs libspng.so.0 at run time. Without
# it (the option OFF, and always on Windows) stb_image decodes every PNG.
#
# Sets TRIMLET_USE_LIBSPNG (an option) and, when it is ON,
# TRIMLET_SPNG_LIBRARY and TRIMLET_SPNG_INCLUDE_DIR.

include(CheckCSourceCompiles)

set(_trimlet_spng_found OFF)
if(NOT WIN32)
  find_path(TRIMLET_SPNG_INCLUDE_DIR spng.h DOC "Directory holding libspng's spng.h")
  find_library(TRIMLET_SPNG_LIBRARY NAMES libspng.so spng DOC "libspng's shared library")
  if(TRIMLET_SPNG_INCLUDE_DIR AND TRIMLET_SPNG_LIBRARY)
    # Row-by-row decoding, the limits and the CRC action are those of
    # libspng 0.7.
    set(CMAKE_REQUIRED_INCLUDES ${TRIMLET_SPNG_INCLUDE_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${TRIMLET_SPNG_LIBRARY})
    check_c_source_compiles("
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
}" TRIMLET_HAVE_LIBSPNG)
    unset(CMAKE_REQUIRED_INCLUDES)
    unset(CMAKE_REQUIRED_LIBRARIES)
    if(TRIMLET_HAVE_LIBSPNG)
      set(_trimlet_spng_found ON)
    endif()
  endif()
endif()

option(TRIMLET_USE_LIBSPNG "Decode PNG with libspng (stb_image otherwise)" ${_trimlet_spng_found})
if(TRIMLET_USE_LIBSPNG)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_LIBSPNG is not available on Windows: PNG goes through stb there.")
  endif()
  if(NOT _trimlet_spng_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBSPNG is ON but libspng was not found. Install it "
      "(Debian/Ubuntu: apt-get install libspng-dev) or pass -DTRIMLET_USE_LIBSPNG=OFF.")
  endif()
  message(STATUS "trimlet: PNG decoding by libspng (${TRIMLET_SPNG_LIBRARY})")
else()
  message(STATUS "trimlet: PNG decoding by stb_image")
endif()

# Builds target's PNG stage with libspng when the option is on. The define is
# public so that internal tests built against the stages see which PNG path
# the library has.
function(trimlet_use_spng target)
  if(TRIMLET_USE_LIBSPNG)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBSPNG=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_SPNG_INCLUDE_DIR})
    target_link_libraries(${target} PRIVATE ${TRIMLET_SPNG_LIBRARY})
  endif()
endfunction()
