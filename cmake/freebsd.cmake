# A CMake toolchain that compiles for FreeBSD 14 on x86-64 with Debian's
# clang 14, against FreeBSD's C library headers in the sysroot that lies
# beside the repository (../shared/freebsd-sysroot) and the libc++ headers
# of Debian's libc++-14-dev. There are no FreeBSD libraries, so nothing can
# be linked: configure checks only compile (a static library needs no link),
# and a build makes the core library and objects.
#
#   cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd.cmake -DPROPSLICE_TESTS=OFF
#   cmake --build build-freebsd --target propslice_core src/main.cc.o
#
# FREEBSD_SYSROOT places the sysroot elsewhere.
get_filename_component(default_sysroot "${CMAKE_CURRENT_LIST_DIR}/../../shared/freebsd-sysroot" ABSOLUTE)
set(FREEBSD_SYSROOT "${default_sysroot}" CACHE PATH "FreeBSD's headers (usr/include)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FREEBSD_SYSROOT)
if(NOT EXISTS "${FREEBSD_SYSROOT}/usr/include/unistd.h")
  message(FATAL_ERROR "cmake/freebsd.cmake: no FreeBSD headers in ${FREEBSD_SYSROOT}/usr/include")
endif()

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd14.0)
set(CMAKE_SYSROOT "${FREEBSD_SYSROOT}")
# FreeBSD's C++ library is libc++ too.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem /usr/lib/llvm-14/include/c++/v1")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
