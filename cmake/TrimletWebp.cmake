# SPDX-License-Identifier: MIT
# WebP through libwebp (Debian: libwebp-dev): decoding and encoding (libwebp),
# the first frame of an animation (libwebpdemux), and the ICC profile and
# Exif block in written files (libwebpmux). Found with pkg-config and linked
# dynamically, so the library needs libwebp.so.7, libwebpdemux.so.2 and
# libwebpmux.so.3 at run time. Without them (the option OFF, and always on
# Windows) WebP files are refused as unavailable and "webp" output too.
#
# Sets TRIMLET_USE_LIBWEBP (an option) and, when it is ON,
# TRIMLET_WEBP_LIBRARIES, TRIMLET_WEBP_INCLUDE_DIRS and TRIMLET_WEBP_NEEDED
# (the shared objects' names, for the check of the library's dependencies).

set(_trimlet_webp_found OFF)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(TRIMLET_WEBP_PC QUIET libwebp libwebpdemux libwebpmux)
  endif()
  if(TRIMLET_WEBP_PC_FOUND)
    set(_trimlet_webp_libs "")
    foreach(lib webp webpdemux webpmux)
      find_library(TRIMLET_LIB_${lib} NAMES ${lib} HINTS ${TRIMLET_WEBP_PC_LIBRARY_DIRS}
                   DOC "libwebp's shared ${lib}")
      if(TRIMLET_LIB_${lib})
        list(APPEND _trimlet_webp_libs ${TRIMLET_LIB_${lib}})
      endif()
    endforeach()
    list(LENGTH _trimlet_webp_libs _n)
    if(_n EQUAL 3)
      set(_trimlet_webp_found ON)
    endif()
  endif()
endif()

option(TRIMLET_USE_LIBWEBP "Read and write WebP with libwebp" ${_trimlet_webp_found})
if(TRIMLET_USE_LIBWEBP)
  if(WIN32)
    message(FATAL_ERROR "TRIMLET_USE_LIBWEBP is not available on Windows.")
  endif()
  if(NOT _trimlet_webp_found)
    message(FATAL_ERROR
      "TRIMLET_USE_LIBWEBP is ON but libwebp (with libwebpdemux and libwebpmux) was not found. "
      "Install it (Debian/Ubuntu: apt-get install libwebp-dev) or pass -DTRIMLET_USE_LIBWEBP=OFF.")
  endif()
  set(TRIMLET_WEBP_LIBRARIES ${_trimlet_webp_libs})
  set(TRIMLET_WEBP_INCLUDE_DIRS ${TRIMLET_WEBP_PC_INCLUDE_DIRS})
  set(TRIMLET_WEBP_NEEDED libwebp.so.7 libwebpdemux.so.2 libwebpmux.so.3)
  message(STATUS "trimlet: WebP by libwebp ${TRIMLET_WEBP_PC_libwebp_VERSION}")
else()
  message(STATUS "trimlet: no WebP")
endif()

# Builds target's WebP stage with libwebp when the option is on. Public, as
# for JPEG, so that tests built against the stages see it.
function(trimlet_use_webp target)
  if(TRIMLET_USE_LIBWEBP)
    target_compile_definitions(${target} PUBLIC TRIMLET_USE_LIBWEBP=1)
    if(TRIMLET_WEBP_INCLUDE_DIRS)
      target_include_directories(${target} SYSTEM PRIVATE ${TRIMLET_WEBP_INCLUDE_DIRS})
    endif()
    target_link_libraries(${target} PRIVATE ${TRIMLET_WEBP_LIBRARIES})
  endif()
endfunction()
