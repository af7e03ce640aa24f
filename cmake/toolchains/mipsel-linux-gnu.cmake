# 32-bit MIPS, little-endian: the routers kelvorn ships on.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KELVORN_CROSS_TRIPLET mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
