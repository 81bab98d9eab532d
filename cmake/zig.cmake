# A CMake toolchain for cross builds with zig 0.11's clang (tools/zig), its
# bundled C libraries and libc++: macOS on x86-64 and arm64 (Mach-O, linked
# against zig's copy of the macOS SDK's libraries) and Linux musl on x86-64
# and aarch64 (linked statically).
#
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DZIG_TARGET=aarch64-macos
#
# ZIG_TARGET: x86_64-macos, aarch64-macos, x86_64-linux-musl or
# aarch64-linux-musl.
set(ZIG_TARGET "" CACHE STRING "zig's target: x86_64-macos, aarch64-macos, x86_64-linux-musl or aarch64-linux-musl")
# The configure checks (try_compile) see the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET)

if(NOT ZIG_TARGET MATCHES "^(x86_64|aarch64)-(macos|linux-musl)$")
  message(FATAL_ERROR "cmake/zig.cmake: set ZIG_TARGET to x86_64-macos, aarch64-macos, x86_64-linux-musl or aarch64-linux-musl (not '${ZIG_TARGET}')")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${ZIG_TARGET}")
if(ZIG_TARGET MATCHES "-macos$")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
endif()

get_filename_component(zig_tools "${CMAKE_CURRENT_LIST_DIR}/../tools" ABSOLUTE)
set(CMAKE_CXX_COMPILER "${zig_tools}/zig-c++")
set(CMAKE_CXX_COMPILER_TARGET "${ZIG_TARGET}")
set(CMAKE_AR "${zig_tools}/zig-ar" CACHE FILEPATH "zig's llvm-ar")
# The configure checks only compile, against the target's headers: a zig
# link costs seconds even with libc++ and the C library in its cache, and
# the first one compiles them.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The index is written by "ar s", with no ranlib of the host's.
set(CMAKE_CXX_ARCHIVE_FINISH "<CMAKE_AR> s <TARGET>")

# Nothing of the host's is found: zig brings the C library and libc++.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
