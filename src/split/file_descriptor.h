#pragma once

#include <unistd.h>

#include <utility>

#include "platform/system_calls.h"

// An open descriptor, closed when dropped: no path, exceptions included,
// leaks one. Where a failing close matters (an output being written), the
// owner calls release() and closes it itself, checking the result.
class file_descriptor {
 public:
  file_descriptor() = default;
  explicit file_descriptor(int fd) : fd_(fd) {}
  ~file_descriptor() {
    if (fd_ >= 0) (void)sys::close(fd_);  // read-only use, or already failed
  }
  file_descriptor(file_descriptor&& other) noexcept : fd_(other.release()) {}
  file_descriptor& operator=(file_descriptor&& other) noexcept {
    if (this != &other) {
      file_descriptor old(std::exchange(fd_, other.release()));
    }
    return *this;
  }
  file_descriptor(const file_descriptor&) = delete;
  file_descriptor& operator=(const file_descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};
