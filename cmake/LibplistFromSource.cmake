# libplist built from its source tree for the target, for cross builds where
# no libplist for the target is installed (scripts/cross-macos unpacks
# Debian's source package and points DAEMONARY_LIBPLIST_SOURCE_DIR at it).
# Only the C library is built: the core uses the C interface.
#
# Defines daemonary::plist, the same role PkgConfig::PLIST has elsewhere.
include(CheckSymbolExists)
include(CheckStructHasMember)
enable_language(C)

set(_src "${DAEMONARY_LIBPLIST_SOURCE_DIR}")
if(NOT EXISTS "${_src}/src/plist.c" OR NOT EXISTS "${_src}/include/plist/plist.h")
  message(FATAL_ERROR "DAEMONARY_LIBPLIST_SOURCE_DIR '${_src}' is not a libplist source tree")
endif()

# The version, from the line configure.ac declares it on.
file(STRINGS "${_src}/configure.ac" _init REGEX "^AC_INIT\\(")
string(REGEX MATCH "\\[([0-9][0-9.]*)\\]" _version_match "${_init}")
set(DAEMONARY_LIBPLIST_VERSION "${CMAKE_MATCH_1}")
if(NOT DAEMONARY_LIBPLIST_VERSION)
  message(FATAL_ERROR "No version in ${_src}/configure.ac")
endif()

# What configure would find, asked of the target's headers. The checks
# only compile, which is all a cross build can do.
set(CMAKE_REQUIRED_QUIET ON)
foreach(_fn IN ITEMS gmtime_r localtime_r timegm strndup strptime memmem)
  string(TOUPPER "HAVE_${_fn}" _var)
  check_symbol_exists(${_fn} "string.h;time.h" ${_var})
endforeach()
check_struct_has_member("struct tm" tm_gmtoff time.h HAVE_TM_TM_GMTOFF LANGUAGE C)
check_struct_has_member("struct tm" tm_zone time.h HAVE_TM_TM_ZONE LANGUAGE C)

set(_config "${CMAKE_CURRENT_BINARY_DIR}/libplist-config/config.h")
set(_lines "#define PACKAGE_VERSION \"${DAEMONARY_LIBPLIST_VERSION}\"\n")
foreach(_var IN ITEMS HAVE_GMTIME_R HAVE_LOCALTIME_R HAVE_TIMEGM HAVE_STRNDUP HAVE_STRPTIME
    HAVE_MEMMEM HAVE_TM_TM_GMTOFF HAVE_TM_TM_ZONE)
  if(${_var})
    string(APPEND _lines "#define ${_var} 1\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT "${_config}" CONTENT "${_lines}")

add_library(plist STATIC
  ${_src}/src/base64.c
  ${_src}/src/bplist.c
  ${_src}/src/bytearray.c
  ${_src}/src/hashtable.c
  ${_src}/src/plist.c
  ${_src}/src/ptrarray.c
  ${_src}/src/time64.c
  ${_src}/src/xplist.c
  ${_src}/libcnary/node.c
  ${_src}/libcnary/node_list.c
)
target_include_directories(plist
  PUBLIC ${_src}/include
  PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/libplist-config ${_src} ${_src}/src ${_src}/libcnary/include)
target_compile_definitions(plist PRIVATE HAVE_CONFIG_H)
# Someone else's code: its warnings are not ours to fix.
target_compile_options(plist PRIVATE -w)
set_target_properties(plist PROPERTIES C_STANDARD 99 C_EXTENSIONS ON POSITION_INDEPENDENT_CODE ON)
add_library(daemonary::plist ALIAS plist)
message(STATUS "libplist ${DAEMONARY_LIBPLIST_VERSION} from ${_src}")
