#include "messages.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "failure.h"
#include "platform/system_calls.h"

namespace {

bool output_closed = false;

[[noreturn]] void cannot_write(int error) { raise_failure(failure::kind::standard_output, error); }

// Writes the pieces and a newline on standard output, in one call where
// the system takes them all at once; an interrupted or a short write goes
// on with what is left.
void write_line(std::string_view first, std::string_view second) {
  if (output_closed) cannot_write(EBADF);
  char newline = '\n';
  iovec pieces[3] = {{const_cast<char*>(first.data()), first.size()},
                     {const_cast<char*>(second.data()), second.size()},
                     {&newline, 1}};
  iovec* next = pieces;
  int left = 3;
  while (left > 0) {
    ssize_t count = sys::writev(STDOUT_FILENO, next, left);
    if (count < 0) {
      if (errno == EINTR) continue;
      cannot_write(errno);
    }
    auto written = static_cast<std::size_t>(count);
    for (; left > 0 && written >= next->iov_len; --left, ++next) written -= next->iov_len;
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + written;
      next->iov_len -= written;
    }
  }
}

}  // namespace

void print_line(std::string_view text) { write_line(text, {}); }

void print_line(std::string_view first, std::string_view second) { write_line(first, second); }

void standard_output_was_closed() { output_closed = true; }
