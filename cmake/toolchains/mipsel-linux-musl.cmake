# 32-bit MIPS, little-endian, musl: an OpenWrt-style router. Debian's
# musl-dev:mipsel provides the headers, the library and the specs that point
# the cross compiler at them; its loader is installed at
# /lib/ld-musl-mipsel.so.1, where qemu-user finds it without -L.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KELVORN_CROSS_TRIPLET mipsel-linux-gnu)
set(KELVORN_LIBC_FLAGS "-specs /usr/lib/mipsel-linux-musl/musl-gcc.specs")
set(KELVORN_TARGET_LIBC libc.so)
set(KELVORN_TARGET_LOADER /lib/ld-musl-mipsel.so.1)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/libc-cross.cmake)
