#include "error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
on_fatal_error* innermost_cleanup = nullptr;  // set and read on the main thread only
}  // namespace

on_fatal_error::on_fatal_error(std::function<void()> cleanup)
    : cleanup_(std::move(cleanup)), outer_(innermost_cleanup) {
  innermost_cleanup = this;
}

on_fatal_error::~on_fatal_error() { innermost_cleanup = outer_; }

void exit_with_error(const char* format, ...) {
  // Each cleanup runs once, even should it fail fatally itself.
  while (on_fatal_error* cleanup = innermost_cleanup) {
    innermost_cleanup = cleanup->outer_;
    cleanup->cleanup_();
  }

  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);

  // Compose the whole line first so it reaches standard error in one write,
  // not interleaved piece by piece with anything else.
  std::string line = "error: ";
  if (length > 0) {
    std::size_t prefix = line.size();
    line.resize(prefix + static_cast<std::size_t>(length) + 1);
    (void)std::vsnprintf(line.data() + prefix, static_cast<std::size_t>(length) + 1, format,
                         again);
    line.pop_back();  // the terminating NUL
  }
  va_end(again);
  line += '\n';

  // Nothing is left to report a failure of these to.
  (void)std::fflush(stdout);
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
  std::exit(1);
}
