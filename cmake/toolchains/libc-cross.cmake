# Shared part of the toolchain files that build against a router's own C
# library (uClibc-ng or musl) with Debian's MIPS cross compiler, in place of
# the glibc it comes with. The including file sets CMAKE_SYSTEM_PROCESSOR,
# KELVORN_CROSS_TRIPLET, KELVORN_LIBC_FLAGS (how the compiler finds that C
# library), optionally KELVORN_LIBC_LINK_FLAGS, then KELVORN_TARGET_LIBC and
# KELVORN_TARGET_LOADER (what the agent must then need and ask for) and
# CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
# Another version of the compiler may be named: -DCMAKE_CXX_COMPILER=...-g++-11.
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_C_COMPILER ${KELVORN_CROSS_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${KELVORN_CROSS_TRIPLET}-g++)
endif()

# Only the C library: no libstdc++ headers or library (a router image has
# none), and nothing that would call into it: no exceptions, no RTTI, no
# guarded statics.
set(flags "${KELVORN_LIBC_FLAGS} -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(CMAKE_C_FLAGS_INIT "${KELVORN_LIBC_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
foreach(kind EXE SHARED MODULE)
  # CMake links with the compile flags too: they carry KELVORN_LIBC_FLAGS.
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-nodefaultlibs ${KELVORN_LIBC_LINK_FLAGS}")
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
set(KELVORN_TARGET_LIBC ${KELVORN_TARGET_LIBC} CACHE STRING "The C library the agent needs")
set(KELVORN_TARGET_LOADER ${KELVORN_TARGET_LOADER} CACHE STRING "The agent's program interpreter")
