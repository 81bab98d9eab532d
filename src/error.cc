#include "error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

void exit_with_error(const char* format, ...) {
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
