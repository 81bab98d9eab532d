#include "split/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

#include "failure.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/line_search.h"

namespace {

// The reads of the window: small enough that the kernel's copy into it and
// the search right after stay in the processor's cache.
constexpr std::size_t window_read_size = std::size_t{32} * 1024;

// A regular file of at most this many window reads is read once, whole,
// even when it turns out to have fewer than two property lines: a search
// through the window first would read it twice when it is split. Larger,
// holding a file that is not split costs more than reading it through the
// window.
constexpr std::size_t read_once_windows = 4;

// Below this, a buffer is mostly memory that is present already: asking
// for it to be faulted in costs more than the faults it saves.
constexpr std::size_t prefault_at_least = std::size_t{256} * 1024;

// How often a file that changes while it is read is read again.
constexpr int read_attempts = 4;

// The tool's own, or a test's (1 byte to 1 GiB; others are taken as the
// nearest): a read of more than 1 GiB would only cost memory.
std::size_t read_size() {
  const std::size_t asked = sys::calls.input_read_size;
  return asked == 0 ? default_read_size : std::min(asked, std::size_t{1} << 30);
}

[[noreturn]] void cannot_read(const std::string& path, int error) {
  raise_failure(failure::kind::input, error, path);
}

// One read, retried when interrupted.
std::size_t read_some(int fd, char* into, std::size_t size, const std::string& path) {
  for (;;) {
    ssize_t count = sys::read(fd, into, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) cannot_read(path, errno);
  }
}

void rewind(int fd, const std::string& path) {
  if (sys::lseek(fd, 0, SEEK_SET) != 0) cannot_read(path, errno);
}

// Before another read of the file from its start.
void restart(input_guard& guard, int fd, const std::string& path) {
  if (int error = guard.restart()) cannot_read(path, error);
  rewind(fd, path);
}

// Whether the read since the last start holds one version of the file.
bool accepted(const input_guard& guard, const std::string& path) {
  int error;
  bool unchanged = guard.unchanged(error);
  if (error != 0) cannot_read(path, error);
  return unchanged;
}

// Reads the rest of the input into `buffer`, growing it as needed.
void read_to_end(int fd, const std::string& path, input_buffer& buffer, std::size_t expected = 0) {
  for (;;) {
    if (buffer.room_size() == 0 && !buffer.grow()) throw std::bad_alloc();
    std::size_t asked = std::min(buffer.room_size(), read_size());
    std::size_t count = read_some(fd, buffer.room(), asked, path);
    if (count == 0) return;
    buffer.added(count);
    // A read that stops short at the size the file had is at its end: the
    // read that would say so is spared. Whether the file kept that size
    // (and its bytes) is what the guard tells afterwards.
    if (count < asked && expected > 0 && buffer.bytes().size() == expected) return;
  }
}

// What a read of a file held, in short: two reads of the same bytes have
// the same digest, and a change of any one byte changes it (FNV-1a).
struct read_digest {
  std::uint64_t bytes = 0;
  std::uint64_t sum = 0xcbf29ce484222325;
  void add(const char* piece, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      sum = (sum ^ static_cast<unsigned char>(piece[i])) * 0x100000001b3;
    bytes += size;
  }
  bool operator==(const read_digest&) const = default;
};

// What a search of a file through the window found.
struct window_search {
  std::uint64_t properties = 0;  // 0, 1 or 2: it stops at the second
  line_range first{};            // the first property line
  std::uint64_t lines = 0;       // when it did not stop
  read_digest digest;            // when asked for
};

// Searches a file from where it stands through a window that never grows,
// however long the lines: an input with fewer than two property lines is
// never split, so holding it whole would cost time and memory for nothing.
// Stops at the second property line when `stop_at_second`.
window_search search_through_window(int fd, const std::string& path, std::size_t window,
                                    bool with_digest, bool stop_at_second = true) {
  std::vector<char> buffer(window + search_padding);
  line_search search;
  line_range line;
  window_search found;
  for (bool at_end = false; !at_end;) {
    std::size_t count = read_some(fd, buffer.data(), window, path);
    at_end = count == 0;
    if (at_end) {
      search.finish();
    } else {
      search.feed(buffer.data(), count);
      if (with_digest) found.digest.add(buffer.data(), count);
    }
    while (search.next_property(line)) {
      if (found.properties == 0) found.first = line;
      if (++found.properties == 2 && stop_at_second) return found;
    }
  }
  found.lines = search.lines();
  return found;
}

// The size a regular file claims, as a buffer size: one that no buffer can
// hold (past 4 GiB where size_t has 32 bits) is memory running short.
std::size_t expected_size(const struct stat& status) {
  if (status.st_size <= 0) return 0;  // the reads will tell
  if (static_cast<std::uintmax_t>(status.st_size) >= input_buffer::largest_capacity)
    throw std::bad_alloc();
  return static_cast<std::size_t>(status.st_size);
}

// What is kept of the file open as `fd` when it is not split: what it holds.
scan_result not_split(int fd, std::uint64_t lines, property_set properties) {
  // The file is closed: no lease is needed, nor kept.
  platform::drop_read_lease(fd);
  scan_result result;
  result.lines = input_lines(lines);
  result.property_lines = std::move(properties);
  return result;
}

// Reads the whole file, from its start, into `whole`; true when the read
// holds one version of the file.
bool read_whole(int fd, const std::string& path, std::size_t window, const input_guard& guard,
                scan_result& whole) {
  input_buffer buffer(whole.lines, whole.property_lines);
  std::size_t expected = expected_size(guard.status());
  // Sized to the file, and one byte more: room for a missing final '\n',
  // and the read that reports the end needs room to ask for something. A
  // read never asks for nothing, which would look like the end of the input.
  if (!buffer.reserve(expected > 0 ? expected + 1 : window)) throw std::bad_alloc();
  if (expected >= prefault_at_least) buffer.prefault();
  read_to_end(fd, path, buffer, expected);
  if (guard.writer_open()) {
    read_digest held;
    held.add(buffer.bytes().data(), buffer.bytes().size());
    rewind(fd, path);
    if (search_through_window(fd, path, window, true, false).digest != held) return false;
  }
  buffer.finish();
  return accepted(guard, path);
}

// A regular file, open as `input`, whose status was `status`.
scan_result scan_regular(file_descriptor input, const std::string& path,
                         const struct stat& status) {
  const int fd = input.get();
  const std::size_t window = std::min(read_size(), window_read_size);
  input_guard guard(fd, status);
  bool whole = static_cast<std::uintmax_t>(std::max<off_t>(status.st_size, 0)) <=
               std::uintmax_t{window} * read_once_windows;
  for (int failed = 0;;) {
    if (whole) {
      scan_result result;
      if (read_whole(fd, path, window, guard, result)) {
        if (result.property_lines.size() < 2)
          return not_split(fd, result.lines.size(), std::move(result.property_lines));
        result.input = std::move(input);
        result.guard = guard;
        return result;
      }
    } else {
      window_search found = search_through_window(fd, path, window, guard.writer_open());
      bool agreed = true;
      if (found.properties < 2 && guard.writer_open()) {
        // Only two reads of the same bytes tell.
        rewind(fd, path);
        window_search again = search_through_window(fd, path, window, true);
        agreed = again.properties == 2 || again.digest == found.digest;
        if (again.properties == 2) found.properties = 2;
      }
      if (found.properties == 2) {
        // To be split: read whole, and that read checked, from here on.
        whole = true;
        restart(guard, fd, path);
        continue;
      }
      if (agreed && accepted(guard, path)) {
        property_set properties;
        if (found.properties == 1) properties.insert(found.first);
        return not_split(fd, found.lines, std::move(properties));
      }
    }
    // Written to while it was read: the bytes may be half old, half new.
    if (++failed == read_attempts)
      throw failure{failure::kind::input, 0, path, "The file kept changing while it was read"};
    restart(guard, fd, path);
  }
}

}  // namespace

scan_result scan(const std::string& path) {
  file_descriptor input(sys::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!input.valid()) cannot_read(path, errno);
  struct stat status;
  if (sys::fstat(input.get(), &status) != 0) cannot_read(path, errno);
  if (S_ISREG(status.st_mode)) return scan_regular(std::move(input), path, status);
  // A pipe is read whole at once, as it comes: it cannot be read again.
  scan_result result;
  input_buffer buffer(result.lines, result.property_lines);
  if (!buffer.reserve(read_size())) throw std::bad_alloc();
  read_to_end(input.get(), path, buffer);
  buffer.finish();
  return result;
}
