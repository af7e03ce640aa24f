# 32-bit MIPS, little-endian, uClibc-ng: a vendor SDK's router.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KELVORN_CROSS_TRIPLET mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc-ng.cmake)
