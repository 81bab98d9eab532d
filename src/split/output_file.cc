// Writing one output so that its name never holds a partial file.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "error.h"
#include "split/generate.h"

namespace {

#ifdef IOV_MAX
constexpr std::size_t max_pieces_per_write = IOV_MAX;
#else
constexpr std::size_t max_pieces_per_write = 16;  // the least POSIX allows
#endif

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The file being written, for the signal handler to remove. Set and cleared
// with the cleanup signals blocked, so that a file is never created without
// being recorded, nor a name recorded that was never ours.
std::atomic<const char*> partial_output{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

class cleanup_signals_blocked {
 public:
  cleanup_signals_blocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : cleanup_signals) sigaddset(&set, signal_number);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~cleanup_signals_blocked() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  cleanup_signals_blocked(const cleanup_signals_blocked&) = delete;
  cleanup_signals_blocked& operator=(const cleanup_signals_blocked&) = delete;

 private:
  sigset_t saved_;
};

// Creates `path`, which must not exist, and records it as partial.
// Returns the descriptor, or -errno.
int create_partial(const std::string& path) {
  cleanup_signals_blocked blocked;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return -errno;
  partial_output.store(path.c_str());
  return fd;
}

// A fresh name in the directory of `name`, short so that a long `name` still
// leaves room for it.
std::string temporary_beside(const std::string& name) {
  static const std::string process = std::to_string(getpid());
  static unsigned long counter = 0;
  std::size_t slash = name.rfind('/');
  std::string temporary = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  temporary += ".propslice-" + process + "-" + std::to_string(counter++) + ".tmp";
  return temporary;
}

int write_all(int fd, const std::vector<iovec>& pieces) {
  std::size_t next = 0;      // the first piece not completely written
  std::size_t written = 0;   // bytes of it already written
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

void remove_and_exit(int signal_number) {
  const char* path = partial_output.load();
  if (path != nullptr) unlink(path);
  // Die of the same signal, as if there were no handler: it is blocked
  // until this handler returns, and then ends the process.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  (void)raise(signal_number);
}

}  // namespace

int write_output(const std::string& name, const std::vector<iovec>& pieces, bool replace) {
  std::string temporary;
  int fd;
  if (!replace) {
    fd = create_partial(name);
  } else {
    // A name taken by someone else, left by a killed run, is skipped.
    int attempts = 0;
    do {
      temporary = temporary_beside(name);
      fd = create_partial(temporary);
    } while (fd == -EEXIST && ++attempts < 100);
  }
  if (fd < 0) return -fd;
  const std::string& path = replace ? temporary : name;

  int error = write_all(fd, pieces);
  if (close(fd) != 0 && error == 0) error = errno;

  cleanup_signals_blocked blocked;
  if (error == 0 && replace && rename(path.c_str(), name.c_str()) != 0) error = errno;
  if (error != 0) unlink(path.c_str());
  partial_output.store(nullptr);
  return error;
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
