# 32-bit MIPS, big-endian, as many routers are: catches byte-order faults
# that a little-endian target hides.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(KELVORN_CROSS_TRIPLET mips-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
