# SPDX-License-Identifier: MIT
# Where the Python module goes under a prefix, for a given python3: Debian's
# python3 searches lib/python3/dist-packages under /usr and
# lib/python3.X/dist-packages under /usr/local; other builds of Python search
# lib/python3.X/site-packages. Without a python3 that answers, Debian's
# folder for every version. Used when configuring (for the tests) and when
# installing (python/CMakeLists.txt), so that a python3 installed after the
# build was configured is the one that decides.
function(trimlet_python_dir out python prefix)
  set(dir "lib/python3/dist-packages")
  if(python)
    execute_process(COMMAND "${python}" -c
        "import sys; print('%d.%d' % sys.version_info[:2], any(p.endswith('dist-packages') for p in sys.path))"
      RESULT_VARIABLE rc OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND answer MATCHES "^([0-9]+\\.[0-9]+) (True|False)$")
      set(version "${CMAKE_MATCH_1}")
      if(NOT CMAKE_MATCH_2 STREQUAL "True")
        set(dir "lib/python${version}/site-packages")
      elseif(NOT prefix STREQUAL "/usr")
        set(dir "lib/python${version}/dist-packages")
      endif()
    endif()
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()
