# Wheels: the build machine's GCC (or Debian's cross GCC for the target) compiles and links
# against an old Debian root (glibc 2.31; for s390x 2.36) as sysroot, so that the module asks for
# no C library symbol newer than its manylinux tag allows.
# The environment names the root (KORVANE_SYSROOT) and the target (KORVANE_TRIPLE); the target's
# Python headers come from a directory of their own (KORVANE_PYTHON_HEADERS), so that the build
# machine's /usr/include never shadows the root's C library (cmake/header-libraries.cmake does the
# same for the header-only libraries).
set(KORVANE_SYSROOT "$ENV{KORVANE_SYSROOT}")
set(KORVANE_TRIPLE "$ENV{KORVANE_TRIPLE}")
if(NOT IS_DIRECTORY "${KORVANE_SYSROOT}/usr/lib/${KORVANE_TRIPLE}")
  message(FATAL_ERROR "KORVANE_SYSROOT/KORVANE_TRIPLE name no root: '${KORVANE_SYSROOT}' '${KORVANE_TRIPLE}'")
endif()

if(NOT KORVANE_TRIPLE MATCHES "^x86_64-")
  # Another architecture: Debian's cross compiler for it (g++-arm-linux-gnueabihf, ...).
  set(CMAKE_SYSTEM_NAME Linux)
  string(REGEX REPLACE "-.*" "" _korvane_processor "${KORVANE_TRIPLE}")
  set(CMAKE_SYSTEM_PROCESSOR ${_korvane_processor})
  set(CMAKE_C_COMPILER ${KORVANE_TRIPLE}-gcc)
  set(CMAKE_CXX_COMPILER ${KORVANE_TRIPLE}-g++)
  # Notes on GCC's past changes of passing parameters concern only objects from older compilers.
  set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
endif()
set(CMAKE_SYSROOT "${KORVANE_SYSROOT}")

# GCC searches its own library directories first, and those lead to the build machine's newer C
# library; the root's come first instead. The C++ runtime is linked in (the target has none of
# this GCC's), the unwinder stays the root's shared libgcc_s, which every manylinux system has.
set(_korvane_libdirs "-L${KORVANE_SYSROOT}/usr/lib/${KORVANE_TRIPLE} -L${KORVANE_SYSROOT}/lib/${KORVANE_TRIPLE}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_korvane_libdirs} -pthread -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_korvane_libdirs} -pthread -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_korvane_libdirs} -pthread -static-libstdc++")

set(KORVANE_WHEEL_LIBC_COMPAT ON CACHE BOOL "Link the stand-ins for C library symbols of newer glibc")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(_korvane_python_headers "$ENV{KORVANE_PYTHON_HEADERS}")
if(_korvane_python_headers)
  # Debian's interpreters: their headers and the per-architecture pyconfig.h they include.
  string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${_korvane_python_headers}")
endif()
# A release module carries no debug information and no file name, but should any source name its
# own file (__FILE__), the wheel shows no build machine's directory: only paths below the source's.
string(APPEND CMAKE_CXX_FLAGS_INIT " -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
