// The sync of a group on its own thread: the result is make_durable()'s,
// whether a thread starts or not, and the signals that remove temporaries
// are taken only where the outputs are named.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system_calls.h"
#include "split/background_sync.h"

namespace {

enum class starting { thread, system_error, bad_alloc };

starting refusing = starting::thread;

void refuse_to_start(unsigned) {
  if (refusing == starting::system_error) throw std::system_error(EAGAIN, std::generic_category());
  if (refusing == starting::bad_alloc) throw std::bad_alloc();
}

// Each file's sync (fdatasync, or fsync where the system lacks it) notes
// whether SIGINT is blocked where it runs.
std::atomic<int> syncs{0}, syncs_with_sigint_blocked{0};
int (*real_fdatasync)(int) = nullptr;
int (*real_fsync)(int) = nullptr;

void note_signals() {
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  ++syncs;
  if (sigismember(&blocked, SIGINT) == 1) ++syncs_with_sigint_blocked;
}
int fdatasync_noting_signals(int fd) {
  note_signals();
  return real_fdatasync(fd);
}
int fsync_noting_signals(int fd) {
  note_signals();
  return real_fsync(fd);
}

TEST(BackgroundSync, GivesTheResultWithOrWithoutAThread) {
  struct row {
    const char* name;
    starting start;
    int bad_at;  // -1: none; else a descriptor that is not open, at that index
    int error;
    std::size_t durable;
  };
  const row rows[] = {
      {"on a thread", starting::thread, -1, 0, 3},
      {"no thread", starting::system_error, -1, 0, 3},
      {"no memory for a thread", starting::bad_alloc, -1, 0, 3},
      {"a failure, on a thread", starting::thread, 1, EBADF, 1},
      {"a failure, no thread", starting::system_error, 2, EBADF, 2},
  };
  char directory[] = "/tmp/propslice-sync-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  background_sync sync;  // one for all rows: started again after each wait
  real_fdatasync = sys::calls.fdatasync;
  real_fsync = sys::calls.fsync;
  if (real_fdatasync != nullptr) sys::calls.fdatasync = fdatasync_noting_signals;
  sys::calls.fsync = fsync_noting_signals;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
      const std::string path = std::string(directory) + "/f" + std::to_string(i);
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, "data\n", 5), 5);
      fds.push_back(fd);
    }
    std::vector<int> opened = fds;
    if (r.bad_at >= 0) fds[static_cast<std::size_t>(r.bad_at)] = 1 << 20;
    refusing = r.start;
    syncs = syncs_with_sigint_blocked = 0;
    sys::calls.starting_thread = refuse_to_start;
    sync.start(fds, false);
    sys::calls.starting_thread = nullptr;
    EXPECT_TRUE(fds.empty());
    EXPECT_TRUE(sync.busy());
    std::size_t durable = 99;
    EXPECT_EQ(sync.wait(durable), r.error);
    EXPECT_EQ(durable, r.durable);
    EXPECT_FALSE(sync.busy());
    EXPECT_GT(syncs.load(), 0);
    EXPECT_EQ(syncs_with_sigint_blocked.load(), r.start == starting::thread ? syncs.load() : 0);
    for (int fd : opened) close(fd);
  }
  sys::calls.fdatasync = real_fdatasync;
  sys::calls.fsync = real_fsync;
  for (int i = 0; i < 3; ++i) unlink((std::string(directory) + "/f" + std::to_string(i)).c_str());
  rmdir(directory);
}

}  // namespace
