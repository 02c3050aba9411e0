# Apache Thrift for the osquery extension: the compiler that generates the
# interface code (always the build machine's) and the C++ library (the
# installed one, or for cross builds one built from its source tree).
#
# Defines daemonary::thrift and DAEMONARY_THRIFT_COMPILER.
find_program(DAEMONARY_THRIFT_COMPILER thrift REQUIRED
  DOC "The Thrift compiler (Debian package thrift-compiler)")

set(DAEMONARY_THRIFT_SOURCE_DIR "" CACHE PATH
  "Build Thrift's C++ library from this source tree instead of using the installed one")
if(DAEMONARY_THRIFT_SOURCE_DIR)
  include(${CMAKE_CURRENT_LIST_DIR}/ThriftFromSource.cmake)
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "A cross build needs Thrift's source: set DAEMONARY_THRIFT_SOURCE_DIR "
    "(scripts/cross-macos does) or -DDAEMONARY_BUILD_OSQUERY=OFF")
else()
  pkg_check_modules(THRIFT REQUIRED IMPORTED_TARGET GLOBAL thrift)
  # Thrift's headers include a few Boost headers (Debian's libthrift-dev does
  # not depend on them).
  find_path(DAEMONARY_BOOST_INCLUDE_DIR boost/scoped_array.hpp REQUIRED
    HINTS ${THRIFT_INCLUDE_DIRS} PATHS /opt/homebrew/include /usr/local/include
    DOC "Boost's headers (Debian package libboost-dev)")
  add_library(daemonary_thrift INTERFACE)
  target_link_libraries(daemonary_thrift INTERFACE PkgConfig::THRIFT)
  target_include_directories(daemonary_thrift SYSTEM INTERFACE ${DAEMONARY_BOOST_INCLUDE_DIR})
  add_library(daemonary::thrift ALIAS daemonary_thrift)
endif()
