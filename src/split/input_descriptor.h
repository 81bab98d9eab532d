#pragma once

#include <unistd.h>

// A descriptor of an input, closed when it goes out of scope, on every path,
// exceptions included. An input is only read from, so a failing close loses
// nothing and goes unreported.
class input_descriptor {
 public:
  explicit input_descriptor(int fd) : fd_(fd) {}
  ~input_descriptor() {
    if (fd_ >= 0) (void)close(fd_);
  }
  input_descriptor(const input_descriptor&) = delete;
  input_descriptor& operator=(const input_descriptor&) = delete;

  int get() const { return fd_; }

 private:
  int fd_;
};
