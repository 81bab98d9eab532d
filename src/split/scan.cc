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

#include "failure.h"
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

// A regular file of at most this many window reads (128 KiB) is read once,
// whole, even when it turns out to have fewer than two property lines: a
// search through the window first would read it twice when it is split,
// and holding it costs a few pages. Larger, holding a file that is not split
// costs more than reading it through the window (fresh memory is faulted
// in page by page, at several microseconds a page on a virtual machine).
constexpr std::size_t read_once_windows = 4;

// Below this, a buffer is mostly memory that the allocator had handed out
// before (the last input's) and that is present already, or a few pages:
// asking for it to be faulted in costs more than the faults it saves.
constexpr std::size_t prefault_at_least = std::size_t{256} * 1024;

// How often a file that changes while it is read is read again.
constexpr int read_attempts = 4;

// The memory this process can be given, asked once per run.
std::uint64_t memory_bound() {
  static const std::uint64_t bound = platform::memory_limit();
  return bound;
}

}  // namespace

// Fills the buffer of one input and searches it as it fills: every piece is
// searched right after it was read, while its bytes are still warm.
class input_reader {
 public:
  explicit input_reader(scan_result& result) : result_(result), lines_(result.lines) {}

  // Makes room for at least `capacity` bytes of data; false when memory is
  // short, or would be: when the process cannot be given that much.
  bool reserve(std::size_t capacity);
  // Makes the memory of the room present at once, in one call: the room
  // will be filled, and faulting it in page by page as the reads fill it
  // costs twice as long (on virtual machines most of all).
  void prefault();
  // Doubles the room, or takes all there can be; false when it cannot grow.
  bool grow();
  char* room() { return lines_.data_.get() + lines_.size_; }
  std::size_t room_size() const { return capacity_ - lines_.size_; }

  // `count` bytes were stored at room(): search them.
  void added(std::size_t count);
  // The bytes added so far.
  std::string_view bytes() const { return {lines_.data_.get(), lines_.size_}; }
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
  // Where realloc moves the data, the old buffer and the new one are held
  // at once. An input that needs more than the process can be given fails
  // here, before the system has to kill anything: an endless one (a pipe,
  // /dev/zero) included.
  std::uint64_t held = std::uint64_t{capacity_} + capacity + 2 * search_padding;
  if (held > memory_bound()) return false;
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
  raise_failure(failure::kind::input, error, path);
}

// One read, retried when interrupted; a failure is fatal.
std::size_t read_some(int fd, char* into, std::size_t size, const std::string& path) {
  for (;;) {
    ssize_t count = platform::read_file(fd, into, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) cannot_read(path, errno);
  }
}

void rewind(int fd, const std::string& path) {
  if (lseek(fd, 0, SEEK_SET) != 0) cannot_read(path, errno);
}

// Reads the rest of the input into `reader`, growing its buffer as needed.
void read_to_end(int fd, const std::string& path, std::size_t read_size, input_reader& reader,
                 std::size_t expected = 0) {
  for (;;) {
    if (reader.room_size() == 0 && !reader.grow()) throw std::bad_alloc();
    std::size_t asked = std::min(reader.room_size(), read_size);
    std::size_t count = read_some(fd, reader.room(), asked, path);
    if (count == 0) return;
    reader.added(count);
    // A read that stops short at the size the file had is at its end: the
    // read that would say so is spared. Whether the file kept that size
    // (and its bytes) is what the read's check tells afterwards.
    if (count < asked && expected > 0 && reader.bytes().size() == expected) return;
  }
}

// Whether the file, read again from its start a window at a time, holds
// `bytes` and ends there.
bool reads_the_same(int fd, const std::string& path, std::string_view bytes, std::size_t window) {
  rewind(fd, path);
  std::vector<char> piece(window);
  for (std::size_t at = 0;;) {
    std::size_t count = read_some(fd, piece.data(), piece.size(), path);
    if (count == 0) return at == bytes.size();
    if (count > bytes.size() - at || std::memcmp(piece.data(), bytes.data() + at, count) != 0)
      return false;
    at += count;
  }
}

// What a search of a file through the window found. Two searches that
// found the same (in every field) read the same bytes, but for a change
// that leaves the checksum as it was.
struct window_search {
  bool two = false;  // a second property line: the search stopped there
  bool one = false;  // one property line, `property`
  std::uint64_t property = 0;
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  std::uint64_t checksum = 0;  // only when asked for
  bool operator==(const window_search&) const = default;
};

// FNV-1a over the bytes read: cheap, and any change of one byte changes it.
std::uint64_t checksum_of(std::uint64_t sum, const char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    sum = (sum ^ static_cast<unsigned char>(bytes[i])) * 0x100000001b3;
  return sum;
}

// Searches a file from its start through a window, stopping at its second
// property line. Such an input is never split when it has fewer, so
// reading it whole into memory would cost time and memory for nothing. The
// window never grows, however long the lines.
window_search search_through_window(int fd, const std::string& path, std::size_t window,
                                    bool with_checksum) {
  std::vector<char> buffer(window + search_padding);
  line_search search;
  line_range line;
  window_search found;
  if (with_checksum) found.checksum = 0xcbf29ce484222325;
  for (bool at_end = false; !at_end;) {
    std::size_t count = read_some(fd, buffer.data(), window, path);
    at_end = count == 0;
    if (at_end) {
      search.finish();
    } else {
      search.feed(buffer.data(), count);
      found.bytes += count;
      if (with_checksum) found.checksum = checksum_of(found.checksum, buffer.data(), count);
    }
    while (search.next_property(line)) {
      if (found.one) {
        found.two = true;
        return found;
      }
      found.one = true;
      found.property = line.index;
    }
  }
  found.lines = search.lines();
  return found;
}

// The size a regular file claims, as a buffer size: one that no buffer can
// hold (past 4 GiB where size_t has 32 bits) is memory running short.
std::size_t expected_size(const struct stat& status) {
  if (status.st_size <= 0) return 0;  // the reads will tell
  if (static_cast<std::uintmax_t>(status.st_size) >= largest_capacity) throw std::bad_alloc();
  return static_cast<std::size_t>(status.st_size);
}

// Tells whether a read of a regular file holds one version of it, the
// same rule for every read:
// - under a read lease held from before the read to after it: nobody had
//   the file open for writing meanwhile;
// - when no lease can be had for another reason than a writer (no leases
//   here, not the file's owner): the file's status did not move;
// - when a writer holds the file open already (a writable shared mapping
//   does), its status proves nothing, as a store into a page stored into
//   before moves no time: only two reads of the same bytes are kept.
class read_check {
 public:
  read_check(int fd, const std::string& path, const struct stat& status)
      : fd_(fd), path_(path), lease_(platform::take_read_lease(fd)), before_(status) {}

  // Whether the bytes of each read must be read twice and agree.
  bool writer_open() const { return lease_ == EAGAIN; }

  // Before another read from the start: a lease that was broken or
  // refused is asked for again, then the status taken.
  void again() {
    if ((lease_ == 0 && platform::read_lease_broken()) || lease_ == EAGAIN)
      lease_ = platform::take_read_lease(fd_);
    rewind(fd_, path_);
    if (fstat(fd_, &before_) != 0) cannot_read(path_, errno);
  }
  const struct stat& before() const { return before_; }

  // After the read (and, where a writer has the file open, its bytes read
  // again and found the same): whether it holds one version of the file.
  // `after` gets the status now.
  bool accepted(struct stat& after) const {
    if (fstat(fd_, &after) != 0) cannot_read(path_, errno);
    if (lease_ == 0) return !platform::read_lease_broken();
    return writer_open() || same_identity(before_, after);
  }

  scan_result::guard guard() const {
    return lease_ == 0 ? scan_result::guard::lease
           : writer_open() ? scan_result::guard::none
                           : scan_result::guard::identity;
  }

 private:
  const int fd_;
  const std::string& path_;
  int lease_;
  struct stat before_;
};

// What is kept of the file open as `fd` when it has fewer than two
// property lines: what it holds.
scan_result counted(int fd, std::uint64_t lines, const property_set& properties) {
  // The file is closed: no lease is needed, nor kept.
  platform::drop_read_lease(fd);
  scan_result result;
  result.lines_kept = false;
  result.line_count = lines;
  result.property_lines = properties;
  return result;
}

// Reads the whole file, from where it stands, into `whole`; true when the
// read holds one version of the file.
bool read_whole(int fd, const std::string& path, std::size_t read_size, std::size_t window,
                const read_check& check, scan_result& whole) {
  input_reader reader(whole);
  std::size_t expected = expected_size(check.before());
  // Sized to the file, and one byte more: room for a missing final '\n',
  // and the read that reports the end needs room to ask for something. A
  // read never asks for nothing, which would look like the end of the input.
  if (!reader.reserve(expected > 0 ? expected + 1 : window)) throw std::bad_alloc();
  if (expected >= prefault_at_least) reader.prefault();
  read_to_end(fd, path, read_size, reader, expected);
  if (check.writer_open() && !reads_the_same(fd, path, reader.bytes(), window)) return false;
  reader.finish();
  return check.accepted(whole.read_status);
}

// A regular file, open as `input`, whose status was `status`.
scan_result scan_regular(file_descriptor input, const std::string& path, std::size_t read_size,
                         const struct stat& status) {
  const int fd = input.get();
  const std::size_t window = std::min(read_size, window_read_size);
  read_check check(fd, path, status);
  bool whole = static_cast<std::uintmax_t>(std::max<off_t>(status.st_size, 0)) <=
               std::uintmax_t{window} * read_once_windows;
  for (int failed = 0;;) {
    if (whole) {
      scan_result result;
      if (read_whole(fd, path, read_size, window, check, result)) {
        if (result.property_lines.size() < 2)
          return counted(fd, result.line_count, result.property_lines);
        result.input_guard = check.guard();
        result.input = std::move(input);
        return result;
      }
    } else {
      window_search found = search_through_window(fd, path, window, check.writer_open());
      bool agreed = true;
      if (!found.two && check.writer_open()) {
        rewind(fd, path);
        window_search again = search_through_window(fd, path, window, true);
        agreed = again.two || again == found;
        found.two = again.two;
      }
      if (found.two) {
        // To be split: read whole, and that read checked, from here on.
        whole = true;
        check.again();
        continue;
      }
      struct stat after;
      if (agreed && check.accepted(after)) {
        property_set properties;
        if (found.one) properties.insert(found.property);
        return counted(fd, found.lines, properties);
      }
    }
    // Written to while it was read: the bytes may be half old, half new.
    if (++failed == read_attempts)
      throw failure{failure::kind::input, 0, path, "The file kept changing while it was read"};
    check.again();
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
  if (!input.valid()) cannot_read(path, errno);
  struct stat status;
  if (fstat(input.get(), &status) != 0) cannot_read(path, errno);
  if (S_ISREG(status.st_mode)) return scan_regular(std::move(input), path, read_size, status);
  // A pipe is read whole at once, as it comes: it cannot be read again.
  scan_result result;
  input_reader reader(result);
  if (!reader.reserve(read_size)) throw std::bad_alloc();
  read_to_end(input.get(), path, read_size, reader);
  reader.finish();
  return result;
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
