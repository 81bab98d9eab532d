#include "error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

struct error_wording {
  int error;
  const char* text;
};

// The wording of GNU libc, which the tool's messages have always had.
constexpr error_wording wordings[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {EBADF, "Bad file descriptor"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EBUSY, "Device or resource busy"},
    {EEXIST, "File exists"},
    {EXDEV, "Invalid cross-device link"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ETXTBSY, "Text file busy"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {EROFS, "Read-only file system"},
    {EMLINK, "Too many links"},
    {EPIPE, "Broken pipe"},
    {ENAMETOOLONG, "File name too long"},
    {ENOSYS, "Function not implemented"},
    {ELOOP, "Too many levels of symbolic links"},
    {EOVERFLOW, "Value too large for defined data type"},
    {EOPNOTSUPP, "Operation not supported"},
    {ESTALE, "Stale file handle"},
    {EDQUOT, "Disk quota exceeded"},
};
}  // namespace

const char* error_text(int error) {
  for (const error_wording& wording : wordings)
    if (wording.error == error) return wording.text;
  return std::strerror(error);
}

void exit_with_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  // Compose the whole line first so it reaches standard error in one write,
  // not interleaved piece by piece with anything else; on the stack, as
  // memory running short may be what is reported.
  constexpr char prefix[] = "error: ";
  constexpr std::size_t prefix_length = sizeof prefix - 1;
  char line[8192];
  std::memcpy(line, prefix, prefix_length);
  std::size_t room = sizeof line - prefix_length - 1;  // and one byte for the newline
  int length = std::vsnprintf(line + prefix_length, room, format, args);
  va_end(args);

  (void)std::fflush(stdout);  // nothing is left to report a failure of these to
  if (length >= 0 && static_cast<std::size_t>(length) < room) {
    line[prefix_length + static_cast<std::size_t>(length)] = '\n';
    (void)std::fwrite(line, 1, prefix_length + static_cast<std::size_t>(length) + 1, stderr);
  } else if (length > 0) {
    // Longer than the stack holds (a long path): on the heap where there is
    // memory, else in pieces.
    try {
      std::string whole(prefix);
      whole.resize(prefix_length + static_cast<std::size_t>(length) + 1);
      (void)std::vsnprintf(whole.data() + prefix_length, static_cast<std::size_t>(length) + 1,
                           format, again);
      whole.back() = '\n';  // in place of the terminating NUL
      (void)std::fwrite(whole.data(), 1, whole.size(), stderr);
    } catch (const std::bad_alloc&) {
      (void)std::fputs(prefix, stderr);
      (void)std::vfprintf(stderr, format, again);
      (void)std::fputc('\n', stderr);
    }
  }
  va_end(again);
  std::exit(1);
}
