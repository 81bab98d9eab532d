// Writing one output so that its name only ever holds a complete file.

#include "split/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "error.h"

namespace {

#ifdef IOV_MAX
constexpr std::size_t max_pieces_per_write = IOV_MAX;
#else
constexpr std::size_t max_pieces_per_write = 16;  // the least POSIX allows
#endif

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The named temporaries in existence, for the signal handler to remove: an
// unnamed temporary needs nobody to remove it, it goes with the process.
// A slot is claimed before its file is created and marked once it exists,
// so the handler never removes a name that this run did not create, and
// never misses one that it did (it waits out a creation in progress; new
// ones are refused once it has begun).
struct temporary_slot {
  enum : int { free, claimed, creating, created };
  std::atomic<int> state{free};
  std::atomic<const char*> name{nullptr};
};
temporary_slot temporaries[temporaries_at_most];
std::atomic<int> temporaries_directory{-1};
std::atomic<bool> dying{false};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

// Claims a free slot for the name at `name`; -1 when all are taken.
int claim_slot(const char* name) {
  for (std::size_t i = 0; i < temporaries_at_most; ++i) {
    int expected = temporary_slot::free;
    if (temporaries[i].state.compare_exchange_strong(expected, temporary_slot::claimed)) {
      temporaries[i].name.store(name);
      return static_cast<int>(i);
    }
  }
  return -1;
}

void remove_and_exit(int signal_number) {
  dying.store(true);  // no temporary is created from here on
  int directory = temporaries_directory.load();
  // Another thread may be inside open(): it returns promptly, unless the
  // file system hangs (a network server gone), and then the process must
  // die all the same.
  timespec start{}, now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &start);
  for (temporary_slot& slot : temporaries) {
    int state;
    while ((state = slot.state.load()) == temporary_slot::creating &&
           clock_gettime(CLOCK_MONOTONIC, &now) == 0 && now.tv_sec - start.tv_sec < 2) {
    }
    // A name is only ever rewritten while its slot is merely claimed.
    if (state == temporary_slot::created) (void)unlinkat(directory, slot.name.load(), 0);
  }
  // Die of the same signal, as if there were no handler: it is blocked
  // until this handler returns, and then ends the process.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  (void)raise(signal_number);
}

// A fresh hidden name that nobody can guess in advance, short so that it
// fits in any directory an output fits in. Returns 0 or an errno value.
int random_name(std::array<char, 40>& name) {
  unsigned char bytes[8];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t count = getrandom(bytes + got, sizeof bytes - got, 0);
    if (count > 0)
      got += static_cast<std::size_t>(count);
    else if (errno != EINTR)
      return errno;
  }
  (void)std::snprintf(name.data(), name.size(), ".propslice-%02x%02x%02x%02x%02x%02x%02x%02x.tmp",
                      bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6],
                      bytes[7]);
  return 0;
}

int write_all(int fd, const std::vector<iovec>& pieces, std::size_t next, std::size_t written) {
  iovec batch[max_pieces_per_write];
  while (next < pieces.size()) {
    int count = 0;
    for (std::size_t i = next; i < pieces.size() && count < static_cast<int>(max_pieces_per_write);
         ++i)
      batch[count++] = pieces[i];
    batch[0].iov_base = static_cast<char*>(batch[0].iov_base) + written;
    batch[0].iov_len -= written;
    ssize_t result = writev(fd, batch, count);
    if (result < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (result == 0) return EIO;  // no progress: never loop forever
    auto left = static_cast<std::size_t>(result);
    while (left > 0) {
      std::size_t rest = pieces[next].iov_len - written;
      if (left < rest) {
        written += left;
        break;
      }
      left -= rest;
      ++next;
      written = 0;
    }
  }
  return 0;
}

int ioctl_clone(int source, int target, std::uint64_t length) {
#if defined(FICLONERANGE)
  file_clone_range range{};
  range.src_fd = source;
  range.src_offset = 0;
  range.src_length = length;
  range.dest_offset = 0;
  return ioctl(target, FICLONERANGE, &range) == 0 ? 0 : errno;
#else
  (void)source, (void)target, (void)length;
  return EOPNOTSUPP;
#endif
}

// Whether an open file may be linked straight from its descriptor: for a
// privileged process, and on recent kernels for the one that opened it.
std::atomic<bool> links_from_descriptors{true};

// Gives the unnamed file open as `fd` the name `name` in `directory`.
// Returns 0 or an errno value.
int link_unnamed(int fd, int directory, const char* name) {
  if (links_from_descriptors.load()) {
    if (linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return 0;
    // Not allowed here (ENOENT is what a refusal looks like); through
    // /proc from now on. Any other error is the link's own.
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
    links_from_descriptors.store(false);
  }
  char self[40];
  (void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, directory, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

}  // namespace

cleanup_signals_blocked::cleanup_signals_blocked() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : cleanup_signals) sigaddset(&set, signal_number);
  pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

int (*clone_file_range)(int source, int target, std::uint64_t length) = ioctl_clone;
bool named_temporaries_for_tests = false;

const char* base_name(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return name.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

int output_directory::open_for(const std::string& output_name) {
  std::size_t slash = output_name.rfind('/');
  std::string path = slash == std::string::npos ? "." : output_name.substr(0, slash + 1);
#if defined(O_PATH)
  // Only a place to name things from: a directory that may be written and
  // searched but not read serves too.
  constexpr int access_mode = O_PATH;
#else
  constexpr int access_mode = O_RDONLY;
#endif
  fd_ = file_descriptor(open(path.c_str(), access_mode | O_DIRECTORY | O_CLOEXEC));
  if (!fd_.valid()) return errno;
  temporaries_directory.store(fd_.get());
  unnamed_temporaries = !named_temporaries_for_tests;
#if defined(__linux__)
  struct statfs file_system;
  if (fstatfs(fd_.get(), &file_system) == 0)
    survives_power_loss = file_system.f_type != TMPFS_MAGIC && file_system.f_type != RAMFS_MAGIC;
#endif
  return 0;
}

int output_file::create(output_directory& directory) {
  discard();
  directory_ = &directory;
#if defined(O_TMPFILE)
  if (directory.unnamed_temporaries) {
    fd_ = openat(directory.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0) return 0;
    // Refused by the file system, not for want of space or permission.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    directory.unnamed_temporaries = false;
  }
#else
  directory.unnamed_temporaries = false;
#endif
  // The handler must not run in this thread while the slot says "creating":
  // it would wait for this very thread.
  cleanup_signals_blocked blocked;
  slot_ = claim_slot(temporary_name_.data());
  if (slot_ < 0) return EMFILE;
  temporary_slot& slot = temporaries[slot_];
  for (int attempt = 0;; ++attempt) {
    if (int error = random_name(temporary_name_)) {
      release_slot();
      return error;
    }
    slot.state.store(temporary_slot::creating);
    if (dying.load()) {
      fd_ = -1;
      errno = EINTR;
    } else {
      fd_ = openat(directory.fd(), temporary_name_.data(),
                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    int error = fd_ >= 0 ? 0 : errno;
    slot.state.store(fd_ >= 0 ? temporary_slot::created : temporary_slot::claimed);
    if (error == 0) return 0;
    if (error != EEXIST || attempt == 100) {
      release_slot();
      return error;
    }
  }
}

void output_file::release_slot() {
  if (slot_ >= 0) temporaries[slot_].state.store(temporary_slot::free);
  slot_ = -1;
}

int output_file::clone_from(int source, std::uint64_t length) {
  return clone_file_range(source, fd_, length);
}

int output_file::write(const std::vector<iovec>& pieces, std::uint64_t skip) {
  // A new or emptied file is written from its start already.
  if (skip != 0 && lseek(fd_, static_cast<off_t>(skip), SEEK_SET) < 0) return errno;
  std::size_t next = 0;
  while (next < pieces.size() && skip >= pieces[next].iov_len) skip -= pieces[next++].iov_len;
  return write_all(fd_, pieces, next, static_cast<std::size_t>(skip));
}

int output_file::sync() {
  if (!directory_->survives_power_loss) return 0;
  if (fdatasync(fd_) == 0 || errno == EINVAL) return 0;  // EINVAL: nothing to sync to
  return errno;
}

int output_file::truncate() {
  return ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
}

int output_file::publish(const char* base, bool replace) {
  int directory = directory_->fd();
  int error = 0;
  if (slot_ < 0) {
    // Unnamed: it gets its first name by a link through its descriptor,
    // which fails when the name is taken. To replace, that first name is
    // a hidden one, renamed over the final one at once.
    std::array<char, 40> hidden{};
    if (replace && (error = random_name(hidden)) != 0) {
      discard();
      return error;
    }
    const char* first = replace ? hidden.data() : base;
    // A hidden name, when there is one, is gone again before a signal is taken.
    std::optional<cleanup_signals_blocked> blocked;
    if (replace) blocked.emplace();
    error = link_unnamed(fd_, directory, first);
    if (error == 0 && replace && renameat(directory, first, directory, base) != 0) {
      error = errno;
      (void)unlinkat(directory, first, 0);
    }
    if (close(fd_) != 0 && error == 0) {
      // Named, but perhaps incomplete: take the name back.
      error = errno;
      (void)unlinkat(directory, base, 0);
    }
    fd_ = -1;
    return error;
  }

  // Named: closed first, then renamed into place, without replacing
  // anything when not asked to.
  if (close(fd_) != 0) error = errno;
  fd_ = -1;
  const char* temporary = temporary_name_.data();
  cleanup_signals_blocked blocked;
  if (error == 0 && replace && renameat(directory, temporary, directory, base) != 0)
    error = errno;
  if (error == 0 && !replace &&
      renameat2(directory, temporary, directory, base, RENAME_NOREPLACE) != 0) {
    error = errno;
    if (error == EINVAL || error == ENOSYS) {
      // A file system without the flag: a link fails as well when the name
      // is taken.
      error = linkat(directory, temporary, directory, base, 0) == 0 ? 0 : errno;
      if (error == 0) (void)unlinkat(directory, temporary, 0);
    }
  }
  if (error != 0) (void)unlinkat(directory, temporary, 0);
  release_slot();
  return error;
}

void output_file::discard() {
  if (fd_ >= 0) {
    (void)close(fd_);
    fd_ = -1;
  }
  if (slot_ >= 0) {
    (void)unlinkat(directory_->fd(), temporary_name_.data(), 0);
    release_slot();
  }
}

void handle_signals_for_outputs() {
  for (int signal_number : cleanup_signals) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0)
      exit_with_error("Cannot set up signal handling: %s", std::strerror(errno));
    if (previous.sa_handler == SIG_IGN) continue;  // as under nohup: stay deaf to it
    struct sigaction action {};
    action.sa_handler = remove_and_exit;
    sigemptyset(&action.sa_mask);
    for (int other : cleanup_signals) sigaddset(&action.sa_mask, other);
    if (sigaction(signal_number, &action, nullptr) != 0)
      exit_with_error("Cannot set up signal handling: %s", std::strerror(errno));
  }
  if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
    exit_with_error("Cannot set up signal handling: %s", std::strerror(errno));
}
