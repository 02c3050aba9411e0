# Cross-compiles for macOS with Zig's bundled clang, libc++ and macOS libc
# headers and link stubs, so the core and the command-line tool can be built
# and linked for a Mac on a Linux machine. scripts/cross-macos fetches Zig and
# passes its path; the presets macos-arm64-cross and macos-x86_64-cross set
# the architecture.
#
#   DAEMONARY_ZIG          path of the zig executable (default: zig on PATH)
#   DAEMONARY_MACOS_ARCH   aarch64 or x86_64 (Zig's names)
#
# Only compiling and linking is possible here: nothing built can run, so the
# checks CMake makes stop at compiling (no try_run, no test executables).
set(CMAKE_SYSTEM_NAME Darwin)

set(DAEMONARY_MACOS_ARCH "aarch64" CACHE STRING "Target architecture: aarch64 or x86_64")
set_property(CACHE DAEMONARY_MACOS_ARCH PROPERTY STRINGS aarch64 x86_64)
if(DAEMONARY_MACOS_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
elseif(DAEMONARY_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
else()
  message(FATAL_ERROR "DAEMONARY_MACOS_ARCH must be aarch64 or x86_64, not '${DAEMONARY_MACOS_ARCH}'")
endif()

if(NOT DAEMONARY_ZIG)
  find_program(DAEMONARY_ZIG zig REQUIRED)
endif()
set(DAEMONARY_ZIG "${DAEMONARY_ZIG}" CACHE FILEPATH "The zig executable")
if(NOT EXISTS "${DAEMONARY_ZIG}")
  message(FATAL_ERROR "No zig at '${DAEMONARY_ZIG}'; scripts/cross-macos fetches one")
endif()

# try_compile projects read this file again; they need the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DAEMONARY_ZIG DAEMONARY_MACOS_ARCH)

# CMake wants one executable per tool, and zig is one program for all of them:
# small wrapper scripts pin the subcommand and the target.
set(_daemonary_zig_wrappers "${CMAKE_BINARY_DIR}/zig-${DAEMONARY_MACOS_ARCH}-macos")
foreach(_tool IN ITEMS cc c++ ar ranlib)
  if(_tool STREQUAL "cc" OR _tool STREQUAL "c++")
    # CMake's compiler probe asks the linker for -v, which Zig's refuses.
    set(_body [=[for arg do
  shift
  [ "$arg" = "-Wl,-v" ] || set -- "$@" "$arg"
done
]=])
    string(APPEND _body "exec '${DAEMONARY_ZIG}' ${_tool} -target ${DAEMONARY_MACOS_ARCH}-macos \"$@\"\n")
  else()
    set(_body "exec '${DAEMONARY_ZIG}' ${_tool} \"$@\"\n")
  endif()
  file(CONFIGURE OUTPUT "${_daemonary_zig_wrappers}/${_tool}" CONTENT "#!/bin/sh\n${_body}" @ONLY)
  file(CHMOD "${_daemonary_zig_wrappers}/${_tool}"
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CMAKE_C_COMPILER "${_daemonary_zig_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${_daemonary_zig_wrappers}/c++")
set(CMAKE_AR "${_daemonary_zig_wrappers}/ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${_daemonary_zig_wrappers}/ranlib" CACHE FILEPATH "Ranlib")

# Only static libraries are built, but CMake's Darwin platform insists on
# knowing an install_name_tool; LLVM's stands in for Apple's.
find_program(CMAKE_INSTALL_NAME_TOOL
  NAMES install_name_tool llvm-install-name-tool llvm-install-name-tool-16
        llvm-install-name-tool-15 llvm-install-name-tool-14 REQUIRED)

# Checks compile but do not link: nothing linked here could run, and each
# link of a probe costs more than its compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# No macOS SDK here: Zig brings its own headers and stubs.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "No SDK: Zig provides the macOS headers" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "One architecture per build" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "Zig's default for the target" FORCE)
