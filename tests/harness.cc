// Fills the tool's table of system calls from the environment before main
// runs. Linked into propslice_harness and the end-to-end test program.
//
// PROPSLICE_HARNESS, settings separated by commas, so that the same
// suites run with several writing threads and with named temporaries:
//
//   threads=N     outputs are written on N threads, however small the work
//   named         O_TMPFILE is refused, as some file systems do
//   clones=K      a clone copies the blocks, as on a copy-on-write file
//                 system, and the K-th fails with ENOSPC ("K+": every one
//                 from the K-th on; 0: none)
//
// Faults, each set by a variable of its own:
//
//   PROPSLICE_FULL_AT_NAMING=K    the K-th naming of an output (a link or a
//                                 rename to a name that is not a hidden
//                                 temporary) fails with ENOSPC; "K+": every
//                                 one from the K-th on (and links from a
//                                 descriptor are refused, see linkat)
//   PROPSLICE_NO_LINKS=1          as on FAT: renameat2 fails with EINVAL and
//                                 a link to an output's own name with EPERM
//                                 (with "named", outputs then take their
//                                 names over placeholders)
//   PROPSLICE_TAKE_NAME_BEFORE_RENAME=1
//                                 plays another process: when the tool
//                                 closes the first empty file it made under
//                                 an output's own name (a placeholder), that
//                                 file is removed and another is created
//                                 there, holding "taken\n", before the tool
//                                 can rename over it
//   PROPSLICE_FULL_AT_SYNC=K      the K-th sync of a file or a file system
//                                 (fsync, fdatasync, syncfs) fails with
//                                 ENOSPC, as on a disk that fills up while
//                                 the data written goes out to it; "K+":
//                                 every one from the K-th on
//   PROPSLICE_NO_RANDOM=E         getrandom and getentropy fail with the
//                                 errno value E, as in a sandbox; "E+":
//                                 opening /dev/urandom fails with E too
//   PROPSLICE_INTERRUPT_OUTPUT=K  the K-th write to standard output (writev
//                                 on descriptor 1) fails with EINTR before
//                                 it writes anything
//   PROPSLICE_FAULT_LOG=PATH      one byte appended for each of these calls:
//                                 'c' a clone, 'C' a failed clone, 'N' a
//                                 failed naming, 'S' a failed sync, 'r'
//                                 refused random bytes, 'i' an interrupted
//                                 write

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "harness.h"
#include "platform/platform.h"
#include "platform/system_calls.h"

int copy_bytes(int source, off_t from, int target, off_t to, std::uint64_t length) {
  char buffer[65536];
  for (std::uint64_t done = 0; done < length;) {
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - done));
    ssize_t count = pread(source, buffer, size, from + static_cast<off_t>(done));
    if (count <= 0) return count == 0 ? EIO : errno;
    if (pwrite(target, buffer, static_cast<std::size_t>(count), to + static_cast<off_t>(done)) != count)
      return errno;
    done += static_cast<std::uint64_t>(count);
  }
  return 0;
}

namespace {

const sys::system_calls real = sys::calls;

clone_function clone_copy = nullptr;

int cloning_ioctl(int fd, unsigned long request, void* argument) {
#ifdef FICLONERANGE
  if (request == FICLONERANGE) {
    const auto& range = *static_cast<const file_clone_range*>(argument);
    int error = clone_copy(static_cast<int>(range.src_fd), static_cast<off_t>(range.src_offset), fd,
                           static_cast<off_t>(range.dest_offset), range.src_length);
    errno = error;
    return error == 0 ? 0 : -1;
  }
#endif
  return real.ioctl(fd, request, argument);
}

ssize_t cloning_copy_file_range(int source, off_t* from, int target, off_t* to, std::size_t length,
                                unsigned) {
  int error = clone_copy(source, *from, target, *to, length);
  errno = error;
  if (error != 0) return -1;
  *from += static_cast<off_t>(length);
  *to += static_cast<off_t>(length);
  return static_cast<ssize_t>(length);
}

}  // namespace

void clone_through(clone_function copy) {
  clone_copy = copy;
  sys::calls.ioctl = copy != nullptr ? cloning_ioctl : real.ioctl;
  if (real.copy_file_range != nullptr)
    sys::calls.copy_file_range = copy != nullptr ? cloning_copy_file_range : real.copy_file_range;
}

bool shares_blocks_through_a_call() {
  static std::atomic<bool> called;
  called = false;
  const sys::system_calls before = sys::calls;
  sys::calls.ioctl = [](int, unsigned long, void*) {
    called = true;
    errno = EOPNOTSUPP;
    return -1;
  };
  if (real.copy_file_range != nullptr)
    sys::calls.copy_file_range = [](int, off_t*, int, off_t*, std::size_t, unsigned) -> ssize_t {
      called = true;
      errno = EOPNOTSUPP;
      return -1;
    };
  (void)platform::share_blocks(-1, -1, 1);
  sys::calls.ioctl = before.ioctl;
  sys::calls.copy_file_range = before.copy_file_range;
  return called;
}

namespace {

// When the count of calls reaches `at`: fails once, or from then on.
struct fault {
  long at = 0;  // 0: never
  bool onwards = false;
  std::atomic<long> calls{0};  // made on the writing threads too

  // From a setting "K" or "K+"; false when there is none.
  bool set(const char* setting) {
    if (setting == nullptr) return false;
    char* end = nullptr;
    at = std::strtol(setting, &end, 10);
    onwards = *end == '+';
    return true;
  }
  bool fails_now() {
    long call = ++calls;
    return at > 0 && (call == at || (onwards && call > at));
  }
};

fault failing_clone, full_at_naming, full_at_sync;
bool naming_may_fail = false, no_links = false;

void log(char event) {
  const char* path = std::getenv("PROPSLICE_FAULT_LOG");
  if (path == nullptr) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || write(fd, &event, 1) != 1 || close(fd) != 0) std::abort();
}

// A clone of clones=K: counted, logged, and failed if it is the K-th.
int counted_clone(int source, off_t from, int target, off_t to, std::uint64_t length) {
  bool fails = failing_clone.fails_now();
  log(fails ? 'C' : 'c');
  return fails ? ENOSPC : copy_bytes(source, from, target, to, length);
}

int refusing_unnamed_openat(int directory, const char* path, int flags, mode_t mode) {
#ifdef O_TMPFILE
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
#endif
  return real.openat(directory, path, flags, mode);
}

// Whether `name` is an output's own name, not a hidden temporary's.
bool final_name(const char* name) {
  std::string_view path = name;
  std::size_t slash = path.rfind('/');
  return !path.substr(slash == std::string_view::npos ? 0 : slash + 1).starts_with(".propslice-");
}

bool naming_fails(const char* name) {
  if (!final_name(name) || !full_at_naming.fails_now()) return false;
  log('N');
  errno = ENOSPC;
  return true;
}

int faulty_linkat(int from_directory, const char* from, int to_directory, const char* to, int flags) {
#ifdef AT_EMPTY_PATH
  // Linking from a descriptor is refused, as it is to a process without
  // privileges: outputs are then linked through /proc, one call each, so
  // that the count of namings is the same for every user.
  if ((flags & AT_EMPTY_PATH) != 0 && naming_may_fail) {
    errno = ENOENT;
    return -1;
  }
#endif
  if (naming_fails(to)) return -1;
  if (no_links && final_name(to)) {
    errno = EPERM;
    return -1;
  }
  return real.linkat(from_directory, from, to_directory, to, flags);
}

int faulty_renameat(int from_directory, const char* from, int to_directory, const char* to) {
  if (naming_fails(to)) return -1;
  return real.renameat(from_directory, from, to_directory, to);
}

int faulty_renameat2(int from_directory, const char* from, int to_directory, const char* to,
                     unsigned flags) {
  if (naming_fails(to)) return -1;
  if (no_links) {
    errno = EINVAL;
    return -1;
  }
  return real.renameat2(from_directory, from, to_directory, to, flags);
}

// For PROPSLICE_TAKE_NAME_BEFORE_RENAME: `fd`, about to be closed, is open
// for writing only on an empty regular file under an output's own name
// (an output is never empty, the input is open for reading): that name is
// taken, once.
int closing_taking_the_name(int fd) {
  static std::atomic<bool> taken{false};
  struct stat status;
  char self[40], path[4096];
  ssize_t length = -1;
  if (!taken.load() && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0 &&
      (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
    (void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    length = readlink(self, path, sizeof path - 1);
  }
  if (length > 0) {
    path[length] = '\0';
    if (final_name(path) && unlink(path) == 0 && !taken.exchange(true)) {
      int own = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (own < 0 || write(own, "taken\n", 6) != 6 || close(own) != 0) std::abort();
    }
  }
  return real.close(fd);
}

bool sync_fails() {
  if (!full_at_sync.fails_now()) return false;
  log('S');
  errno = ENOSPC;
  return true;
}

// For PROPSLICE_NO_RANDOM: the errno value random bytes are refused with.
int refused_random = 0;

int refuse_random() {
  log('r');
  errno = refused_random;
  return -1;
}

int opening_without_the_device(const char* path, int flags, mode_t mode) {
  if (std::string_view(path) == "/dev/urandom") return refuse_random();
  return real.open(path, flags, mode);
}

fault interrupted_output;

ssize_t interrupted_writev(int fd, const iovec* pieces, int count) {
  if (fd == STDOUT_FILENO && interrupted_output.fails_now()) {
    log('i');
    errno = EINTR;
    return -1;
  }
  return real.writev(fd, pieces, count);
}

const bool calls_set = [] {
  if (const char* settings = std::getenv("PROPSLICE_HARNESS")) {
    std::string_view rest = settings;
    while (!rest.empty()) {
      std::string_view setting = rest.substr(0, rest.find(','));
      rest.remove_prefix(std::min(rest.size(), setting.size() + 1));
      if (setting == "named") sys::calls.openat = refusing_unnamed_openat;
      if (setting.starts_with("threads="))
        sys::calls.writing_threads = static_cast<unsigned>(std::atoi(setting.data() + 8));
      if (setting.starts_with("clones=") && failing_clone.set(setting.data() + 7)) clone_through(counted_clone);
    }
  }
  no_links = std::getenv("PROPSLICE_NO_LINKS") != nullptr;
  naming_may_fail = full_at_naming.set(std::getenv("PROPSLICE_FULL_AT_NAMING"));
  if (naming_may_fail || no_links) {
    sys::calls.linkat = faulty_linkat;
    sys::calls.renameat = faulty_renameat;
    if (real.renameat2 != nullptr) sys::calls.renameat2 = faulty_renameat2;
  }
  if (std::getenv("PROPSLICE_TAKE_NAME_BEFORE_RENAME") != nullptr) sys::calls.close = closing_taking_the_name;
  if (full_at_sync.set(std::getenv("PROPSLICE_FULL_AT_SYNC"))) {
    sys::calls.fsync = [](int fd) { return sync_fails() ? -1 : real.fsync(fd); };
    if (real.fdatasync != nullptr)
      sys::calls.fdatasync = [](int fd) { return sync_fails() ? -1 : real.fdatasync(fd); };
    if (real.syncfs != nullptr) sys::calls.syncfs = [](int fd) { return sync_fails() ? -1 : real.syncfs(fd); };
  }
  if (const char* value = std::getenv("PROPSLICE_NO_RANDOM")) {
    char* end = nullptr;
    refused_random = static_cast<int>(std::strtol(value, &end, 10));
    if (real.getrandom != nullptr)
      sys::calls.getrandom = [](void*, std::size_t, unsigned) -> ssize_t { return refuse_random(); };
    if (real.getentropy != nullptr) sys::calls.getentropy = [](void*, std::size_t) { return refuse_random(); };
    if (*end == '+') sys::calls.open = opening_without_the_device;
  }
  if (interrupted_output.set(std::getenv("PROPSLICE_INTERRUPT_OUTPUT"))) sys::calls.writev = interrupted_writev;
  return true;
}();

}  // namespace
