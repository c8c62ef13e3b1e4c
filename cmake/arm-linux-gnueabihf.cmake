# Cross build for 32-bit ARM Linux, hard float, with Debian's g++-arm-linux-gnueabihf.
# Executables are linked statically so that qemu-arm runs them without an ARM sysroot; CTest runs
# them (and GoogleTest's discovery) through the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The notes on the GCC 7.1 change of passing parameters concern only mixing objects across that
# old ABI break; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

find_program(KORVANE_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVANE_QEMU_ARM})

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only dependencies (RapidJSON, Dragonbox) come from the build machine's /usr/include. Each
# is exposed through a directory of its own, so the host's C library headers never shadow the
# target's.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(_korvane_host_headers ${CMAKE_BINARY_DIR}/host-headers)
foreach(_korvane_lib rapidjson fast_float)
  if(EXISTS /usr/include/${_korvane_lib} AND NOT EXISTS ${_korvane_host_headers}/${_korvane_lib})
    file(MAKE_DIRECTORY ${_korvane_host_headers})
    file(CREATE_LINK /usr/include/${_korvane_lib} ${_korvane_host_headers}/${_korvane_lib} SYMBOLIC)
  endif()
endforeach()
set(RAPIDJSON_INCLUDE_DIR ${_korvane_host_headers} CACHE PATH "RapidJSON headers (host copy)")
set(FAST_FLOAT_INCLUDE_DIR ${_korvane_host_headers} CACHE PATH "fast_float headers (host copy)")
