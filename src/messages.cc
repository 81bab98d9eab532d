#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "error.h"

namespace {

void put(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    exit_with_error("Cannot write to standard output: %s", std::strerror(errno));
}

void end_line() {
  if (std::fputc('\n', stdout) == EOF || std::fflush(stdout) == EOF)
    exit_with_error("Cannot write to standard output: %s", std::strerror(errno));
}

}  // namespace

void print_line(std::string_view text) {
  put(text);
  end_line();
}

void print_line(std::string_view first, std::string_view second) {
  put(first);
  put(second);
  end_line();
}
