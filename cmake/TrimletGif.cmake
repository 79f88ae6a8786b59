# GIF animation through giflib (Debian: libgif-dev): every frame of an
# animated GIF read and composited, and GIF output cut from a GIF's stored
# frames. giflib ships no pkg-config file; its header and library are found
# by name and linked dynamically, so the library needs libgif.so.7 at run
# time. Without it (the option OFF, and always on Windows) stb_image still
# reads the first frame of every GIF, and the frames option and GIF output
# fail as unavailable.
#
# Sets TRIMLET_USE_GIFLIB (an option) and, when it is ON,
# TRIMLET_GIF_LIBRARY, TRIMLET_GIF_INCLUDE_DIR and TRIMLET_GIF_NEEDED (the
# shared object's name, for the check of the library's dependencies).

set(_trimlet_gif_found OFF)
if(NOT WIN32)
  find_path(TRIMLET_GIF_INCLUDE_DIR gif_lib.h DOC "giflib's header")
  find_library(TRIMLET_GIF_LIBRARY NAMES gif DOC "giflib's shared library")
  if(TRIMLET_GIF_INCLUDE_DIR AND TRIMLET_GIF_LIBRARY)
    set(_trimlet_gif_found ON)
  endif()
endif()

option(TRIMLET_USE_GIFLIB "Read GIF animations and write GIF with giflib" ${_trimlet_gif_found})
if(TRIMLET_USE_GIFLIB)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_GIFLIB is not available on Windows.")
  endif()
  if(NOT _trimlet_gif_found)
    message(FATAL_ERROR
      "TRIMLET_USE_GIFLIB is ON but giflib was not found. "
      "Install it (Debian/Ubuntu: apt-get install libgif-dev) or pass -DTRIMLET_USE_GIFLIB=OFF.")
  endif()
  set(TRIMLET_GIF_NEEDED libgif.so.7)
  message(STATUS "trimlet: GIF animation and output by giflib")
else()
  message(STATUS "trimlet: no GIF animation or output")
endif()

# Builds target's GIF stage with giflib when the option is on (public, as
# for WebP, so that tests built against the stages see it).
function(trimlet_use_gif target)
  if(TRIMLET_USE_GIFLIB)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_GIFLIB=1)
    target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_GIF_INCLUDE_DIR})
    target_link_libraries(${target} PRIVATE ${TRIMLET_GIF_LIBRARY})
  endif()
endfunction()
