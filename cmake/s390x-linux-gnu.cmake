# 64-bit IBM Z Linux, big-endian, with Debian's g++-s390x-linux-gnu; tests run under qemu-s390x.
set(KORVANE_CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KORVANE_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
