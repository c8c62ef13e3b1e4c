# The wheel's CycloneDX SBOM (.dist-info/sboms/, PEP 770): the module and what is compiled or linked
# into it, RapidJSON and fast_float at the versions cmake/header-libraries.cmake found,
# and the C++ runtime of the toolchain that built it. Written at configure time, installed into the
# wheel's metadata directory; no time stamp or serial number, so the same build gives the same file.
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

configure_file(${CMAKE_CURRENT_LIST_DIR}/sbom.cdx.json.in ${CMAKE_BINARY_DIR}/korvane.cdx.json @ONLY)
if(SKBUILD_METADATA_DIR)
  install(FILES ${CMAKE_BINARY_DIR}/korvane.cdx.json DESTINATION ${SKBUILD_METADATA_DIR}/sboms)
endif()
message(STATUS "korvane SBOM: ${KORVANE_RUNTIME_NAME} ${KORVANE_RUNTIME_VERSION}, linked ${KORVANE_RUNTIME_LINKAGE}")
