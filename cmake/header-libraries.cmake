# The header-only libraries the core is compiled with: RapidJSON, Dragonbox and fast_float.
# The system's come first (or the directories named with -D<NAME>_INCLUDE_DIR=DIR, as the cross
# toolchain files do), then the copies an sdist carries in bundled/, which `make dist` takes from the
# build machine's Debian packages; a checkout has none of them and stops with one line.
set(_korvane_bundle ${PROJECT_SOURCE_DIR}/bundled)
# PATHS come after every system location; each library has a directory of its own in the bundle,
# so a bundled copy never shadows a system header of another library.
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h PATHS ${_korvane_bundle}/rapidjson/include)
find_path(DRAGONBOX_INCLUDE_DIR dragonbox/dragonbox.h
          PATH_SUFFIXES dragonbox-1.1.3 dragonbox-1.1.2 dragonbox
          PATHS ${_korvane_bundle}/dragonbox/include)
find_path(FAST_FLOAT_INCLUDE_DIR fast_float/fast_float.h PATHS ${_korvane_bundle}/fast_float/include)

set(_korvane_missing "")
set(_korvane_found "")
foreach(_korvane_lib "RapidJSON;RAPIDJSON;rapidjson/reader.h" "Dragonbox;DRAGONBOX;dragonbox/dragonbox.h"
                     "fast_float;FAST_FLOAT;fast_float/fast_float.h")
  list(GET _korvane_lib 0 _korvane_name)
  list(GET _korvane_lib 1 _korvane_var)
  list(GET _korvane_lib 2 _korvane_header)
  set(_korvane_dir "${${_korvane_var}_INCLUDE_DIR}")
  # A directory named on the command line or by a toolchain file is checked as well.
  if(NOT _korvane_dir OR NOT EXISTS "${_korvane_dir}/${_korvane_header}")
    list(APPEND _korvane_missing "${_korvane_name} (${_korvane_header})")
  else()
    cmake_path(IS_PREFIX _korvane_bundle "${_korvane_dir}" NORMALIZE _korvane_is_bundled)
    if(_korvane_is_bundled)
      list(APPEND _korvane_found "${_korvane_name} (bundled)")
    else()
      list(APPEND _korvane_found "${_korvane_name} (system, ${_korvane_dir})")
    endif()
  endif()
endforeach()

if(_korvane_missing)
  list(POP_BACK _korvane_missing _korvane_last)
  list(JOIN _korvane_missing ", " _korvane_missing)
  if(_korvane_missing)
    string(APPEND _korvane_missing " and ")
  endif()
  string(APPEND _korvane_missing "${_korvane_last}")
  # The leading space keeps CMake from wrapping the message: it stays one line.
  message(FATAL_ERROR " korvane cannot find the headers of ${_korvane_missing}: "
    "install them (Debian/Ubuntu: apt install rapidjson-dev libdragonbox-dev libfast-float-dev; "
    "Fedora: dnf install rapidjson-devel dragonbox-devel fast_float-devel; "
    "Homebrew: brew install rapidjson dragonbox fast_float; "
    "conda-forge: conda install rapidjson fast_float, Dragonbox from its release's headers) or name their "
    "directories with -DRAPIDJSON_INCLUDE_DIR=DIR -DDRAGONBOX_INCLUDE_DIR=DIR -DFAST_FLOAT_INCLUDE_DIR=DIR "
    "(through pip: -C cmake.define.RAPIDJSON_INCLUDE_DIR=DIR)")
endif()
list(JOIN _korvane_found ", " _korvane_found)
message(STATUS "korvane headers: ${_korvane_found}")
