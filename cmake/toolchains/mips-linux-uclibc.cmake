# 32-bit MIPS, big-endian, uClibc-ng.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(KELVORN_CROSS_TRIPLET mips-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc-ng.cmake)
