# The libraries the library is built with, each declared once. A codec
# library takes one call, in its own cmake/Trimlet<Format>.cmake included
# from CMakeLists.txt before trimlet_use_dependencies():
#
#   trimlet_codec_library(NAME libspng OPTION TRIMLET_USE_LIBSPNG
#     HELP "Decode PNG with libspng (stb_image otherwise)"
#     LIBRARIES spng HEADERS spng.h DEBIAN libspng-dev
#     CHECK "#include <spng.h> ... int main(void) { ... }")
#
#   NAME       the name messages give it
#   OPTION     the option that turns it on or off; its default is whether the
#              library was found, and it is never on on Windows (Debian has
#              no MinGW builds of the codec libraries: stb does the work there)
#   DEFINE     the macro defined (=1) for the library's sources and, publicly,
#              for the internal tests built against them; OPTION by default
#   HELP       the option's description
#   PKG        pkg-config modules (with versions: libtiff-4>=4.5) that must be
#              present; their directories are searched first
#   LIBRARIES  the libraries to link, by name, in link order (found as shared
#              libraries: Debian's static ones are not position-independent)
#   HEADERS    headers whose directories are added as system includes
#   CHECK      C source that must compile and link against them
#   DEBIAN     the packages that provide it, for the messages
#   LOADED <macro>  the shared library does not link it but opens it by its
#              SONAME, given to the sources as <macro>, on first use (the
#              static library links it)
#
# What is found is cached as TRIMLET_LIB_<library> and
# TRIMLET_INCLUDE_<header as a C identifier> (TRIMLET_INCLUDE_spng_h): set
# them by hand to build with other files, as scripts/build-js.sh does with its
# WebAssembly archives.
#
# Every library in use is recorded in one list (the global property
# TRIMLET_DEPENDENCIES and TRIMLET_DEPENDENCY_<name>_<field>), from which
# trimlet_use_dependencies() builds the library, cmake/TrimletInstall.cmake
# writes trimlet.pc and the CMake package, and tests/ takes the SONAMEs the
# shared library may need.

include(CheckCSourceCompiles)
include(CheckLinkerFlag)

# Records a library in use. FILES are the library files found, LINK_NAMES
# the names a user links them by (-l), in the same order. HIDDEN: linked into
# the shared library with its symbols kept out of the export table, and its
# macro private to the library's sources.
function(trimlet_record_dependency)
  cmake_parse_arguments(PARSE_ARGV 0 arg "HIDDEN" "NAME;OPTION;DEFINE;LOADED"
                        "FILES;LINK_NAMES;INCLUDE_DIRS;DEBIAN")
  set(sonames "")
  if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    foreach(file IN LISTS arg_FILES)
      get_filename_component(real "${file}" REALPATH)
      if(real MATCHES "\\.so(\\.|$)")
        # CMake's file(READ_ELF) cannot read a SONAME; readelf can.
        set(soname "")
        if(CMAKE_READELF)
          execute_process(COMMAND ${CMAKE_READELF} -d "${real}" OUTPUT_VARIABLE dynamic
                          ERROR_QUIET RESULT_VARIABLE rc)
          if(rc EQUAL 0 AND dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
            set(soname "${CMAKE_MATCH_1}")
          endif()
        endif()
        if(NOT soname AND IS_SYMLINK "${file}")
          # Without readelf: the development link points at the SONAME (as on Debian).
          file(READ_SYMLINK "${file}" soname)
          get_filename_component(soname "${soname}" NAME)
        elseif(NOT soname)
          get_filename_component(soname "${real}" NAME)
        endif()
        list(APPEND sonames ${soname})
      endif()
    endforeach()
  endif()
  if(arg_LOADED AND NOT sonames)
    get_filename_component(sonames "${arg_FILES}" NAME)
  endif()
  set_property(GLOBAL APPEND PROPERTY TRIMLET_DEPENDENCIES ${arg_NAME})
  foreach(field OPTION DEFINE LOADED HIDDEN FILES LINK_NAMES INCLUDE_DIRS DEBIAN)
    set_property(GLOBAL PROPERTY TRIMLET_DEPENDENCY_${arg_NAME}_${field} "${arg_${field}}")
  endforeach()
  set_property(GLOBAL PROPERTY TRIMLET_DEPENDENCY_${arg_NAME}_SONAMES "${sonames}")
endfunction()

# out = the recorded field (FILES, LINK_NAMES, INCLUDE_DIRS, SONAMES, ...)
# of the dependency called name; empty when it is not in use.
function(trimlet_dependency_get name field out)
  get_property(value GLOBAL PROPERTY TRIMLET_DEPENDENCY_${name}_${field})
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(trimlet_codec_library)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;OPTION;DEFINE;HELP;CHECK;LOADED"
                        "PKG;LIBRARIES;HEADERS;DEBIAN")
  if(NOT arg_DEFINE)
    set(arg_DEFINE ${arg_OPTION})
  endif()
  # What is missing, for the message when the option is forced on.
  set(missing "")
  set(files "")
  set(include_dirs "")
  set(version "")
  if(WIN32)
    set(missing "not on Windows")
  else()
    string(MAKE_C_IDENTIFIER "${arg_NAME}" id)
    string(TOUPPER "${id}" id)
    set(pc TRIMLET_PC_${id})
    if(arg_PKG)
      find_package(PkgConfig QUIET)
      if(PKG_CONFIG_FOUND)
        pkg_check_modules(${pc} QUIET ${arg_PKG})
      endif()
      if(${pc}_FOUND)
        list(GET arg_PKG 0 first)
        string(REGEX REPLACE "[<>=].*" "" first "${first}")
        set(version " ${${pc}_${first}_VERSION}")
        if(version STREQUAL " ")
          set(version " ${${pc}_VERSION}")
        endif()
      else()
        string(JOIN " " modules ${arg_PKG})
        list(APPEND missing "pkg-config ${modules}")
      endif()
    endif()
    foreach(lib IN LISTS arg_LIBRARIES)
      find_library(TRIMLET_LIB_${lib} NAMES lib${lib}.so ${lib} HINTS ${${pc}_LIBRARY_DIRS}
                   DOC "${arg_NAME}: the shared ${lib} library")
      if(TRIMLET_LIB_${lib})
        list(APPEND files ${TRIMLET_LIB_${lib}})
      else()
        list(APPEND missing "lib${lib}")
      endif()
    endforeach()
    foreach(header IN LISTS arg_HEADERS)
      string(MAKE_C_IDENTIFIER "${header}" hid)
      find_path(TRIMLET_INCLUDE_${hid} ${header} HINTS ${${pc}_INCLUDE_DIRS}
                DOC "${arg_NAME}: the directory holding ${header}")
      if(TRIMLET_INCLUDE_${hid})
        list(APPEND include_dirs ${TRIMLET_INCLUDE_${hid}})
      else()
        list(APPEND missing "${header}")
      endif()
    endforeach()
    list(APPEND include_dirs ${${pc}_INCLUDE_DIRS})
    list(REMOVE_DUPLICATES include_dirs)
    if(arg_CHECK AND NOT missing)
      # The result is cached under the option's name, TRIMLET_HAVE_<...>.
      string(REGEX REPLACE "^TRIMLET_USE_" "TRIMLET_HAVE_" have "${arg_OPTION}")
      set(CMAKE_REQUIRED_INCLUDES ${include_dirs})
      set(CMAKE_REQUIRED_LIBRARIES ${files})
      check_c_source_compiles("${arg_CHECK}" ${have})
      unset(CMAKE_REQUIRED_INCLUDES)
      unset(CMAKE_REQUIRED_LIBRARIES)
      if(NOT ${have})
        list(APPEND missing "a ${arg_NAME} that compiles the check ${have} (CMakeFiles/CMakeError.log)")
      endif()
    endif()
  endif()

  if(missing)
    set(found OFF)
  else()
    set(found ON)
  endif()
  option(${arg_OPTION} "${arg_HELP}" ${found})
  if(NOT ${arg_OPTION})
    message(STATUS "trimlet: ${arg_NAME} not used")
    return()
  endif()
  if(WIN32)
    message(FATAL_ERROR "${arg_OPTION} is not available on Windows: pass -D${arg_OPTION}=OFF.")
  endif()
  if(NOT found)
    string(JOIN ", " missing ${missing})
    string(JOIN " " debian ${arg_DEBIAN})
    message(FATAL_ERROR
      "${arg_OPTION} is ON but ${arg_NAME} was not found (missing: ${missing}). Install it "
      "(Debian/Ubuntu: apt-get install ${debian}) or pass -D${arg_OPTION}=OFF.")
  endif()

  trimlet_record_dependency(NAME ${arg_NAME} OPTION ${arg_OPTION} DEFINE ${arg_DEFINE}
    LOADED "${arg_LOADED}" FILES ${files} LINK_NAMES ${arg_LIBRARIES}
    INCLUDE_DIRS ${include_dirs} DEBIAN ${arg_DEBIAN})
  if(arg_LOADED)
    trimlet_dependency_get(${arg_NAME} SONAMES soname)
    message(STATUS "trimlet: ${arg_NAME}${version} used (${files}; the shared library loads ${soname} on first use)")
  else()
    string(JOIN ", " shown ${files})
    message(STATUS "trimlet: ${arg_NAME}${version} used (${shown})")
  endif()
endfunction()

# Builds core (the stages) with every recorded library, and links them to
# lib too when it is the static library: the macro public on core, so that
# internal tests built against the stages see which paths the library has
# (private for a HIDDEN one); include directories as system ones, so that
# the libraries' own warnings are not ours. A LOADED library is linked only
# into the static library; the shared one gets its SONAME instead. The
# static library's users find the libraries by name on their own machine
# (cmake/trimletConfig.cmake.in), so no path found here is exported.
function(trimlet_use_dependencies core lib)
  get_property(names GLOBAL PROPERTY TRIMLET_DEPENDENCIES)
  foreach(name IN LISTS names)
    foreach(field DEFINE LOADED HIDDEN FILES INCLUDE_DIRS SONAMES)
      trimlet_dependency_get(${name} ${field} ${field})
    endforeach()
    if(HIDDEN)
      target_compile_definitions(${core} PRIVATE ${DEFINE}=1)
    else()
      target_compile_definitions(${core} PUBLIC ${DEFINE}=1)
    endif()
    if(INCLUDE_DIRS)
      target_include_directories(${core} SYSTEM PRIVATE ${INCLUDE_DIRS})
    endif()
    if(LOADED AND NOT TRIMLET_STATIC)
      target_compile_definitions(${core} PRIVATE ${LOADED}="${SONAMES}")
    else()
      target_link_libraries(${core} PRIVATE ${FILES})
    endif()
    if(TRIMLET_STATIC)
      # Its users link them (a static library links nothing itself); what
      # is exported names none of these paths.
      foreach(file IN LISTS FILES)
        target_link_libraries(${lib} INTERFACE "$<BUILD_INTERFACE:${file}>")
      endforeach()
    elseif(HIDDEN AND UNIX AND NOT APPLE)
      check_linker_flag(C "LINKER:--exclude-libs,ALL" TRIMLET_HAVE_EXCLUDE_LIBS)
      if(TRIMLET_HAVE_EXCLUDE_LIBS)
        target_link_options(${lib} PRIVATE "LINKER:--exclude-libs,ALL")
      endif()
    endif()
  endforeach()
endfunction()

# out = the SONAMEs of every recorded library the shared library links (not
# the LOADED ones, nor one linked from its static archive).
function(trimlet_dependency_sonames out)
  set(result "")
  get_property(names GLOBAL PROPERTY TRIMLET_DEPENDENCIES)
  foreach(name IN LISTS names)
    trimlet_dependency_get(${name} LOADED loaded)
    if(NOT loaded)
      trimlet_dependency_get(${name} SONAMES sonames)
      list(APPEND result ${sonames})
    endif()
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()
