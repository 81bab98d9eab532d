#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "failure.h"

namespace {

bool output_closed = false;

[[noreturn]] void cannot_write(int error) {
  raise_failure(failure::kind::standard_output, error);
}

void start_line() {
  if (output_closed) cannot_write(EBADF);
}

void put(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    cannot_write(errno);
}

void end_line() {
  if (std::fputc('\n', stdout) == EOF || std::fflush(stdout) == EOF) cannot_write(errno);
}

}  // namespace

void print_line(std::string_view text) {
  start_line();
  put(text);
  end_line();
}

void print_line(std::string_view first, std::string_view second) {
  start_line();
  put(first);
  put(second);
  end_line();
}

void standard_output_was_closed() { output_closed = true; }
