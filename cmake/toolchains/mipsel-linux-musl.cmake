# 32-bit MIPS, little-endian, musl: an OpenWrt-style router. Debian 12's
# musl and musl-dev for mipsel, fetched and unpacked into kelvorn's cache by
# scripts/mipsel-packages.sh (once; then cached), give the headers, the
# library and its loader.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KELVORN_CROSS_TRIPLET mipsel-linux-gnu)
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/mipsel-packages.sh musl
  OUTPUT_VARIABLE packages OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "no musl for mipsel: scripts/mipsel-packages.sh musl failed")
endif()
set(root ${packages}/root)
set(musl ${root}/usr/lib/mipsel-linux-musl)

# Driver rules in place of Debian's compiler's glibc, as musl-gcc's are,
# written for this folder. The compiler may add -EL or -EB itself (GCC 14's
# does): cc1 and the linker must still be told.
set(driver_rules ${packages}/musl-gcc.rules)
# Rewritten only when the text changes: the file is read on every compile.
file(CONFIGURE OUTPUT ${driver_rules} @ONLY CONTENT "%rename cpp_options old_cpp_options

*cpp_options:
-nostdinc -isystem ${root}/usr/include/mipsel-linux-musl -isystem include%s %(old_cpp_options)

*cc1:
%(cc1_cpu) %{EB:-meb} %{EL:-mel} -nostdinc -isystem ${root}/usr/include/mipsel-linux-musl -isystem include%s

*link_libgcc:
-L${musl} -L .%s

*libgcc:
libgcc.a%s %:if-exists(libgcc_eh.a%s)

*startfile:
%{!shared: ${musl}/Scrt1.o} ${musl}/crti.o crtbeginS.o%s

*endfile:
crtendS.o%s ${musl}/crtn.o

*link:
%{EB} %{EL} -dynamic-linker /lib/ld-musl-mipsel.so.1 -nostdlib %{shared:-shared} %{static:-static} %{rdynamic:-export-dynamic}
")
set(KELVORN_LIBC_FLAGS "-specs=${driver_rules}")
set(KELVORN_TARGET_LOADER /lib/ld-musl-mipsel.so.1)
set(CMAKE_FIND_ROOT_PATH ${root})
set(KELVORN_LIBC_ROOT ${musl})
set(KELVORN_LIBC_NAME musl)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${root})
include(${CMAKE_CURRENT_LIST_DIR}/libc-cross.cmake)
