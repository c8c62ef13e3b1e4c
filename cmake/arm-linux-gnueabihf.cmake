# 32-bit ARM Linux, hard float, with Debian's g++-arm-linux-gnueabihf; tests run under qemu-arm.
set(KORVANE_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KORVANE_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
