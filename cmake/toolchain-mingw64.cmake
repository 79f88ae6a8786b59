# SPDX-License-Identifier: MIT
# Cross-builds trimlet.dll for 64-bit Windows with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-win32). Use with
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# With wine installed, CTest runs the test executables through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRIMLET_MINGW x86_64-w64-mingw32)
# The -win32 variants use Windows threads, so nothing needs winpthread.
find_program(CMAKE_C_COMPILER NAMES ${TRIMLET_MINGW}-gcc-win32 ${TRIMLET_MINGW}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TRIMLET_MINGW}-g++-win32 ${TRIMLET_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TRIMLET_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRIMLET_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only dependencies (stb) are shared with the host: the MinGW compiler
# does not search /usr/include, but find_path may, and the directory it finds
# is passed to the compiler explicitly. Libraries still come only from the
# MinGW root, so no host library can be picked up by mistake.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

find_program(TRIMLET_WINE NAMES wine64 wine)
if(TRIMLET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRIMLET_WINE})
endif()
