#include "split/temporaries.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "failure.h"
#include "platform/platform.h"
#include "platform/system_calls.h"

namespace {

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

constexpr char hidden_prefix[] = ".propslice-";
constexpr char hidden_suffix[] = ".tmp";
constexpr std::size_t hidden_digits = 16;
constexpr std::size_t hidden_length = sizeof hidden_prefix - 1 + hidden_digits + sizeof hidden_suffix - 1;

// The named temporaries in existence, for the signal handler to remove: an
// unnamed temporary needs nobody to remove it, it goes with the process.
// A slot is claimed before its file is created and marked once it exists,
// so the handler never removes a name that this run did not create, and
// never misses one that it did (it waits out a creation in progress; new
// ones are refused once it has begun).
struct temporary_slot {
  enum : int { free, claimed, creating, created };
  std::atomic<int> state{free};
  std::atomic<int> directory{-1};
  std::atomic<const char*> name{nullptr};
};
temporary_slot temporaries[temporaries_at_most];
std::atomic<bool> dying{false};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

// Claims a free slot for the name at `name`; -1 when all are taken.
int claim_slot(int directory, const char* name) {
  for (std::size_t i = 0; i < temporaries_at_most; ++i) {
    int expected = temporary_slot::free;
    if (temporaries[i].state.compare_exchange_strong(expected, temporary_slot::claimed)) {
      temporaries[i].directory.store(directory);
      temporaries[i].name.store(name);
      return static_cast<int>(i);
    }
  }
  return -1;
}

void remove_and_exit(int signal_number) {
  dying.store(true);  // no temporary is created from here on
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
    if (state == temporary_slot::created)
      (void)sys::unlinkat(slot.directory.load(), slot.name.load(), 0);
  }
  // Die of the same signal, as if there were no handler: it is blocked
  // until this handler returns, and then ends the process.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  (void)raise(signal_number);
}

}  // namespace

void make_hidden_name(hidden_name& name) {
  unsigned char bytes[hidden_digits / 2];
  platform::random_bytes(bytes, sizeof bytes);
  char* at = name.data() + std::snprintf(name.data(), name.size(), "%s", hidden_prefix);
  for (unsigned char byte : bytes) at += std::snprintf(at, 3, "%02x", byte);
  (void)std::snprintf(at, name.data() + name.size() - at, "%s", hidden_suffix);
}

int named_temporary::create(int directory, const std::string& prefix) {
  remove();
  // With a prefix the name is made at its full length before the handler
  // may see it, and each new one is written over it in place.
  path_.clear();
  if (!prefix.empty()) path_.assign(prefix).append(hidden_length, '.');
  // The handler must not run in this thread while the slot says "creating":
  // it would wait for this very thread.
  cleanup_signals_blocked blocked;
  slot_ = claim_slot(directory, name());
  if (slot_ < 0) {
    errno = EMFILE;
    return -1;
  }
  directory_ = directory;
  temporary_slot& slot = temporaries[slot_];
  for (int attempt = 0;; ++attempt) {
    make_hidden_name(name_);
    if (!path_.empty()) std::memcpy(path_.data() + prefix.size(), name_.data(), hidden_length);
    slot.state.store(temporary_slot::creating);
    int fd = -1;
    if (dying.load())
      errno = EINTR;
    else
      fd = sys::openat(directory, name(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    int error = fd >= 0 ? 0 : errno;
    slot.state.store(fd >= 0 ? temporary_slot::created : temporary_slot::claimed);
    if (fd >= 0) return fd;
    if (error != EEXIST || attempt == 100) {
      forget();
      errno = error;
      return -1;
    }
  }
}

void named_temporary::forget() {
  if (slot_ >= 0) temporaries[slot_].state.store(temporary_slot::free);
  slot_ = -1;
}

void named_temporary::remove() {
  if (slot_ < 0) return;
  (void)sys::unlinkat(directory_, name(), 0);
  forget();
}

cleanup_signals_blocked::cleanup_signals_blocked() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : cleanup_signals) sigaddset(&set, signal_number);
  pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

void handle_signals_for_outputs() {
  for (int signal_number : cleanup_signals) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0)
      raise_failure(failure::kind::signals, errno);
    if (previous.sa_handler == SIG_IGN) continue;  // as under nohup: stay deaf to it
    struct sigaction action {};
    action.sa_handler = remove_and_exit;
    sigemptyset(&action.sa_mask);
    for (int other : cleanup_signals) sigaddset(&action.sa_mask, other);
    if (sigaction(signal_number, &action, nullptr) != 0)
      raise_failure(failure::kind::signals, errno);
  }
  if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
    raise_failure(failure::kind::signals, errno);
}
