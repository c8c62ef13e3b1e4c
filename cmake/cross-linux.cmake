# Cross build for Linux on another architecture with Debian's g++-<triple>, included by the
# per-target files (arm-linux-gnueabihf.cmake, aarch64-linux-gnu.cmake, s390x-linux-gnu.cmake),
# which set KORVANE_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR, KORVANE_CROSS_QEMU and perhaps
# KORVANE_CROSS_QEMU_OPTIONS.
# Executables are linked statically so that qemu runs them without a target sysroot; CTest runs
# them (and GoogleTest's discovery) through the emulator.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KORVANE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORVANE_CROSS_TRIPLE}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# GCC's notes on its past changes of passing parameters concern only mixing objects across those
# ABI breaks; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

find_program(KORVANE_QEMU_${KORVANE_CROSS_TRIPLE} ${KORVANE_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVANE_QEMU_${KORVANE_CROSS_TRIPLE}} ${KORVANE_CROSS_QEMU_OPTIONS})

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The header-only libraries come from the build machine (cmake/header-libraries.cmake).
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
