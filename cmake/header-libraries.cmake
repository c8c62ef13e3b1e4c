# The header-only libraries the core is compiled with: RapidJSON, Dragonbox and fast_float. This is
# the one place that finds them, for native, cross and wheel builds alike; the result is the target
# korvane_header_libraries and, for the SBOM, KORVANE_<NAME>_VERSION and KORVANE_<NAME>_ORIGIN.
# RapidJSON and fast_float: the system's (or the directory named with -D<NAME>_INCLUDE_DIR=DIR) come
# first, then the copy an sdist carries in bundled/. Dragonbox is pinned: the core uses its internal
# detail:: interface, so a system copy is taken only when it is the pinned version, else the bundled
# copy; a checkout without either stops with one line.
set(KORVANE_DRAGONBOX_PIN 1.1.3)
if(POLICY CMP0205)
  cmake_policy(SET CMP0205 NEW)  # where links fail (Windows without the right), copy the directory
endif()
set(_korvane_bundle ${PROJECT_SOURCE_DIR}/bundled)

# Where a build for another system still finds the build machine's headers (its /usr/include is not
# among a Windows target's search prefixes); each is exposed through a directory of its own below.
set(_korvane_host_include /usr/local/include /usr/include)

# The version of the headers in DIR: the bundle's record, the headers' own macros, the directory's
# name (Dragonbox installs into include/dragonbox-X.Y.Z) or the package's CMake version file.
function(_korvane_header_version out name dir)
  set(_version "")
  string(REGEX REPLACE "(.)/+$" "\\1" dir "${dir}")
  cmake_path(GET dir PARENT_PATH _up)
  if(EXISTS "${_up}/VERSION")
    file(STRINGS "${_up}/VERSION" _version LIMIT_COUNT 1)
  elseif(name STREQUAL "RapidJSON" AND EXISTS "${dir}/rapidjson/rapidjson.h")
    file(STRINGS "${dir}/rapidjson/rapidjson.h" _lines REGEX "^#define RAPIDJSON_(MAJOR|MINOR|PATCH)_VERSION ")
    string(REGEX REPLACE "[^;]*_VERSION ([0-9]+)" "\\1" _parts "${_lines}")
    list(JOIN _parts "." _version)
  elseif(name STREQUAL "fast_float" AND EXISTS "${dir}/fast_float/float_common.h")
    file(STRINGS "${dir}/fast_float/float_common.h" _lines REGEX "^#define FASTFLOAT_VERSION_(MAJOR|MINOR|PATCH) ")
    string(REGEX REPLACE "[^;]*_(MAJOR|MINOR|PATCH) ([0-9]+)" "\\2" _parts "${_lines}")
    list(JOIN _parts "." _version)
  endif()
  if(NOT _version)
    cmake_path(GET dir FILENAME _leaf)
    if(_leaf MATCHES "^dragonbox-([0-9]+\\.[0-9]+\\.[0-9]+)$")
      set(_version ${CMAKE_MATCH_1})
    endif()
  endif()
  if(NOT _version)
    # <prefix>/include[/sub] -> <prefix>: the package's config files live beside its headers.
    string(REGEX REPLACE "/include(/[^/]*)?$" "" _prefix "${dir}")
    set(_config ${name}ConfigVersion.cmake)
    if(name STREQUAL "fast_float")
      set(_config FastFloatConfigVersion.cmake)
    endif()
    file(GLOB _files ${_prefix}/lib/cmake/*/${_config} ${_prefix}/lib/*/cmake/*/${_config}
         ${_prefix}/lib64/cmake/*/${_config} ${_prefix}/share/cmake/*/${_config})
    foreach(_file IN LISTS _files)
      file(STRINGS ${_file} _line REGEX "set\\(PACKAGE_VERSION \"[0-9.]+\"\\)")
      if(_line MATCHES "\"([0-9.]+)\"")
        set(_version ${CMAKE_MATCH_1})
        break()
      endif()
    endforeach()
  endif()
  set(${out} "${_version}" PARENT_SCOPE)
endfunction()

set(_korvane_missing "")
set(_korvane_found "")
add_library(korvane_header_libraries INTERFACE)
foreach(_korvane_lib "RapidJSON;RAPIDJSON;rapidjson/reader.h;rapidjson"
                     "Dragonbox;DRAGONBOX;dragonbox/dragonbox.h;dragonbox"
                     "fast_float;FAST_FLOAT;fast_float/fast_float.h;fast_float")
  list(GET _korvane_lib 0 _korvane_name)
  list(GET _korvane_lib 1 _korvane_var)
  list(GET _korvane_lib 2 _korvane_header)
  list(GET _korvane_lib 3 _korvane_sub)
  set(_korvane_bundled_dir ${_korvane_bundle}/${_korvane_sub}/include)
  if(NOT EXISTS ${_korvane_bundled_dir}/${_korvane_header})
    set(_korvane_bundled_dir "")
  endif()
  set(_korvane_note "")
  if(_korvane_name STREQUAL "Dragonbox")
    # A named directory is taken as it is; otherwise only the pinned version's install directory.
    if(DRAGONBOX_INCLUDE_DIR)
      set(_korvane_dir ${DRAGONBOX_INCLUDE_DIR})
    else()
      find_path(_KORVANE_SYSTEM_DRAGONBOX ${_korvane_header} PATH_SUFFIXES dragonbox-${KORVANE_DRAGONBOX_PIN}
                PATHS ${_korvane_host_include} NO_CACHE)
      set(_korvane_dir ${_KORVANE_SYSTEM_DRAGONBOX})
    endif()
    if(_korvane_dir)
      _korvane_header_version(_korvane_version ${_korvane_name} ${_korvane_dir})
      if(NOT _korvane_version VERSION_EQUAL KORVANE_DRAGONBOX_PIN)
        if(NOT _korvane_version)
          set(_korvane_version "of unknown version")
        endif()
        set(_korvane_note ", ${_korvane_dir} is ${_korvane_version}, not used")
        set(_korvane_dir "")
      endif()
    else()
      file(GLOB _korvane_others LIST_DIRECTORIES true /usr/local/include/dragonbox-* /usr/include/dragonbox-*)
      if(_korvane_others)
        list(JOIN _korvane_others ", " _korvane_others)
        set(_korvane_note ", ${_korvane_others} not used")
      endif()
    endif()
    if(NOT _korvane_dir)
      set(_korvane_dir ${_korvane_bundled_dir})
    endif()
  else()
    # PATHS come after every system location, so the system's copy wins over the bundled one.
    find_path(${_korvane_var}_INCLUDE_DIR ${_korvane_header} PATHS ${_korvane_host_include} ${_korvane_bundled_dir})
    set(_korvane_dir ${${_korvane_var}_INCLUDE_DIR})
  endif()

  # A directory named on the command line or by a toolchain file is checked as well.
  if(NOT _korvane_dir OR NOT EXISTS "${_korvane_dir}/${_korvane_header}")
    if(_korvane_name STREQUAL "Dragonbox")
      list(APPEND _korvane_missing "Dragonbox ${KORVANE_DRAGONBOX_PIN} (${_korvane_header}${_korvane_note})")
    else()
      list(APPEND _korvane_missing "${_korvane_name} (${_korvane_header})")
    endif()
    continue()
  endif()
  _korvane_header_version(_korvane_version ${_korvane_name} ${_korvane_dir})
  cmake_path(IS_PREFIX _korvane_bundle "${_korvane_dir}" NORMALIZE _korvane_is_bundled)
  if(_korvane_is_bundled)
    set(KORVANE_${_korvane_var}_ORIGIN bundled)
    set(_korvane_include ${_korvane_dir})
  else()
    string(REGEX REPLACE "(.)/+$" "\\1" _korvane_dir "${_korvane_dir}")
    set(KORVANE_${_korvane_var}_ORIGIN "system, ${_korvane_dir}")
    # Only the library's own directory, through a link: a system include directory on the command
    # line would put the build machine's C library headers before a cross target's.
    set(_korvane_include ${CMAKE_BINARY_DIR}/header-libraries/${_korvane_sub})
    file(REMOVE_RECURSE ${_korvane_include})
    file(MAKE_DIRECTORY ${_korvane_include})
    file(CREATE_LINK ${_korvane_dir}/${_korvane_sub} ${_korvane_include}/${_korvane_sub} SYMBOLIC COPY_ON_ERROR)
  endif()
  set(KORVANE_${_korvane_var}_VERSION "${_korvane_version}")
  target_include_directories(korvane_header_libraries SYSTEM INTERFACE ${_korvane_include})
  if(_korvane_version)
    string(PREPEND _korvane_version " ")
  endif()
  list(APPEND _korvane_found "${_korvane_name}${_korvane_version} (${KORVANE_${_korvane_var}_ORIGIN}${_korvane_note})")
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
    "conda-forge: conda install rapidjson fast_float, Dragonbox ${KORVANE_DRAGONBOX_PIN} from its release's headers) "
    "or name their directories with -DRAPIDJSON_INCLUDE_DIR=DIR -DDRAGONBOX_INCLUDE_DIR=DIR -DFAST_FLOAT_INCLUDE_DIR=DIR "
    "(through pip: -C cmake.define.RAPIDJSON_INCLUDE_DIR=DIR), or build from the sdist, which carries them")
endif()
list(JOIN _korvane_found ", " _korvane_found)
message(STATUS "korvane headers: ${_korvane_found}")
