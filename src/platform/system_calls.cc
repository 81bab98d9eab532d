#include "platform/system_calls.h"

#include "platform_config.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#if PROPSLICE_HAVE_STATVFS
#include <sys/statvfs.h>
#endif
#if PROPSLICE_HAVE_GETRANDOM || (PROPSLICE_HAVE_GETENTROPY && __has_include(<sys/random.h>))
#include <sys/random.h>
#endif
#if PROPSLICE_HAVE_TMPFS_MAGIC
#include <sys/vfs.h>
#endif
#if PROPSLICE_HAVE_F_FSTYPENAME
#include <sys/param.h>
#include <sys/mount.h>
#endif

namespace sys {

// Constant-initialized: complete before any code runs, a test's included.
// The calls that take more arguments on some systems are wrapped; those
// this system lacks are left null.
constinit system_calls calls = {
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    .openat = [](int directory, const char* path, int flags, mode_t mode) {
      return ::openat(directory, path, flags, mode);
    },
    .close = ::close,
    .read = ::read,
    .writev = ::writev,
    .lseek = ::lseek,
    .ftruncate = ::ftruncate,
    .fstat = ::fstat,
    .fstatat = ::fstatat,
    .stat = ::stat,
    .lstat = ::lstat,
#if PROPSLICE_HAVE_TMPFS_MAGIC || PROPSLICE_HAVE_F_FSTYPENAME
    .fstatfs = ::fstatfs,
    .statfs = ::statfs,
#endif
#if PROPSLICE_HAVE_STATVFS
    .fstatvfs = ::fstatvfs,
    .statvfs = ::statvfs,
#endif
    .fcntl = [](int fd, int command, int argument) { return ::fcntl(fd, command, argument); },
    .ioctl = [](int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); },
    .fsync = ::fsync,
#if PROPSLICE_HAVE_FDATASYNC
    .fdatasync = ::fdatasync,
#endif
#if PROPSLICE_HAVE_SYNCFS
    .syncfs = ::syncfs,
#endif
#if PROPSLICE_HAVE_SYNC_FILE_RANGE
    .sync_file_range = ::sync_file_range,
#endif
    .linkat = ::linkat,
    .renameat = ::renameat,
#if PROPSLICE_HAVE_RENAMEAT2
    .renameat2 = ::renameat2,
#endif
#if PROPSLICE_HAVE_RENAMEATX_NP
    .renameatx_np = ::renameatx_np,
#endif
    .unlinkat = ::unlinkat,
#if PROPSLICE_HAVE_COPY_FILE_RANGE
    .copy_file_range = ::copy_file_range,
#endif
#if PROPSLICE_HAVE_GETRANDOM
    .getrandom = ::getrandom,
#endif
#if PROPSLICE_HAVE_GETENTROPY
    .getentropy = ::getentropy,
#endif
    .getrlimit = [](int resource, struct rlimit* limit) {
      return ::getrlimit(static_cast<decltype(RLIMIT_NOFILE)>(resource), limit);
    },
};

}  // namespace sys
