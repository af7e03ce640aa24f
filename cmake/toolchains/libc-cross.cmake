# Shared part of the toolchain files that build against a router's own C
# library (uClibc-ng or musl) with Debian's MIPS cross compiler, in place of
# the glibc it comes with. The including file sets CMAKE_SYSTEM_PROCESSOR,
# KELVORN_CROSS_TRIPLET, KELVORN_LIBC_FLAGS (how the compiler finds that C
# library), optionally KELVORN_LIBC_LINK_FLAGS, then KELVORN_LIBC_NAME and
# KELVORN_TARGET_LOADER (the C library and loader the build must then have)
# and CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
# Another version of the compiler may be named: -DCMAKE_CXX_COMPILER=...-g++-11.
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_C_COMPILER ${KELVORN_CROSS_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${KELVORN_CROSS_TRIPLET}-g++)
endif()

# The C library is chosen by arguments that are part of the compiler, as a
# router SDK's own compiler has it built in: CMAKE_<LANG>_FLAGS given on the
# command line or by CFLAGS/CXXFLAGS replace a toolchain file's flags, and
# would silently build against Debian's glibc. Only that C library: no
# libstdc++ headers or library (a router image has none), and none of the
# compiler's default libraries.
separate_arguments(libc_args UNIX_COMMAND "${KELVORN_LIBC_FLAGS} -nodefaultlibs")
foreach(lang C CXX)
  if(CMAKE_${lang}_COMPILER)  # read again for each of CMake's probes
    list(GET CMAKE_${lang}_COMPILER 0 compiler)
    set(CMAKE_${lang}_COMPILER ${compiler} ${libc_args})
  endif()
endforeach()
list(APPEND CMAKE_CXX_COMPILER -nostdinc++)
# Nothing that would call into the C++ runtime: no exceptions, no RTTI, no
# guarded statics.
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -fno-rtti -fno-threadsafe-statics")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${KELVORN_LIBC_LINK_FLAGS}")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-lc -lgcc")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc -lgcc")
# CMake probes the compiler with a link that leaves the standard libraries
# out, which without the C library cannot link: its probes build a static
# library instead, which tells it as much (pointer size, standard features).
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GoogleTest needs a C++ library that a router image does not carry: these
# builds run the end-to-end scenarios only; the unit tests run on the glibc
# targets.
set(KELVORN_UNIT_TESTS OFF CACHE BOOL "Build the GoogleTest unit tests")
set(KELVORN_TARGET_LOADER ${KELVORN_TARGET_LOADER} CACHE STRING "The agent's program interpreter")
