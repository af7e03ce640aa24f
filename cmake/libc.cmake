# The C library the compiler really links, and the loader its programs ask
# for, from a test program built as the agent will be: the compiler with its
# arguments and the integrator's flags. Printed on every configure. A
# toolchain file that names the C library it builds for (KELVORN_LIBC_NAME:
# glibc, uclibc-ng or musl) and its loader gets exactly that, or the
# configure ends here instead of on the router.
#
# Sets KELVORN_LIBC (glibc, uclibc-ng, musl or unknown) and KELVORN_LIBC_LOADER.
set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/kelvorn-libc)
# uClibc-ng defines __GLIBC__ too, for programs that test for glibc; musl
# defines neither and is known by its loader.
file(WRITE ${probe}/libc.cc [=[
#include <stdio.h>
#if defined(__UCLIBC__)
#define LIBC "uclibc-ng"
#elif defined(__GLIBC__)
#define LIBC "glibc"
#else
#define LIBC "unknown"
#endif
extern const char kelvorn_libc[];
const char kelvorn_libc[] = "kelvorn-libc=" LIBC;
int main() { return puts(kelvorn_libc) < 0; }
]=])
function(kelvorn_probe_libc)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)  # which our router C libraries' files change
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  try_compile(linked ${probe}/build ${probe}/libc.cc OUTPUT_VARIABLE log
              COPY_FILE ${probe}/program)
  if(NOT linked)
    message(FATAL_ERROR "The compiler (${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_ARG1}) cannot "
            "link a program with these flags:\n${log}")
  endif()
  file(STRINGS ${probe}/program found REGEX "^(kelvorn-libc=|/.*/ld[-.].*)")
  set(libc unknown)
  set(loader "")
  foreach(line IN LISTS found)
    if(line MATCHES "^kelvorn-libc=(.*)")
      set(libc ${CMAKE_MATCH_1})
    else()
      set(loader ${line})
    endif()
  endforeach()
  if(libc STREQUAL "unknown" AND loader MATCHES "/ld-musl-")
    set(libc musl)
  endif()
  set(KELVORN_LIBC ${libc} PARENT_SCOPE)
  set(KELVORN_LIBC_LOADER "${loader}" PARENT_SCOPE)
endfunction()
kelvorn_probe_libc()
message(STATUS "kelvorn: C library ${KELVORN_LIBC}, loader ${KELVORN_LIBC_LOADER}")

foreach(want libc loader)
  if(want STREQUAL "libc")
    set(wanted "${KELVORN_LIBC_NAME}")
    set(got "${KELVORN_LIBC}")
  else()
    set(wanted "${KELVORN_TARGET_LOADER}")
    set(got "${KELVORN_LIBC_LOADER}")
  endif()
  if(wanted AND NOT got STREQUAL wanted)
    message(FATAL_ERROR
      "The compiler builds for ${KELVORN_LIBC} (loader ${KELVORN_LIBC_LOADER}), but the toolchain "
      "file ${CMAKE_TOOLCHAIN_FILE} builds for ${wanted}: the agent would not start on the "
      "router. Flags given as CMAKE_CXX_FLAGS or CMAKE_EXE_LINKER_FLAGS (or CXXFLAGS, LDFLAGS) "
      "replace a toolchain file's own and can choose another C library (a driver rules file, "
      "--sysroot, -nostdlib, -B, -L); so can CMAKE_CXX_COMPILER without the file's arguments.\n"
      "  compiler: ${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_ARG1}\n"
      "  CMAKE_CXX_FLAGS: ${CMAKE_CXX_FLAGS}\n"
      "  CMAKE_EXE_LINKER_FLAGS: ${CMAKE_EXE_LINKER_FLAGS}")
  endif()
endforeach()

# What the agent must need: the C library's shared object, by its soname.
if(NOT KELVORN_TARGET_LIBC)
  if(KELVORN_LIBC STREQUAL "glibc")
    set(KELVORN_TARGET_LIBC libc.so.6)
  elseif(KELVORN_LIBC STREQUAL "uclibc-ng")
    set(KELVORN_TARGET_LIBC libc.so.0)
  elseif(KELVORN_LIBC STREQUAL "musl")
    set(KELVORN_TARGET_LIBC libc.so)
  endif()
endif()
