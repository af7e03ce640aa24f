# uClibc-ng, as vendor router SDKs ship it, built by scripts/uclibc-sysroot.sh
# from Debian's uclibc-source (once; then cached). The including file sets
# CMAKE_SYSTEM_PROCESSOR and KELVORN_CROSS_TRIPLET.
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/uclibc-sysroot.sh ${CMAKE_SYSTEM_PROCESSOR}
  OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "no uClibc-ng sysroot for ${CMAKE_SYSTEM_PROCESSOR}")
endif()

# Debian's cross compiler searches its own glibc before any --sysroot, for
# headers, start files and libraries alike. A file of driver rules, as
# Debian's musl-gcc carries one, puts uClibc-ng in glibc's place; -muclibc
# picks its loader, /lib/ld-uClibc.so.0, as on a uClibc router.
set(driver_rules ${sysroot}/uclibc-gcc.rules)
# Rewritten only when the text changes: the file is read on every compile.
file(CONFIGURE OUTPUT ${driver_rules} @ONLY CONTENT "%rename cpp_options old_cpp_options

*cpp_options:
-nostdinc -isystem ${sysroot}/usr/include -isystem include%s %(old_cpp_options)

*cc1:
%(cc1_cpu) -nostdinc -isystem ${sysroot}/usr/include -isystem include%s

*link_libgcc:
-L${sysroot}/usr/lib -L${sysroot}/lib -L .%s

*libgcc:
libgcc.a%s

*startfile:
%{!shared: ${sysroot}/usr/lib/Scrt1.o} ${sysroot}/usr/lib/crti.o crtbeginS.o%s

*endfile:
crtendS.o%s ${sysroot}/usr/lib/crtn.o
")
# --sysroot: the linker then finds the paths in libc.so, a linker script,
# inside the sysroot.
set(KELVORN_LIBC_FLAGS "-specs=${driver_rules} -muclibc --sysroot=${sysroot}")
# uClibc-ng's loader expands $ORIGIN in DT_RPATH only, not in DT_RUNPATH:
# the build tree's agent finds the stand-in store through an old-style
# RPATH. The installed agent has neither.
set(KELVORN_LIBC_LINK_FLAGS "-Wl,--disable-new-dtags")
set(KELVORN_TARGET_LOADER /lib/ld-uClibc.so.0)
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(KELVORN_LIBC_ROOT ${sysroot})
set(KELVORN_LIBC_NAME uclibc-ng)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L ${sysroot})
include(${CMAKE_CURRENT_LIST_DIR}/libc-cross.cmake)
