#include "split/input_guard.h"

#include <cerrno>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The same file, of the same size, neither modified nor changed since.
bool same_identity(const struct stat& before, const struct stat& now) {
  return before.st_dev == now.st_dev && before.st_ino == now.st_ino &&
         before.st_size == now.st_size &&
         same_time(platform::modified_time(before), platform::modified_time(now)) &&
         same_time(platform::changed_time(before), platform::changed_time(now));
}

}  // namespace

input_guard::input_guard(int fd, const struct stat& status)
    : fd_(fd), lease_(platform::take_read_lease(fd)), since_(status) {}

int input_guard::restart() {
  if ((lease_ == 0 && platform::read_lease_broken()) || lease_ == EAGAIN)
    lease_ = platform::take_read_lease(fd_);
  return sys::fstat(fd_, &since_) == 0 ? 0 : errno;
}

bool input_guard::unchanged(int& error) const {
  error = 0;
  struct stat now;
  if (fd_ < 0) return false;
  if (sys::fstat(fd_, &now) != 0) {
    error = errno;
    return false;
  }
  if (lease_ == 0 && platform::read_lease_broken()) return false;
  // With a writer, the caller compares two reads.
  return writer_open() || same_identity(since_, now);
}

bool input_guard::writer_open() const { return fd_ >= 0 && lease_ == EAGAIN; }

input_guard::kind input_guard::how() const {
  if (fd_ < 0 || writer_open()) return kind::none;
  return lease_ == 0 ? kind::lease : kind::identity;
}
