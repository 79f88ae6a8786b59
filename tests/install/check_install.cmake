# SPDX-License-Identifier: MIT
# One step of the installation checks, chosen by STEP (see CMakeLists.txt).
cmake_minimum_required(VERSION 3.18)

function(must_run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

# The first ```c block of the README (or the first after the line MARKER,
# when given), written to DIR/main.c.
function(extract_example dir)
  file(READ "${README}" text)
  if(ARGC GREATER 1)
    string(FIND "${text}" "${ARGV1}" at)
    if(at LESS 0)
      message(FATAL_ERROR "no ${ARGV1} in ${README}")
    endif()
    string(SUBSTRING "${text}" ${at} -1 text)
  endif()
  string(FIND "${text}" "```c\n" start)
  if(start LESS 0)
    message(FATAL_ERROR "no ```c block in ${README}")
  endif()
  math(EXPR start "${start} + 5")
  string(SUBSTRING "${text}" ${start} -1 text)
  string(FIND "${text}" "```" end)
  string(SUBSTRING "${text}" 0 ${end} code)
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/main.c" "${code}")
endfunction()

# Runs the example in a fresh directory holding the photo.png it crops (a
# 120x80 binary PPM: the decoder goes by content, not by name) and checks
# that it succeeded and wrote a JPEG.
function(run_example exe dir)
  file(REMOVE_RECURSE "${dir}")
  file(MAKE_DIRECTORY "${dir}")
  string(REPEAT "0Az" 9600 pixels)
  file(WRITE "${dir}/photo.png" "P6\n120 80\n255\n${pixels}")
  execute_process(COMMAND "${exe}" WORKING_DIRECTORY "${dir}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "README example failed (${rc}): ${err}")
  endif()
  if(NOT EXISTS "${dir}/thumb.jpg")
    message(FATAL_ERROR "README example wrote no thumb.jpg")
  endif()
  file(READ "${dir}/thumb.jpg" head LIMIT 3 HEX)
  if(NOT head STREQUAL "ffd8ff")
    message(FATAL_ERROR "thumb.jpg is not a JPEG (starts ${head})")
  endif()
endfunction()

# Compiles DIR/main.c (the extracted example) into EXE with the flags
# pkg-config gives for the installed library, and lets it find the library.
function(build_with_pkg_config exe)
  set(ENV{PKG_CONFIG_LIBDIR} "${PREFIX}/${LIBDIR}/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  # A static library's users link what it uses too.
  set(static "")
  if(STATIC)
    set(static --static)
  endif()
  must_run("pkg-config" "${PKG_CONFIG}" ${static} --cflags --libs trimlet)
  separate_arguments(flags UNIX_COMMAND "${OUT}")
  must_run("pkg-config libdir" "${PKG_CONFIG}" --variable=libdir trimlet)
  string(STRIP "${OUT}" libdir)
  get_filename_component(dir "${exe}" DIRECTORY)
  must_run("compiling with pkg-config flags" "${CC}" ${ARGN} "${dir}/main.c" ${flags} -o "${exe}")
  set(ENV{LD_LIBRARY_PATH} "${libdir}")
endfunction()

set(work "${WORK}/${STEP}")
file(REMOVE_RECURSE "${work}")

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE "${PREFIX}")
  must_run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" --config "${CONFIG}")
  foreach(f IN LISTS FILES)
    if(NOT EXISTS "${PREFIX}/${f}")
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()

elseif(STEP STREQUAL "find_package")
  extract_example("${work}")
  must_run("consumer configure" "${CMAKE_COMMAND}" -S "${CONSUMER}" -B "${work}/build" -G "${GENERATOR}"
           "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DREADME_EXAMPLE=${work}/main.c")
  must_run("consumer build" "${CMAKE_COMMAND}" --build "${work}/build")
  run_example("${work}/build/readme_example" "${work}/run")
  if(STATIC AND DEPENDENCY_FILES)
    # The package names the libraries the static library uses, not where
    # they were found when it was built; one missing on the user's machine
    # (its directory ignored here) is named with what provides it.
    file(GLOB exported "${PREFIX}/${LIBDIR}/cmake/trimlet/trimletTargets*.cmake")
    foreach(f IN LISTS exported)
      file(READ "${f}" text)
      foreach(dependency IN LISTS DEPENDENCY_FILES)
        string(FIND "${text}" "${dependency}" at)
        if(at GREATER -1)
          message(FATAL_ERROR "${f} names ${dependency}, a path on the machine trimlet was built on")
        endif()
      endforeach()
    endforeach()
    list(GET DEPENDENCY_FILES 0 first)
    get_filename_component(first_dir "${first}" DIRECTORY)
    # The same directory reached without /usr, where /lib links to /usr/lib.
    string(REGEX REPLACE "^/usr/" "/" other_dir "${first_dir}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -S "${CONSUMER}" -B "${work}/missing" -G "${GENERATOR}"
                    "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_PREFIX_PATH=${PREFIX}"
                    "-DREADME_EXAMPLE=${work}/main.c" "-DCMAKE_IGNORE_PATH=${first_dir};${other_dir}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REGEX REPLACE "[ \n]+" " " err "${err}")
    if(rc EQUAL 0 OR NOT err MATCHES "static trimlet library needs lib[^ ]+, which was not found: install it \\(Debian/Ubuntu: apt-get install [^)]+\\)")
      message(FATAL_ERROR "a consumer without ${first} was not told what is missing (${rc}):\n${out}\n${err}")
    endif()
  endif()

elseif(STEP STREQUAL "subdirectory")
  # A host project with its own flags and no build type (its configure step
  # checks that trimlet leaves them so and adds no program, tests or
  # benchmark), built and run: trimlet's own sources compile without -Werror
  # or the host's warnings raised, its program links, and installing the host
  # installs nothing of trimlet's.
  must_run("host configure" "${CMAKE_COMMAND}" -S "${HOST}" -B "${work}/build" -G "${GENERATOR}"
           "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DTRIMLET_SOURCE=${SOURCE}"
           "-DCMAKE_C_FLAGS=-DHOST_C_FLAG" "-DCMAKE_CXX_FLAGS=-DHOST_CXX_FLAG"
           "-DTRIMLET_STATIC=${STATIC}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
  file(READ "${work}/build/compile_commands.json" commands)
  string(FIND "${commands}" "${SOURCE}/src/" library_source)
  if(library_source LESS 0)
    message(FATAL_ERROR "the host's build compiles no trimlet source:\n${commands}")
  endif()
  string(FIND "${commands}" "-Werror" werror)
  if(NOT werror LESS 0)
    message(FATAL_ERROR "a host's build of trimlet treats warnings as errors:\n${commands}")
  endif()
  string(REGEX MATCH "\"command\": \"[^\"]*host_program\\.c\"" host_line "${commands}")
  if(NOT host_line MATCHES "-DHOST_C_FLAG" OR host_line MATCHES "-Wall|-Wextra|-O[0-3s]")
    message(FATAL_ERROR "the host's own program is not compiled with its flags alone: ${host_line}")
  endif()
  must_run("host build" "${CMAKE_COMMAND}" --build "${work}/build" --target host_program --parallel 2)
  must_run("host program" "${work}/build/host_program")
  must_run("host install" "${CMAKE_COMMAND}" --install "${work}/build" --prefix "${work}/prefix")
  file(GLOB_RECURSE installed "${work}/prefix/*")
  if(installed)
    message(FATAL_ERROR "installing the host installed trimlet's files: ${installed}")
  endif()

elseif(STEP STREQUAL "pip")
  # The module installed by pip, offline, into a fresh virtual environment
  # that sees the system's setuptools and wheel, from a copy of python/ (pip
  # builds in the source folder), then run against the installed library.
  # The header goes beside it: the distribution takes its version from it.
  file(COPY "${SOURCE}/python/" DESTINATION "${work}/src/python"
       PATTERN "__pycache__" EXCLUDE PATTERN "build" EXCLUDE PATTERN "*.egg-info" EXCLUDE)
  file(COPY "${SOURCE}/include/trimlet.h" DESTINATION "${work}/src/include")
  must_run("python -m venv" "${PYTHON}" -m venv --system-site-packages "${work}/venv")
  set(venv_python "${work}/venv/bin/python")
  must_run("pip install" "${venv_python}" -m pip install --no-index --no-build-isolation
           --disable-pip-version-check "${work}/src/python")
  must_run("the installed module" "${CMAKE_COMMAND}" -E env --unset=TRIMLET_LIBRARY
           --unset=PYTHONPATH "LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}" PYTHONDONTWRITEBYTECODE=1
           "${venv_python}" -c "
import importlib.metadata, os, sys, trimlet
assert importlib.metadata.version('trimlet') == '${VERSION}', importlib.metadata.version('trimlet')
assert os.path.realpath(trimlet.__file__).startswith(os.path.realpath(sys.prefix)), trimlet.__file__
assert trimlet.__version__ == trimlet.library_version == '${VERSION}', (trimlet.__version__, trimlet.library_version)
png = trimlet.crop('${SOURCE}/demo/sample.png', 'auto')
assert png[:8] == b'\\x89PNG\\r\\n\\x1a\\n', png[:8]
print(trimlet.plan(png, trimlet.Rule.RECT, 0, 0, 9999, 9999))
")
  if(NOT OUT MATCHES "Box\\(x=0, y=0, w=145, h=123, image_w=145, image_h=123, output_w=145, output_h=123, frames=1\\)")
    message(FATAL_ERROR "unexpected crop from the pip-installed module: ${OUT}")
  endif()

elseif(STEP STREQUAL "pkg_config")
  extract_example("${work}")
  build_with_pkg_config("${work}/readme_example")
  run_example("${work}/readme_example" "${work}/run")

elseif(STEP STREQUAL "memory_example")
  # The reentrant interface's example: memory in, memory out.
  extract_example("${work}" "<!-- example: memory -->")
  build_with_pkg_config("${work}/memory_example" -Wall -Wextra -Werror)
  set(dir "${work}/run")
  file(MAKE_DIRECTORY "${dir}")
  # Over 1 MiB (2.4 MB): the example reads it whole, so the square is 800 x 800.
  string(REPEAT "0Az" 800000 pixels)
  file(WRITE "${dir}/upload.jpg" "P6\n1000 800\n255\n${pixels}")
  execute_process(COMMAND "${work}/memory_example" WORKING_DIRECTORY "${dir}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "memory example failed (${rc}): ${err}")
  endif()
  file(READ "${dir}/square.png" head LIMIT 24 HEX)
  if(NOT head MATCHES "^89504e47.*0000032000000320$")
    message(FATAL_ERROR "square.png is not an 800 x 800 PNG (starts ${head})")
  endif()

elseif(STEP STREQUAL "elf")
  must_run("readelf" "${READELF}" -lW "${PREFIX}/${LIB}")
  if(NOT OUT MATCHES "GNU_RELRO")
    message(FATAL_ERROR "not linked with -z relro (no GNU_RELRO segment)")
  endif()
  must_run("readelf" "${READELF}" -d "${PREFIX}/${LIB}")
  set(dyn "${OUT}")
  if(NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[${SONAME}\\]")
    message(FATAL_ERROR "SONAME is not ${SONAME}:\n${dyn}")
  endif()
  if(NOT dyn MATCHES "\\(FLAGS\\)[^\n]*BIND_NOW")
    message(FATAL_ERROR "not linked with -z now (no BIND_NOW):\n${dyn}")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dyn}")
  foreach(line IN LISTS needed)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" dep "${line}")
    if(NOT dep MATCHES "^(${ALLOWED})$")
      message(FATAL_ERROR "unexpected NEEDED entry ${dep}:\n${dyn}")
    endif()
  endforeach()

elseif(STEP STREQUAL "pe")
  must_run("objdump" "${OBJDUMP}" -p "${PREFIX}/${LIB}")
  set(pe "${OUT}")
  # Export names: the "[   n] name" lines after the name pointer table.
  string(FIND "${pe}" "[Ordinal/Name Pointer] Table" at)
  if(at LESS 0)
    message(FATAL_ERROR "${LIB} exports nothing:\n${pe}")
  endif()
  string(SUBSTRING "${pe}" ${at} -1 table)
  string(REGEX MATCH "^[^\n]*\n(\t\\[ *[0-9]+\\] [^\n]*\n)*" table "${table}")
  string(FIND "${table}" "\n" at)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${table}" ${at} -1 table)
  string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "" table "${table}")
  string(REGEX MATCHALL "[^\n]+" names "${table}")
  list(SORT names)
  set(want trimlet_aspect trimlet_auto trimlet_cleanup trimlet_crop_file trimlet_crop_memory
           trimlet_edges trimlet_free trimlet_has trimlet_init trimlet_last_error trimlet_plan_file
           trimlet_plan_memory trimlet_rect trimlet_run trimlet_version)
  if(NOT names STREQUAL want)
    message(FATAL_ERROR "${LIB} exports [${names}], expected [${want}]")
  endif()
  # Loaded at a random address with non-executable data (the linker's
  # defaults, checked so that they stay on).
  foreach(flag DYNAMIC_BASE NX_COMPAT)
    if(NOT pe MATCHES "DllCharacteristics[^\n]*\n(\t+[A-Z_]+\n)*\t+${flag}\n")
      message(FATAL_ERROR "${LIB} lacks ${flag}")
    endif()
  endforeach()
  # Imports: the C runtime and Windows itself, nothing a host must ship.
  string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${pe}")
  foreach(line IN LISTS dlls)
    string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
      message(FATAL_ERROR "${LIB} imports ${dll}, which is not a system DLL")
    endif()
  endforeach()

else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
