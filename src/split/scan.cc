#include "split/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "error.h"
#include "platform/platform.h"
#include "split/line_search.h"

void input_lines::free_deleter::operator()(char* p) const { std::free(p); }

std::string_view input_lines::iterator::operator*() const {
  auto* newline = static_cast<const char*>(std::memchr(at_, '\n', end_ - at_));
  return {at_, static_cast<std::size_t>(newline - at_)};
}

input_lines::iterator& input_lines::iterator::operator++() {
  at_ = static_cast<const char*>(std::memchr(at_, '\n', end_ - at_)) + 1;
  return *this;
}

namespace {

// The most data a buffer can hold: its padding must fit in a size_t too.
constexpr std::size_t largest_capacity = SIZE_MAX - search_padding;

// The reads of the window: small enough that the kernel's copy into it and
// the search right after stay in the processor's cache (reads of 256 KiB
// took three times as long as `wc -l` here, of 32 KiB half that).
constexpr std::size_t window_read_size = std::size_t{32} * 1024;

// How often a file that changes while it is read is read again.
constexpr int read_attempts = 4;

}  // namespace

// Fills the buffer of one input and searches it as it fills: every piece is
// searched right after it was read, while its bytes are still warm.
class input_reader {
 public:
  explicit input_reader(scan_result& result) : result_(result), lines_(result.lines) {}

  // Makes room for at least `capacity` bytes of data; false when memory is short.
  bool reserve(std::size_t capacity);
  // Makes the memory of the room present at once, in one call: the room
  // will be filled, and faulting it in page by page as the reads fill it
  // costs twice as long (on virtual machines most of all).
  void prefault();
  // Doubles the room, or takes all there can be; false when it cannot grow.
  bool grow();
  char* room() { return lines_.data_.get() + lines_.size_; }
  std::size_t room_size() const { return capacity_ - lines_.size_; }
  std::size_t capacity() const { return capacity_; }

  // `count` bytes were stored at room(): search them.
  void added(std::size_t count);
  // The input ended: the last line gets its '\n' and is searched.
  void finish();

 private:
  void take_properties();
  void clear_padding() { std::memset(room(), 0, search_padding); }

  scan_result& result_;
  input_lines& lines_;
  std::size_t capacity_ = 0;
  line_search search_;
};

bool input_reader::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  if (capacity > largest_capacity) return false;
  void* grown = std::realloc(lines_.data_.get(), capacity + search_padding);
  if (grown == nullptr) return false;
  (void)lines_.data_.release();
  lines_.data_.reset(static_cast<char*>(grown));
  capacity_ = capacity;
  clear_padding();
  return true;
}

void input_reader::prefault() { platform::prefault(room(), room_size()); }

bool input_reader::grow() {
  // Where size_t has 32 bits, doubling past 2 GiB would wrap.
  if (capacity_ >= largest_capacity) return false;
  return reserve(capacity_ > largest_capacity / 2 ? largest_capacity
                                                  : std::max<std::size_t>(2 * capacity_, 1));
}

void input_reader::added(std::size_t count) {
  search_.feed(room(), count);
  lines_.size_ += count;
  clear_padding();
  take_properties();
}

void input_reader::finish() {
  // The read that found the end had room to ask for a byte: this newline fits.
  if (lines_.size_ > 0 && lines_.data_.get()[lines_.size_ - 1] != '\n') {
    room()[0] = '\n';
    added(1);
  }
  search_.finish();
  take_properties();
  lines_.count_ = search_.lines();
  result_.line_count = search_.lines();
}

void input_reader::take_properties() {
  line_range line;
  // The whole input is in the buffer: its offsets are the input's.
  while (search_.next_property(line)) {
    result_.property_ranges.push_back(line);
    result_.property_lines.insert(line.index);
  }
}

namespace {

[[noreturn]] void cannot_read(const std::string& path, int error) {
  exit_with_error("Cannot read input file %s: %s", path.c_str(), error_text(error));
}

// One read, retried when interrupted; a failure is fatal.
std::size_t read_some(int fd, char* into, std::size_t size, const std::string& path) {
  for (;;) {
    ssize_t count = platform::read_file(fd, into, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) cannot_read(path, errno);
  }
}

// Searches a file through a window, stopping at its second property line;
// false when it has fewer. Such an input is never split, so reading it whole
// into memory would cost time and memory for nothing: `result` then gets its
// line count and property lines only. The window never grows, however long
// the lines.
bool has_two_properties(int fd, const std::string& path, std::size_t read_size,
                        scan_result& result) {
  read_size = std::min(read_size, window_read_size);
  std::vector<char> window(read_size + search_padding);
  line_search search;
  property_set found;
  line_range line;
  for (bool at_end = false; !at_end;) {
    std::size_t count = read_some(fd, window.data(), read_size, path);
    at_end = count == 0;
    if (at_end)
      search.finish();
    else
      search.feed(window.data(), count);
    while (search.next_property(line)) {
      if (!found.empty()) return true;
      found.insert(line.index);
    }
  }
  result.lines_kept = false;
  result.line_count = search.lines();
  result.property_lines = std::move(found);
  return false;
}

// The size a regular file claims, as a buffer size: one that no buffer can
// hold (past 4 GiB where size_t has 32 bits) is memory running short.
std::size_t expected_size(const struct stat& status) {
  if (status.st_size <= 0) return 0;  // the reads will tell
  if (static_cast<std::uintmax_t>(status.st_size) >= largest_capacity) throw std::bad_alloc();
  return static_cast<std::size_t>(status.st_size);
}

void read_all(int fd, const std::string& path, std::size_t expected, std::size_t read_size,
              input_reader& reader) {
  // One byte more than expected: room for a missing final '\n', and the
  // read that reports the end needs room to ask for something. A read never
  // asks for nothing, which would look like the end of the input.
  if (!reader.reserve(std::max(expected + 1, read_size))) throw std::bad_alloc();
  if (expected > 0) reader.prefault();
  for (;;) {
    if (reader.room_size() == 0 && !reader.grow()) throw std::bad_alloc();
    std::size_t count = read_some(fd, reader.room(), std::min(reader.room_size(), read_size), path);
    if (count == 0) break;
    reader.added(count);
  }
}

}  // namespace

bool same_identity(const struct stat& before, const struct stat& now) {
  auto same = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return before.st_dev == now.st_dev && before.st_ino == now.st_ino &&
         before.st_size == now.st_size &&
         same(platform::modified_time(before), platform::modified_time(now)) &&
         same(platform::changed_time(before), platform::changed_time(now));
}

scan_result scan(const std::string& path, std::size_t read_size) {
  // A read of nothing would look like the end of the input; one of more
  // than 1 GiB would only cost memory.
  read_size = std::clamp<std::size_t>(read_size, 1, std::size_t{1} << 30);
  file_descriptor input(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int fd = input.get();
  if (fd < 0) cannot_read(path, errno);
  struct stat status;
  if (fstat(fd, &status) != 0) cannot_read(path, errno);
  if (!S_ISREG(status.st_mode)) {
    // A pipe is read whole at once, as it comes.
    scan_result result;
    input_reader reader(result);
    read_all(fd, path, 0, read_size, reader);
    reader.finish();
    return result;
  }

  // A regular file is read twice: first through a window, and whole only
  // when it is to be split.
  int lease = platform::take_read_lease(fd);
  scan_result result;
  if (!has_two_properties(fd, path, read_size, result)) return result;
  for (int attempt = 1;; ++attempt) {
    scan_result whole;
    if (lseek(fd, 0, SEEK_SET) != 0 || fstat(fd, &whole.read_status) != 0)
      cannot_read(path, errno);
    input_reader reader(whole);
    read_all(fd, path, expected_size(whole.read_status), read_size, reader);
    reader.finish();
    if (fstat(fd, &status) != 0) cannot_read(path, errno);
    bool lease_held = lease == 0 && !platform::read_lease_broken();
    if (same_identity(whole.read_status, status) && (lease != 0 || lease_held)) {
      whole.input_guard = lease_held       ? scan_result::guard::lease
                          : lease == EAGAIN ? scan_result::guard::none
                                            : scan_result::guard::identity;
      whole.input = std::move(input);
      return whole;
    }
    // Written to while it was read: the bytes may be half old, half new.
    if (attempt == read_attempts)
      exit_with_error("Cannot read input file %s: %s", path.c_str(),
                      "The file kept changing while it was read");
    if (lease == 0) lease = platform::take_read_lease(fd);
  }
}

scan_result scan_text(std::string_view bytes) {
  scan_result result;
  input_reader reader(result);
  if (bytes.size() >= largest_capacity || !reader.reserve(bytes.size() + 1)) throw std::bad_alloc();
  if (!bytes.empty()) {
    std::memcpy(reader.room(), bytes.data(), bytes.size());
    reader.added(bytes.size());
  }
  reader.finish();
  return result;
}
