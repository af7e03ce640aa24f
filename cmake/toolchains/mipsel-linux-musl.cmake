# 32-bit MIPS, little-endian, musl: an OpenWrt-style router. Debian's
# musl-dev:mipsel provides the headers, the library and musl-gcc's driver
# rules, which point the cross compiler at them; its loader is installed at
# /lib/ld-musl-mipsel.so.1, where qemu-user finds it without -L.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KELVORN_CROSS_TRIPLET mipsel-linux-gnu)
set(musl /usr/lib/mipsel-linux-musl)
set(KELVORN_LIBC_FLAGS "-specs=${musl}/musl-gcc.specs")
set(KELVORN_TARGET_LIBC libc.so)
set(KELVORN_TARGET_LOADER /lib/ld-musl-mipsel.so.1)
set(KELVORN_LIBC_ROOT ${musl})
set(KELVORN_LIBC_NAME musl)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/libc-cross.cmake)
