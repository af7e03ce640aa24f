# Shared part of the toolchain files for Debian's cross compilers. They stand
# in for a router SDK's toolchain; KELVORN_CROSS_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Linux)
# Another version of the compiler may be named: -DCMAKE_CXX_COMPILER=...-g++-11.
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_C_COMPILER ${KELVORN_CROSS_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${KELVORN_CROSS_TRIPLET}-g++)
endif()

# Debian installs each target's C library under /usr/<triplet>.
set(KELVORN_CROSS_SYSROOT /usr/${KELVORN_CROSS_TRIPLET})
set(KELVORN_LIBC_NAME glibc)
set(KELVORN_TARGET_LOADER /lib/ld.so.1 CACHE STRING "The agent's program interpreter")
set(CMAKE_FIND_ROOT_PATH ${KELVORN_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run the target's binaries under qemu-user, which takes the dynamic
# loader and the C library from the sysroot; the kernel underneath is real.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L ${KELVORN_CROSS_SYSROOT})
