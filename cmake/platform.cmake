# What the system offers beyond POSIX, found where the tool is configured:
# each capability is a fast path with a plain POSIX fallback in
# src/platform/platform.cc, the one place that reads the results (through
# the generated platform_config.h). PROPSLICE_POSIX_BASELINE turns every one
# of them off, so that the fallbacks are built and tested on any system;
# PROPSLICE_PLATFORM_PROFILE turns off those another system lacks, so that
# its combination of paths runs and is tested here (see below).
include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)
include(CheckStructHasMember)

option(PROPSLICE_POSIX_BASELINE "Use only POSIX calls: every optional capability off" OFF)

set(propslice_capabilities
  PROPSLICE_HAVE_O_TMPFILE        # unnamed temporary files, linked in by descriptor
  PROPSLICE_HAVE_O_PATH           # a directory opened only to name things in it
  PROPSLICE_HAVE_O_SEARCH         # a directory opened only to search it (macOS)
  PROPSLICE_HAVE_RENAMEAT2        # rename without replacing (Linux)
  PROPSLICE_HAVE_RENAMEATX_NP     # rename without replacing (macOS)
  PROPSLICE_HAVE_FICLONERANGE     # share blocks between files (Linux)
  PROPSLICE_HAVE_COPY_FILE_RANGE  # copy in the kernel, sharing blocks where it can (FreeBSD)
  PROPSLICE_HAVE_GETRANDOM
  PROPSLICE_HAVE_GETENTROPY
  PROPSLICE_HAVE_ARC4RANDOM_BUF
  PROPSLICE_HAVE_SCHED_GETAFFINITY
  PROPSLICE_HAVE_CPUSET_GETAFFINITY
  PROPSLICE_HAVE_FDATASYNC
  PROPSLICE_HAVE_SYNCFS           # a whole file system synced at once (Linux)
  PROPSLICE_HAVE_SYNC_FILE_RANGE  # a file's writeback started without waiting (Linux)
  PROPSLICE_HAVE_F_FULLFSYNC
  PROPSLICE_HAVE_MADV_POPULATE_WRITE
  PROPSLICE_HAVE_MEMRCHR
  PROPSLICE_HAVE_ST_MTIM          # POSIX, but not on macOS
  PROPSLICE_HAVE_STATVFS          # POSIX: the room a file system has left
  PROPSLICE_HAVE_ST_MTIMESPEC
  PROPSLICE_HAVE_TMPFS_MAGIC      # tmpfs told by its magic number (Linux)
  PROPSLICE_HAVE_F_FSTYPENAME     # tmpfs told by its name (BSD, macOS)
  PROPSLICE_HAVE_F_SETLEASE       # a read lease on the input (Linux)
  PROPSLICE_HAVE_CGROUPS          # memory limits of control groups, in /proc/self (Linux)
)

# Times to the nanosecond (st_mtim) are POSIX, and found in either case.
check_struct_has_member("struct stat" st_mtim "sys/stat.h" PROPSLICE_HAVE_ST_MTIM LANGUAGE CXX)
include(CheckIncludeFileCXX)
check_include_file_cxx("sys/statvfs.h" PROPSLICE_HAVE_STATVFS)
if(PROPSLICE_POSIX_BASELINE)
  foreach(capability IN LISTS propslice_capabilities)
    if(NOT capability MATCHES "^PROPSLICE_HAVE_(ST_MTIM|STATVFS)$")
      set(${capability} 0)
    endif()
  endforeach()
else()
  # Linux's extensions are declared with _GNU_SOURCE, which g++ and clang++
  # define anyway; macOS and the BSDs declare theirs by default.
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  check_cxx_symbol_exists(O_TMPFILE "fcntl.h" have_o_tmpfile)
  check_cxx_symbol_exists(AT_EMPTY_PATH "fcntl.h" have_at_empty_path)
  if(have_o_tmpfile AND have_at_empty_path)
    set(PROPSLICE_HAVE_O_TMPFILE 1)
  endif()
  check_cxx_symbol_exists(O_PATH "fcntl.h" PROPSLICE_HAVE_O_PATH)
  check_cxx_symbol_exists(O_SEARCH "fcntl.h" PROPSLICE_HAVE_O_SEARCH)
  check_cxx_source_compiles([[
    #include <fcntl.h>
    #include <stdio.h>
    int main() { return renameat2(AT_FDCWD, "a", AT_FDCWD, "b", RENAME_NOREPLACE); }
  ]] PROPSLICE_HAVE_RENAMEAT2)
  check_cxx_source_compiles([[
    #include <fcntl.h>
    #include <stdio.h>
    int main() { return renameatx_np(AT_FDCWD, "a", AT_FDCWD, "b", RENAME_EXCL); }
  ]] PROPSLICE_HAVE_RENAMEATX_NP)
  check_cxx_source_compiles([[
    #include <linux/fs.h>
    #include <sys/ioctl.h>
    int main() { file_clone_range range{}; return ioctl(1, FICLONERANGE, &range); }
  ]] PROPSLICE_HAVE_FICLONERANGE)
  check_cxx_symbol_exists(copy_file_range "unistd.h" PROPSLICE_HAVE_COPY_FILE_RANGE)
  check_cxx_symbol_exists(getrandom "sys/random.h" PROPSLICE_HAVE_GETRANDOM)
  check_cxx_source_compiles([[
    #include <unistd.h>
    #if __has_include(<sys/random.h>)
    #include <sys/random.h>
    #endif
    int main() { unsigned char b[8]; return getentropy(b, sizeof b); }
  ]] PROPSLICE_HAVE_GETENTROPY)
  check_cxx_symbol_exists(arc4random_buf "stdlib.h" PROPSLICE_HAVE_ARC4RANDOM_BUF)
  check_cxx_source_compiles([[
    #include <sched.h>
    int main() { cpu_set_t cpus; return sched_getaffinity(0, sizeof cpus, &cpus) + CPU_COUNT(&cpus); }
  ]] PROPSLICE_HAVE_SCHED_GETAFFINITY)
  check_cxx_source_compiles([[
    #include <sys/param.h>
    #include <sys/cpuset.h>
    int main() {
      cpuset_t cpus;
      return cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, -1, sizeof cpus, &cpus) + CPU_COUNT(&cpus);
    }
  ]] PROPSLICE_HAVE_CPUSET_GETAFFINITY)
  check_cxx_symbol_exists(fdatasync "unistd.h" PROPSLICE_HAVE_FDATASYNC)
  check_cxx_symbol_exists(syncfs "unistd.h" PROPSLICE_HAVE_SYNCFS)
  check_cxx_source_compiles([[
    #include <fcntl.h>
    int main() { return sync_file_range(1, 0, 0, SYNC_FILE_RANGE_WRITE); }
  ]] PROPSLICE_HAVE_SYNC_FILE_RANGE)
  check_cxx_symbol_exists(F_FULLFSYNC "fcntl.h" PROPSLICE_HAVE_F_FULLFSYNC)
  check_cxx_symbol_exists(MADV_POPULATE_WRITE "sys/mman.h" PROPSLICE_HAVE_MADV_POPULATE_WRITE)
  check_cxx_source_compiles([[
    #include <string.h>
    int main() { static const char text[] = "a"; return memrchr(text, 'a', 1) != nullptr; }
  ]] PROPSLICE_HAVE_MEMRCHR)
  check_struct_has_member("struct stat" st_mtimespec "sys/stat.h" PROPSLICE_HAVE_ST_MTIMESPEC
                          LANGUAGE CXX)
  check_cxx_source_compiles([[
    #include <linux/magic.h>
    #include <sys/vfs.h>
    int main() { struct statfs s; fstatfs(0, &s); return s.f_type == TMPFS_MAGIC; }
  ]] PROPSLICE_HAVE_TMPFS_MAGIC)
  check_cxx_source_compiles([[
    #include <sys/param.h>
    #include <sys/mount.h>
    int main() { struct statfs s; fstatfs(0, &s); return s.f_fstypename[0]; }
  ]] PROPSLICE_HAVE_F_FSTYPENAME)
  check_cxx_source_compiles([[
    #include <fcntl.h>
    int main() { return fcntl(0, F_SETLEASE, F_RDLCK); }
  ]] PROPSLICE_HAVE_F_SETLEASE)
  check_cxx_symbol_exists(CGROUP2_SUPER_MAGIC "linux/magic.h" PROPSLICE_HAVE_CGROUPS)
  unset(CMAKE_REQUIRED_DEFINITIONS)
endif()

# Another system's paths, run on Linux: what the configure checks do not
# find there (against FreeBSD 14's headers, with zig for macOS) is turned off
# after detection. Where that system does by its own call what Linux does by
# another, with the same result, Linux's stays: tmpfs told by name rather
# than by magic number, times in st_mtimespec, renameatx_np(RENAME_EXCL) for
# renameat2(RENAME_NOREPLACE), F_FULLFSYNC before the fsync. A name may be
# listed before the capability exists in this build: it is then ignored.
set(PROPSLICE_PLATFORM_PROFILE "" CACHE STRING
  "Run another system's paths on this one: freebsd or macos (empty: this system's own)")
set_property(CACHE PROPSLICE_PLATFORM_PROFILE PROPERTY STRINGS "" freebsd macos)
set(propslice_profile_freebsd
  PROPSLICE_HAVE_O_TMPFILE            # named temporaries
  PROPSLICE_HAVE_RENAMEAT2            # published with link + unlink
  PROPSLICE_HAVE_FICLONERANGE         # blocks shared through copy_file_range
  PROPSLICE_HAVE_F_SETLEASE           # the input guarded by its status alone
  PROPSLICE_HAVE_MADV_POPULATE_WRITE
  PROPSLICE_HAVE_SYNCFS
  PROPSLICE_HAVE_SYNC_FILE_RANGE
  PROPSLICE_HAVE_CGROUPS              # memory bound by rlimits and physical memory
)
set(propslice_profile_macos
  PROPSLICE_HAVE_O_TMPFILE            # named temporaries
  PROPSLICE_HAVE_O_PATH               # directories opened for reading (O_SEARCH there)
  PROPSLICE_HAVE_FICLONERANGE         # no block sharing at all
  PROPSLICE_HAVE_COPY_FILE_RANGE
  PROPSLICE_HAVE_F_SETLEASE           # the input guarded by its status alone
  PROPSLICE_HAVE_MADV_POPULATE_WRITE
  PROPSLICE_HAVE_FDATASYNC            # fsync
  PROPSLICE_HAVE_SYNCFS
  PROPSLICE_HAVE_SYNC_FILE_RANGE
  PROPSLICE_HAVE_GETRANDOM            # getentropy
  PROPSLICE_HAVE_SCHED_GETAFFINITY    # as many threads as processors
  PROPSLICE_HAVE_MEMRCHR              # the last newline found by a loop
  PROPSLICE_HAVE_CGROUPS
)
if(PROPSLICE_PLATFORM_PROFILE)
  if(NOT DEFINED propslice_profile_${PROPSLICE_PLATFORM_PROFILE})
    message(FATAL_ERROR "PROPSLICE_PLATFORM_PROFILE: '${PROPSLICE_PLATFORM_PROFILE}' is none of freebsd, macos")
  endif()
  foreach(capability IN LISTS propslice_profile_${PROPSLICE_PLATFORM_PROFILE})
    set(${capability} 0)
  endforeach()
  list(JOIN propslice_profile_${PROPSLICE_PLATFORM_PROFILE} " " turned_off)
  message(STATUS "Platform profile ${PROPSLICE_PLATFORM_PROFILE}, turned off: ${turned_off}")
endif()

foreach(capability IN LISTS propslice_capabilities)
  if(${capability})
    set(${capability} 1)
  else()
    set(${capability} 0)
  endif()
endforeach()

set(propslice_generated ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/platform_config.h.in
               ${propslice_generated}/platform_config.h @ONLY)
