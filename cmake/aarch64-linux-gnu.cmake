# 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64.
set(KORVANE_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KORVANE_CROSS_QEMU qemu-aarch64)
# The architected pointer-authentication hash is slow to emulate; QEMU's own keeps every check.
set(KORVANE_CROSS_QEMU_OPTIONS -cpu max,pauth-impdef=on)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
