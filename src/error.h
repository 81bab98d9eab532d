#pragma once

#include <functional>

// Prints "error: ", the formatted message and a newline on standard error,
// then ends the process with status 1. The only way this tool fails.
// Callers pass names and paths as arguments, never inside the format.
[[noreturn]] void exit_with_error(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The text of the error number `error`, the same on every system: the C
// libraries word some differently (musl says "Out of memory" for ENOMEM),
// and the messages are part of the tool's interface. Others as the system
// has them.
const char* error_text(int error);

// While one lives, exit_with_error first runs its `cleanup`: work in flight
// on other threads is stopped, and what it left unfinished removed, before
// the process ends.
class on_fatal_error {
 public:
  explicit on_fatal_error(std::function<void()> cleanup);
  ~on_fatal_error();
  on_fatal_error(const on_fatal_error&) = delete;
  on_fatal_error& operator=(const on_fatal_error&) = delete;

 private:
  friend void exit_with_error(const char* format, ...);
  std::function<void()> cleanup_;
  on_fatal_error* outer_;
};
