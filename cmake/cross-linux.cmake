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
# Header-only dependencies (RapidJSON, Dragonbox, fast_float) come from the build machine's
# /usr/include. Each is exposed through a link in a directory of their own, so that the host's C
# library headers never shadow the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(_korvane_host_headers ${CMAKE_BINARY_DIR}/host-headers)
file(GLOB _korvane_dragonbox LIST_DIRECTORIES true /usr/include/dragonbox*/dragonbox)
list(SORT _korvane_dragonbox COMPARE NATURAL ORDER DESCENDING)
list(APPEND _korvane_dragonbox /usr/include/dragonbox)  # the newest version, or none
list(GET _korvane_dragonbox 0 _korvane_dragonbox)
foreach(_korvane_dep RAPIDJSON:/usr/include/rapidjson DRAGONBOX:${_korvane_dragonbox}
                     FAST_FLOAT:/usr/include/fast_float)
  string(REGEX REPLACE ":.*" "" _korvane_var ${_korvane_dep})
  string(REGEX REPLACE "^[^:]*:" "" _korvane_path ${_korvane_dep})
  get_filename_component(_korvane_name ${_korvane_path} NAME)
  if(IS_DIRECTORY ${_korvane_path})
    if(NOT EXISTS ${_korvane_host_headers}/${_korvane_name})
      file(MAKE_DIRECTORY ${_korvane_host_headers})
      file(CREATE_LINK ${_korvane_path} ${_korvane_host_headers}/${_korvane_name} SYMBOLIC)
    endif()
    set(${_korvane_var}_INCLUDE_DIR ${_korvane_host_headers} CACHE PATH "${_korvane_name} headers (host copy)")
  endif()
endforeach()
