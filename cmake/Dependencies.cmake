# The pinned dependencies: stb headers, a static libwebp 1.6.0 (with its mux
# library) and a static Little CMS 2.14, fetched and built into
# RASTRA_DEPS_DIR by scripts/fetch-deps.sh.
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(_rastra_deps_target mingw)
else()
  set(_rastra_deps_target linux)
endif()
set(RASTRA_WEBP_PREFIX "${RASTRA_DEPS_DIR}/${_rastra_deps_target}")
set(RASTRA_STB_INCLUDE_DIR "${RASTRA_DEPS_DIR}/include/stb")

if(RASTRA_FETCH_DEPS)
  execute_process(
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch-deps.sh" ${_rastra_deps_target}
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    RESULT_VARIABLE _rastra_fetch_result)
  if(NOT _rastra_fetch_result EQUAL 0)
    message(FATAL_ERROR "scripts/fetch-deps.sh ${_rastra_deps_target} failed")
  endif()
endif()

# stb: check that the headers on our include path are the pinned versions.
set(RASTRA_DEPENDENCY_VERSIONS "")
foreach(_pair "stb_image.h;v2.30" "stb_image_write.h;v1.16" "stb_image_resize2.h;v2.12")
  list(GET _pair 0 _header)
  list(GET _pair 1 _version)
  set(_path "${RASTRA_STB_INCLUDE_DIR}/${_header}")
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "${_path} is missing: run scripts/fetch-deps.sh")
  endif()
  file(STRINGS "${_path}" _first LIMIT_COUNT 1)
  if(NOT _first MATCHES " - ${_version} ")
    message(FATAL_ERROR "${_header}: expected ${_version}, found: ${_first}")
  endif()
  string(REPLACE ".h" "" _name "${_header}")
  string(SUBSTRING "${_version}" 1 -1 _number)
  string(APPEND RASTRA_DEPENDENCY_VERSIONS "${_name} ${_number}, ")
endforeach()

list(PREPEND CMAKE_FIND_ROOT_PATH "${RASTRA_WEBP_PREFIX}")
find_package(WebP 1.6.0 EXACT CONFIG REQUIRED
  PATHS "${RASTRA_WEBP_PREFIX}" NO_DEFAULT_PATH)
message(STATUS "rastra: libwebp ${WebP_VERSION} from ${RASTRA_WEBP_PREFIX}")
string(APPEND RASTRA_DEPENDENCY_VERSIONS "libwebp ${WebP_VERSION}")

# Little CMS: one static library and its header.
set(_lcms_header "${RASTRA_WEBP_PREFIX}/include/lcms2.h")
set(_lcms_library "${RASTRA_WEBP_PREFIX}/lib/liblcms2.a")
if(NOT EXISTS "${_lcms_header}" OR NOT EXISTS "${_lcms_library}")
  message(FATAL_ERROR "lcms2 is missing from ${RASTRA_WEBP_PREFIX}: run scripts/fetch-deps.sh")
endif()
file(STRINGS "${_lcms_header}" _lcms_version REGEX "^#define LCMS_VERSION +[0-9]+")
if(NOT _lcms_version MATCHES "2140$")
  message(FATAL_ERROR "lcms2.h: expected version 2.14, found: ${_lcms_version}")
endif()
add_library(rastra_lcms2 STATIC IMPORTED)
set_target_properties(rastra_lcms2 PROPERTIES
  IMPORTED_LOCATION "${_lcms_library}"
  INTERFACE_INCLUDE_DIRECTORIES "${RASTRA_WEBP_PREFIX}/include"
  INTERFACE_COMPILE_DEFINITIONS CMS_NO_REGISTER_KEYWORD=1)
string(APPEND RASTRA_DEPENDENCY_VERSIONS ", lcms2 2.14")

# The fast codec set: libjpeg-turbo's libjpeg, libspng and zlib, static.
foreach(_lib jpeg spng z)
  if(NOT EXISTS "${RASTRA_WEBP_PREFIX}/lib/lib${_lib}.a")
    message(FATAL_ERROR "lib${_lib}.a is missing from ${RASTRA_WEBP_PREFIX}: run scripts/fetch-deps.sh")
  endif()
  add_library(rastra_${_lib} STATIC IMPORTED)
  set_target_properties(rastra_${_lib} PROPERTIES
    IMPORTED_LOCATION "${RASTRA_WEBP_PREFIX}/lib/lib${_lib}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${RASTRA_WEBP_PREFIX}/include")
endforeach()
set_target_properties(rastra_spng PROPERTIES INTERFACE_COMPILE_DEFINITIONS SPNG_STATIC
  INTERFACE_LINK_LIBRARIES rastra_z)
file(STRINGS "${RASTRA_WEBP_PREFIX}/include/jconfig.h" _jpeg_version REGEX "#define LIBJPEG_TURBO_VERSION ")
if(NOT _jpeg_version MATCHES " 2\\.1\\.5$")
  message(FATAL_ERROR "jconfig.h: expected libjpeg-turbo 2.1.5, found: ${_jpeg_version}")
endif()
string(APPEND RASTRA_DEPENDENCY_VERSIONS ", libjpeg-turbo 2.1.5, libspng 0.7.3, zlib 1.2.13")

# THIRD_PARTY_NOTICES: the licence texts of what every binary contains, taken
# from the fetched sources (stb's from the end of its headers).
set(_notices "rastra contains code from the following projects, under these licences.\n")
foreach(_header stb_image.h stb_image_write.h stb_image_resize2.h)
  file(READ "${RASTRA_STB_INCLUDE_DIR}/${_header}" _text)
  string(FIND "${_text}" "This software is available under 2 licenses" _at)
  if(_at LESS 0)
    message(FATAL_ERROR "no licence text found in ${_header}")
  endif()
  string(SUBSTRING "${_text}" ${_at} -1 _licence)
  string(REGEX REPLACE "\n?\\*/[ \t\r\n]*$" "\n" _licence "${_licence}")
  string(APPEND _notices "\n==============================================================================\n"
         "${_header} (https://github.com/nothings/stb)\n"
         "==============================================================================\n" "${_licence}")
endforeach()
foreach(_part COPYING PATENTS)
  set(_path "${RASTRA_DEPS_DIR}/licenses/libwebp-${_part}")
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "${_path} is missing: run scripts/fetch-deps.sh")
  endif()
  file(READ "${_path}" _licence)
  string(APPEND _notices "\n==============================================================================\n"
         "libwebp ${WebP_VERSION}: ${_part} (https://chromium.googlesource.com/webm/libwebp)\n"
         "==============================================================================\n" "${_licence}")
endforeach()
set(_path "${RASTRA_DEPS_DIR}/licenses/lcms2-COPYING")
if(NOT EXISTS "${_path}")
  message(FATAL_ERROR "${_path} is missing: run scripts/fetch-deps.sh")
endif()
file(READ "${_path}" _licence)
string(APPEND _notices "\n==============================================================================\n"
       "Little CMS 2.14 (https://www.littlecms.com)\n"
       "==============================================================================\n" "${_licence}")
foreach(_pair "libjpeg-turbo-LICENSE.md;libjpeg-turbo 2.1.5 (https://libjpeg-turbo.org)"
              "libjpeg-turbo-README.ijg;libjpeg-turbo 2.1.5: the Independent JPEG Group's terms"
              "libspng-LICENSE;libspng 0.7.3 (https://libspng.org)"
              "zlib-LICENSE;zlib 1.2.13 (https://zlib.net)")
  list(GET _pair 0 _file)
  list(GET _pair 1 _title)
  set(_path "${RASTRA_DEPS_DIR}/licenses/${_file}")
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "${_path} is missing: run scripts/fetch-deps.sh")
  endif()
  file(READ "${_path}" _licence)
  string(APPEND _notices "\n==============================================================================\n"
         "${_title}\n"
         "==============================================================================\n" "${_licence}")
endforeach()
set(RASTRA_NOTICES_FILE "${CMAKE_BINARY_DIR}/THIRD_PARTY_NOTICES")
file(WRITE "${RASTRA_NOTICES_FILE}" "${_notices}")
