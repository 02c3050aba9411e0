# Apache Thrift's C++ library built from its source tree for the target, for
# cross builds where no Thrift for the target is installed (scripts/cross-macos
# unpacks Debian's source package and points DAEMONARY_THRIFT_SOURCE_DIR at
# it). Only what the extension uses is built: the binary protocol, buffered
# transport, UNIX-domain sockets and the threaded server.
#
# Thrift's headers include a few header-only parts of Boost. Those come from
# the build machine's Boost headers (DAEMONARY_BOOST_INCLUDE_DIR, Debian's
# libboost-dev), reached through a folder of their own so that no other
# header of the build machine is seen by the target's compiler.
#
# Defines daemonary::thrift, the role PkgConfig::THRIFT has elsewhere.
include(CheckIncludeFileCXX)
include(CheckSymbolExists)
include(CheckCXXSourceCompiles)

set(_src "${DAEMONARY_THRIFT_SOURCE_DIR}/lib/cpp/src")
if(NOT EXISTS "${_src}/thrift/Thrift.h" OR NOT EXISTS "${_src}/thrift/server/TThreadedServer.cpp")
  message(FATAL_ERROR "DAEMONARY_THRIFT_SOURCE_DIR '${DAEMONARY_THRIFT_SOURCE_DIR}' is not a Thrift source tree")
endif()

set(DAEMONARY_BOOST_INCLUDE_DIR "" CACHE PATH "The folder that holds boost/ (header-only parts)")
if(NOT EXISTS "${DAEMONARY_BOOST_INCLUDE_DIR}/boost/scoped_array.hpp")
  message(FATAL_ERROR "DAEMONARY_BOOST_INCLUDE_DIR '${DAEMONARY_BOOST_INCLUDE_DIR}' holds no Boost headers")
endif()
set(_boost "${PROJECT_BINARY_DIR}/cross-include-boost")
file(MAKE_DIRECTORY "${_boost}")
file(CREATE_LINK "${DAEMONARY_BOOST_INCLUDE_DIR}/boost" "${_boost}/boost" SYMBOLIC)

# What Thrift's configure would find, asked of the target's headers.
set(CMAKE_REQUIRED_QUIET ON)
set(_lines "")
foreach(_header IN ITEMS arpa/inet.h fcntl.h inttypes.h netdb.h netinet/in.h signal.h stdint.h
    unistd.h pthread.h sys/ioctl.h sys/param.h sys/resource.h sys/socket.h sys/stat.h sys/un.h
    poll.h sys/poll.h sys/select.h sys/time.h sched.h strings.h)
  string(TOUPPER "HAVE_${_header}" _var)
  string(REGEX REPLACE "[/.]" "_" _var "${_var}")
  check_include_file_cxx(${_header} ${_var})
  if(${_var})
    string(APPEND _lines "#define ${_var} 1\n")
  endif()
endforeach()
foreach(_fn IN ITEMS gethostbyname gethostbyname_r strerror_r sched_get_priority_max
    sched_get_priority_min)
  string(TOUPPER "HAVE_${_fn}" _var)
  check_symbol_exists(${_fn} "netdb.h;string.h;sched.h" ${_var})
  if(${_var})
    string(APPEND _lines "#define ${_var} 1\n")
  endif()
endforeach()
check_cxx_source_compiles("
#include <string.h>
int main() { char b[8]; char* r = strerror_r(0, b, sizeof b); return r == nullptr; }"
  STRERROR_R_CHAR_P)
if(STRERROR_R_CHAR_P)
  string(APPEND _lines "#define STRERROR_R_CHAR_P 1\n")
endif()
set(_config "${CMAKE_CURRENT_BINARY_DIR}/thrift-config/thrift/config.h")
file(CONFIGURE OUTPUT "${_config}" CONTENT "#pragma once\n${_lines}")

add_library(thrift STATIC
  ${_src}/thrift/TApplicationException.cpp
  ${_src}/thrift/TOutput.cpp
  ${_src}/thrift/async/TConcurrentClientSyncInfo.cpp
  ${_src}/thrift/concurrency/Monitor.cpp
  ${_src}/thrift/concurrency/Mutex.cpp
  ${_src}/thrift/concurrency/Thread.cpp
  ${_src}/thrift/concurrency/ThreadFactory.cpp
  ${_src}/thrift/protocol/TProtocol.cpp
  ${_src}/thrift/server/TConnectedClient.cpp
  ${_src}/thrift/server/TServer.cpp
  ${_src}/thrift/server/TServerFramework.cpp
  ${_src}/thrift/server/TThreadedServer.cpp
  ${_src}/thrift/transport/SocketCommon.cpp
  ${_src}/thrift/transport/TBufferTransports.cpp
  ${_src}/thrift/transport/TServerSocket.cpp
  ${_src}/thrift/transport/TSocket.cpp
  ${_src}/thrift/transport/TTransportException.cpp
)
target_include_directories(thrift SYSTEM
  PUBLIC ${_src} ${CMAKE_CURRENT_BINARY_DIR}/thrift-config ${_boost})
# Someone else's code: its warnings are not ours to fix.
target_compile_options(thrift PRIVATE -w)
find_package(Threads REQUIRED)
target_link_libraries(thrift PUBLIC Threads::Threads)
set_target_properties(thrift PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(daemonary::thrift ALIAS thrift)
message(STATUS "Thrift C++ library from ${DAEMONARY_THRIFT_SOURCE_DIR}")
