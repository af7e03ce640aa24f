# The C library the compiler really links and the program interpreter the
# agent will ask for, from a probe program built as the agent is (the
# compiler with its arguments, ours, then the integrator's flags) and read
# back: its interpreter from its program headers, the C library from the
# compiler's macros compiled into it. Printed on every configure. A
# toolchain file that names the C library it builds for (KELVORN_LIBC_NAME:
# glibc, uclibc-ng or musl) and its loader (KELVORN_TARGET_LOADER) gets
# exactly those, or the configure ends here instead of on the router.
#
# Sets KELVORN_LIBC (glibc, uclibc-ng, musl or unknown), KELVORN_LIBC_LOADER,
# KELVORN_PROBE_FORTIFY (optimising leaves _FORTIFY_SOURCE to us) and
# KELVORN_STRIP (a strip that strips this compiler's programs, or nothing).
set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/kelvorn-probe)
set(KELVORN_BINARY_REPORT ${CMAKE_CURRENT_LIST_DIR}/../scripts/binary-report.sh)
separate_arguments(compiler_args UNIX_COMMAND "${CMAKE_CXX_COMPILER_ARG1}")
set(compiler "${CMAKE_CXX_COMPILER}" ${compiler_args})
# uClibc-ng defines __GLIBC__ too, for programs that test for glibc; musl
# defines neither and is known by its loader. _FORTIFY_SOURCE is looked at
# before any header, which may undefine it. The buffer is one that any
# stack protector guards, so a canary that the C library lacks fails here.
file(WRITE ${probe}/probe.cc [=[
#if defined(__OPTIMIZE__) && !defined(_FORTIFY_SOURCE)
#define FORTIFY "YES"
#else
#define FORTIFY "NO"
#endif
#include <stdio.h>
#if defined(__UCLIBC__)
#define LIBC "uclibc-ng"
#elif defined(__GLIBC__)
#define LIBC "glibc"
#else
#define LIBC "unknown"
#endif
extern const char kelvorn_probe[];
const char kelvorn_probe[] = "kelvorn-probe=" LIBC "/fortify=" FORTIFY "/";
int main(int argc, char **) {
  volatile char b[16];
  b[0] = 'a';
  return puts(kelvorn_probe) < 0 || b[argc & 15];
}
]=])

# kelvorn_probe(OK LOG COMPILE LINK NAME [alone]): links the probe at
# ${probe}/NAME with COMPILE and LINK (lists of ours), then the integrator's
# flags, or with the compiler alone.
function(kelvorn_probe ok log compile link name)
  list(JOIN compile " " CMAKE_CXX_FLAGS)
  list(JOIN link " " CMAKE_EXE_LINKER_FLAGS)
  if(NOT ARGV5 STREQUAL "alone")
    string(APPEND CMAKE_CXX_FLAGS " ${their_compile}")
    string(APPEND CMAKE_EXE_LINKER_FLAGS " ${their_exe_link}")
  endif()
  set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)  # which our router C libraries' files change
  file(REMOVE ${probe}/${name})
  try_compile(linked ${probe}/build-${name} ${probe}/probe.cc OUTPUT_VARIABLE output
              COPY_FILE ${probe}/${name})
  set(${ok} ${linked} PARENT_SCOPE)
  set(${log} "${output}" PARENT_SCOPE)
endfunction()

# kelvorn_probe_libc(NAME [alone]): sets libc, loader and fortify from the
# probe NAME, built by kelvorn_probe.
macro(kelvorn_probe_libc name)
  execute_process(COMMAND sh ${KELVORN_BINARY_REPORT} ${probe}/${name} ${compiler}
                  OUTPUT_VARIABLE report RESULT_VARIABLE failed)
  # A string's line may begin with bytes before it that look printable.
  file(STRINGS ${probe}/${name} found REGEX "kelvorn-probe=")
  string(REGEX MATCH "interpreter ([^\n]*)" loader "${report}")
  set(loader "${CMAKE_MATCH_1}")
  string(REGEX MATCH "kelvorn-probe=([^/]*)/fortify=([^/]*)/" found "${found}")
  set(libc ${CMAKE_MATCH_1})
  set(fortify ${CMAKE_MATCH_2})
  if(failed OR NOT libc)
    message(FATAL_ERROR "kelvorn: cannot read the probe ${probe}/${name}: ${report}")
  elseif(libc STREQUAL "unknown" AND loader MATCHES "/ld-musl-")
    set(libc musl)
  endif()
endmacro()

kelvorn_probe(linked log "${ours_compile};${pie}" "${ours_link};${pie}" program)
if(NOT linked AND log MATCHES "__stack_chk_(fail|guard)")
  if(KELVORN_STACK_PROTECTOR)
    set(who "KELVORN_STACK_PROTECTOR=ON asks")
  else()
    set(who "The compiler or your flags ask")
  endif()
  message(FATAL_ERROR "${who} for the stack protector, but this C library has no "
          "stack-protector canary (__stack_chk_guard, __stack_chk_fail): a program built with "
          "it does not link. Leave it out, or build the C library with SSP support (uClibc-ng: "
          "UCLIBC_HAS_SSP).")
elseif(NOT linked)
  list(JOIN compiler " " compiler)
  message(FATAL_ERROR "The compiler (${compiler}) cannot link a program with these flags:\n${log}")
endif()
kelvorn_probe_libc(program)
message(STATUS "kelvorn: C library ${libc}, loader ${loader}")
set(KELVORN_LIBC ${libc})
set(KELVORN_LIBC_LOADER "${loader}")
set(KELVORN_PROBE_FORTIFY ${fortify})

if(loader STREQUAL "none")
  message(FATAL_ERROR "The compiler and flags link statically (the probe has no program "
          "interpreter), but kelvorn links the platform's libapmib.so, a shared library: it "
          "cannot be a static program.")
endif()
if(KELVORN_LIBC_NAME AND NOT libc STREQUAL KELVORN_LIBC_NAME OR
   KELVORN_TARGET_LOADER AND NOT loader STREQUAL KELVORN_TARGET_LOADER)
  # Whose word it is: the same probe with the compiler alone tells.
  set(built "${libc} (loader ${loader})")
  kelvorn_probe(linked log "" "" alone alone)
  if(linked)
    kelvorn_probe_libc(alone)
  endif()
  if(linked AND libc STREQUAL KELVORN_LIBC_NAME AND
     (NOT KELVORN_TARGET_LOADER OR loader STREQUAL KELVORN_TARGET_LOADER))
    string(CONCAT cause "Without them the compiler builds for ${KELVORN_LIBC_NAME}: your flags choose "
        "${built}. Flags given as -DCMAKE_CXX_FLAGS or -DCMAKE_EXE_LINKER_FLAGS (or CXXFLAGS and "
        "LDFLAGS in the first configure's environment) replace a toolchain file's own.\n"
        "  flags: ${their_compile}\n  linker flags: ${their_exe_link}")
  else()
    list(JOIN compiler " " cause)
    string(PREPEND cause "The compiler itself builds for that, without any flags: ")
    string(APPEND cause ". Is it named without the toolchain file's arguments?")
  endif()
  message(FATAL_ERROR "The compiler builds for ${built}, but the toolchain file "
          "${CMAKE_TOOLCHAIN_FILE} builds for ${KELVORN_LIBC_NAME} (loader "
          "${KELVORN_TARGET_LOADER}): the agent would not start on the router. ${cause}")
endif()

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

# The strip that `cmake --install --strip` runs: CMake's where it strips
# the probe, else the toolchain's own; else none, and the install fails.
execute_process(COMMAND sh ${KELVORN_BINARY_REPORT} --program strip ${compiler}
                OUTPUT_VARIABLE toolchain_strip OUTPUT_STRIP_TRAILING_WHITESPACE)
set(KELVORN_STRIP "")
foreach(strip IN ITEMS "${CMAKE_STRIP}" "${toolchain_strip}")
  execute_process(COMMAND "${strip}" -o ${probe}/stripped ${probe}/program
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(strip AND NOT failed)
    set(KELVORN_STRIP "${strip}")
    break()
  endif()
endforeach()
if(KELVORN_STRIP)
  message(STATUS "kelvorn: install --strip runs ${KELVORN_STRIP}")
else()
  message(STATUS "kelvorn: no strip strips this compiler's programs: install --strip fails")
endif()
