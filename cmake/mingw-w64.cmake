# Windows x86-64 with Debian's MinGW-w64 GCC (g++-mingw-w64-x86-64-posix: the threads model
# std::thread needs), for the core and its C++ tests; CTest runs them under Wine.
# Executables are linked statically: Wine then needs none of the toolchain's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVANE_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian installs wine64 outside PATH unless the wine wrapper package is there too.
find_program(KORVANE_WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
# A Wine prefix of the build's own, made on first use; Wine's own diagnostics stay quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all
    ${KORVANE_WINE64})

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The header-only libraries come from the build machine (cmake/header-libraries.cmake).
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
