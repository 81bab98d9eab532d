// Fills the tool's table of system calls from PROPSLICE_TEST_SEAMS before
// main runs, so that the same suites run with several writing threads and
// with named temporaries: "threads=N" and "named" (O_TMPFILE is refused,
// as some file systems do), separated by commas. And "clones=K": a clone
// copies the blocks, as on a copy-on-write file system, and the K-th fails
// with ENOSPC ("K+": every one from the K-th on; 0: none); each appends 'c'
// (a copy) or 'C' (a failure) to the file that PROPSLICE_FAULT_LOG names,
// if any. Linked into propslice_harness and the end-to-end test program.

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
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

long failing_clone = 0;
bool failing_onwards = false;
std::atomic<long> clones{0};  // made on the writing threads

// A clone of clones=K: counted, logged, and failed if it is the K-th.
int counted_clone(int source, off_t from, int target, off_t to, std::uint64_t length) {
  long clone = ++clones;
  bool fails = clone == failing_clone || (failing_onwards && clone > failing_clone);
  if (const char* log = std::getenv("PROPSLICE_FAULT_LOG")) {
    char event = fails ? 'C' : 'c';
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, &event, 1) != 1 || close(fd) != 0) return EIO;
  }
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

const bool calls_set = [] {
  const char* seams = std::getenv("PROPSLICE_TEST_SEAMS");
  if (seams == nullptr) return false;
  std::string_view rest = seams;
  while (!rest.empty()) {
    std::string_view seam = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), seam.size() + 1));
    if (seam == "named") sys::calls.openat = refusing_unnamed_openat;
    if (seam.starts_with("threads="))
      sys::calls.writing_threads = static_cast<unsigned>(std::atoi(seam.data() + 8));
    if (seam.starts_with("clones=")) {
      char* end = nullptr;
      failing_clone = std::strtol(seam.data() + 7, &end, 10);
      failing_onwards = *end == '+';
      clone_through(counted_clone);
    }
  }
  return true;
}();

}  // namespace
