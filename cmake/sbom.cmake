# The wheel's CycloneDX SBOM (.dist-info/sboms/, PEP 770): the module and what is compiled or linked
# into it, RapidJSON and fast_float at the versions cmake/header-libraries.cmake found,
# and the C++ runtime of the toolchain that built it. Written at configure time, installed into the
# wheel's metadata directory. What a verifier needs to rebuild it: the source commit and the build
# time (from the build backend's environment, KORVANE_SOURCE_COMMIT and SOURCE_DATE_EPOCH, the one
# time a build uses), and per header library the hash of the headers the build included. No serial
# number and no time but that one, so the same source gives the same file.
include(CheckCXXSourceCompiles)

if(MSVC)
  set(KORVANE_RUNTIME_NAME "Microsoft C++ runtime (MSVC)")
  set(KORVANE_RUNTIME_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  set(KORVANE_RUNTIME_LICENSE "LicenseRef-MSVC-Redistributable")
else()
  check_cxx_source_compiles("#include <version>\n#ifndef _LIBCPP_VERSION\n#error\n#endif\nint main() {}"
                            KORVANE_LIBCXX)
  if(KORVANE_LIBCXX)
    set(KORVANE_RUNTIME_NAME "libc++ (LLVM)")
    set(KORVANE_RUNTIME_LICENSE "Apache-2.0 WITH LLVM-exception")
  else()
    set(KORVANE_RUNTIME_NAME "libstdc++ (GCC)")
    set(KORVANE_RUNTIME_LICENSE "GPL-3.0-or-later WITH GCC-exception-3.1")
  endif()
  # The runtime's version is its compiler's when the pair is the usual one.
  if((KORVANE_LIBCXX AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
     OR (NOT KORVANE_LIBCXX AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"))
    set(KORVANE_RUNTIME_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  else()
    set(KORVANE_RUNTIME_VERSION unknown)
  endif()
endif()
if("${CMAKE_MODULE_LINKER_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}" MATCHES "-static-libstdc\\+\\+|(^| )-static( |$)")
  set(KORVANE_RUNTIME_LINKAGE static)
else()
  set(KORVANE_RUNTIME_LINKAGE dynamic)
endif()
set(KORVANE_COMPILER "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
foreach(_korvane_var RAPIDJSON FAST_FLOAT)
  if(NOT KORVANE_${_korvane_var}_VERSION)
    set(KORVANE_${_korvane_var}_VERSION unknown)
  endif()
  # "system, /usr/include" -> "system": the build machine's paths are no part of the record.
  string(REGEX REPLACE ",.*" "" KORVANE_${_korvane_var}_FROM "${KORVANE_${_korvane_var}_ORIGIN}")
endforeach()

# The headers a library's include directory gives the build, as one SHA-256: that of the lines
# "<sha256>  <path>" of its files, sorted by path, the output of
#   cd <include directory> && find <library> -type f | LC_ALL=C sort | xargs sha256sum | sha256sum
# (in an sdist the directory is bundled/<library>/include).
function(_korvane_headers_hash out include sub)
  file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE ${include} ${include}/${sub}/*)
  list(SORT _files)
  set(_lines "")
  foreach(_file IN LISTS _files)
    file(SHA256 ${include}/${_file} _hash)
    string(APPEND _lines "${_hash}  ${_file}\n")
  endforeach()
  string(SHA256 _all "${_lines}")
  set(${out} ${_all} PARENT_SCOPE)
endfunction()
_korvane_headers_hash(KORVANE_RAPIDJSON_HASH ${RAPIDJSON_INCLUDE_DIR} rapidjson)
_korvane_headers_hash(KORVANE_FAST_FLOAT_HASH ${FAST_FLOAT_INCLUDE_DIR} fast_float)

# The source and the build time, where the build backend names them (a plain CMake build does not).
set(KORVANE_SOURCE_METADATA "")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  # string(TIMESTAMP) itself takes SOURCE_DATE_EPOCH.
  string(TIMESTAMP _korvane_time "%Y-%m-%dT%H:%M:%SZ" UTC)
  string(APPEND KORVANE_SOURCE_METADATA "\"timestamp\": \"${_korvane_time}\",\n    ")
endif()
set(KORVANE_SOURCE_PEDIGREE "")
set(KORVANE_SOURCE_PROPERTIES "")
if(DEFINED ENV{KORVANE_SOURCE_COMMIT})
  set(KORVANE_SOURCE_PEDIGREE ",\n      \"pedigree\": {\"commits\": [{\"uid\": \"$ENV{KORVANE_SOURCE_COMMIT}\"}]}")
  list(APPEND KORVANE_SOURCE_PROPERTIES "{\"name\": \"korvane:source-commit\", \"value\": \"$ENV{KORVANE_SOURCE_COMMIT}\"}"
       "{\"name\": \"korvane:source-modified\", \"value\": \"$ENV{KORVANE_SOURCE_MODIFIED}\"}")
endif()
# The interpreter's headers are compiled in too: a rebuild needs the same release of them. FindPython
# ran in engine/, so its directory is read from the cache.
foreach(_korvane_dir IN ITEMS "${_Python_INCLUDE_DIR}" "${Python_INCLUDE_DIR}")
  if(EXISTS "${_korvane_dir}/patchlevel.h")
    file(STRINGS "${_korvane_dir}/patchlevel.h" _korvane_py REGEX "^#define PY_VERSION[ \t]+\"")
    if(_korvane_py MATCHES "\"([^\"]+)\"")
      list(APPEND KORVANE_SOURCE_PROPERTIES
           "{\"name\": \"korvane:python-headers\", \"value\": \"CPython ${CMAKE_MATCH_1}\"}")
      break()
    endif()
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND KORVANE_SOURCE_PROPERTIES "{\"name\": \"korvane:source-date-epoch\", \"value\": \"$ENV{SOURCE_DATE_EPOCH}\"}")
endif()
if(KORVANE_SOURCE_PROPERTIES)
  list(JOIN KORVANE_SOURCE_PROPERTIES ",\n                   " KORVANE_SOURCE_PROPERTIES)
  string(APPEND KORVANE_SOURCE_METADATA "\"properties\": [${KORVANE_SOURCE_PROPERTIES}],\n    ")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/sbom.cdx.json.in ${CMAKE_BINARY_DIR}/korvane.cdx.json @ONLY)
if(SKBUILD_METADATA_DIR)
  install(FILES ${CMAKE_BINARY_DIR}/korvane.cdx.json DESTINATION ${SKBUILD_METADATA_DIR}/sboms)
endif()
message(STATUS "korvane SBOM: ${KORVANE_RUNTIME_NAME} ${KORVANE_RUNTIME_VERSION}, linked ${KORVANE_RUNTIME_LINKAGE}")
