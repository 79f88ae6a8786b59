# Hardening flags a distribution would build with, applied to one target when
# the toolchain accepts them. Each flag is probed first, so an older or
# different compiler simply builds without the ones it lacks.
#
# These are ELF flags (WebAssembly has no use for them either): on Windows the linker's defaults (ASLR, DEP) already
# apply, and -fstack-protector / _FORTIFY_SOURCE would pull in libssp-0.dll,
# which a DLL that should need only system DLLs cannot carry.

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

function(trimlet_harden target)
  if(WIN32 OR APPLE OR MSVC OR EMSCRIPTEN)
    return()
  endif()

  # _FORTIFY_SOURCE only acts when optimising; at -O0 glibc warns about it,
  # which -Werror would turn into a failure. A level set in the flags or built
  # into the compiler (Ubuntu's defines 2 or 3 when optimising) is left alone:
  # defining it again would be a redefinition warning.
  set(CMAKE_REQUIRED_FLAGS "-O2 ${CMAKE_CXX_FLAGS}")
  check_cxx_source_compiles("
#ifdef _FORTIFY_SOURCE
#error _FORTIFY_SOURCE already set
#endif
int main() { return 0; }" TRIMLET_FORTIFY_UNSET)
  unset(CMAKE_REQUIRED_FLAGS)
  if(TRIMLET_FORTIFY_UNSET)
    target_compile_definitions(${target} PRIVATE
      $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
  endif()

  set(flags -fstack-protector-strong -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    list(APPEND flags -fcf-protection)
  endif()
  foreach(flag IN LISTS flags)
    string(MAKE_C_IDENTIFIER "TRIMLET_HAVE${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      target_compile_options(${target} PRIVATE ${flag})
    endif()
  endforeach()

  # Read-only relocations after start-up, all symbols bound at load.
  foreach(flag "LINKER:-z,relro" "LINKER:-z,now")
    string(MAKE_C_IDENTIFIER "TRIMLET_HAVE_${flag}" var)
    check_linker_flag(C "${flag}" ${var})
    if(${var})
      target_link_options(${target} PRIVATE "${flag}")
    endif()
  endforeach()
endfunction()
