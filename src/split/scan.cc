#include "split/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "error.h"

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

// Readable bytes kept past the data, so that the block search may load a
// whole block at the end of it.
constexpr std::size_t padding = 64;

// Large enough to make the system call cost vanish, small enough that the
// bytes are still in cache when they are searched right after the read.
constexpr std::size_t read_size = std::size_t{256} * 1024;

// Finds the first "bad" that starts in text[at, limit) and adds the newlines
// before it to `newlines`; returns its offset, or `limit` when there is none.
// The bytes up to `padding` past `limit` must be readable. A "bad" may run
// past `limit` only where the caller wants it found: callers end at a '\n',
// or make sure the two bytes past `limit` cannot complete one.
std::size_t find_bad(const char* text, std::size_t at, std::size_t limit, std::uint64_t& newlines) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: one compare for '\n', three for "bad" (the
  // second and third letters from loads one and two bytes further on).
  // Newlines are summed in byte counters, folded at least every 255 blocks.
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i b = _mm_set1_epi8('b'), a = _mm_set1_epi8('a'), d = _mm_set1_epi8('d');
  auto load = [text](std::size_t offset) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + offset));
  };
  auto bad_mask = [&](std::size_t offset, __m128i first) {
    __m128i found = _mm_and_si128(_mm_cmpeq_epi8(first, b), _mm_cmpeq_epi8(load(offset + 1), a));
    found = _mm_and_si128(found, _mm_cmpeq_epi8(load(offset + 2), d));
    return static_cast<unsigned>(_mm_movemask_epi8(found));
  };
  while (at < limit) {
    std::size_t blocks_end = at + std::min<std::size_t>((limit - at) / 16, 255) * 16;
    __m128i counts = _mm_setzero_si128();
    unsigned hits = 0;
    for (; at < blocks_end; at += 16) {
      __m128i block = load(at);
      hits = bad_mask(at, block);
      if (hits != 0) break;
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(block, newline));
    }
    __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    newlines += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    if (hits == 0 && at < limit && limit - at < 16) {
      // The last, partial block: bytes past `limit` may be anything.
      __m128i block = load(at);
      unsigned keep = (1u << (limit - at)) - 1;
      hits = bad_mask(at, block) & keep;
      if (hits == 0) {
        auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline)));
        newlines += static_cast<unsigned>(__builtin_popcount(found & keep));
        return limit;
      }
    }
    if (hits != 0) {
      std::size_t found = at + static_cast<std::size_t>(__builtin_ctz(hits));
      newlines += static_cast<std::uint64_t>(std::count(text + at, text + found, '\n'));
      return found;
    }
  }
  return limit;
#else
  auto* found = static_cast<const char*>(memmem(text + at, limit - at, "bad", 3));
  std::size_t stop = found != nullptr ? found - text : limit;
  newlines += static_cast<std::uint64_t>(std::count(text + at, text + stop, '\n'));
  return stop;
#endif
}

}  // namespace

// Fills the buffer of one input and searches it as it fills: every complete
// line is searched right after it was read, while its bytes are still warm.
class input_reader {
 public:
  explicit input_reader(scan_result& result) : result_(result), lines_(result.lines) {}

  // Makes room for at least `capacity` bytes of data; false when memory is short.
  bool reserve(std::size_t capacity);
  char* room() { return lines_.data_.get() + lines_.size_; }
  std::size_t room_size() const { return capacity_ - lines_.size_; }
  std::size_t capacity() const { return capacity_; }

  // `count` bytes were stored at room(): search the lines they complete.
  void added(std::size_t count);
  // The input ended: the last line gets its '\n' and is searched.
  void finish();

 private:
  void search(std::size_t limit);
  std::size_t take_property(std::size_t line_floor, std::size_t at, std::size_t limit);
  void clear_padding() { std::memset(room(), 0, padding); }

  scan_result& result_;
  input_lines& lines_;
  std::size_t capacity_ = 0;
  std::size_t searched_ = 0;  // bytes before this are searched; a line start
};

bool input_reader::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  if (capacity > SIZE_MAX - padding) return false;
  void* grown = std::realloc(lines_.data_.get(), capacity + padding);
  if (grown == nullptr) return false;
  (void)lines_.data_.release();
  lines_.data_.reset(static_cast<char*>(grown));
  capacity_ = capacity;
  clear_padding();
  return true;
}

void input_reader::added(std::size_t count) {
  char* fresh = room();
  lines_.size_ += count;
  clear_padding();
  auto* last_newline = static_cast<const char*>(memrchr(fresh, '\n', count));
  if (last_newline != nullptr) search(last_newline + 1 - lines_.data_.get());
}

void input_reader::finish() {
  // reserve() always leaves one byte of room for this newline.
  if (lines_.size_ > 0 && lines_.data_.get()[lines_.size_ - 1] != '\n') {
    lines_.data_.get()[lines_.size_++] = '\n';
    clear_padding();
  }
  search(lines_.size_);
}

// Records the property line holding the "bad" at `at`; `line_floor` is a
// line start before it. Every line before it is counted already. Returns
// the offset after the line.
std::size_t input_reader::take_property(std::size_t line_floor, std::size_t at, std::size_t limit) {
  const char* text = lines_.data_.get();
  auto* before = static_cast<const char*>(memrchr(text + line_floor, '\n', at - line_floor));
  std::size_t begin = before != nullptr ? before + 1 - text : line_floor;
  auto* newline = static_cast<const char*>(std::memchr(text + at, '\n', limit - at));
  std::size_t end = newline + 1 - text;  // `limit` follows a '\n', so there is one
  result_.property_ranges.push_back({lines_.count_, begin, end});
  result_.property_lines.insert(lines_.count_);
  ++lines_.count_;
  return end;
}

// Counts the lines in [searched_, limit) and takes each property line there.
void input_reader::search(std::size_t limit) {
  const char* text = lines_.data_.get();
  std::size_t at = searched_;
  while (at < limit) {
    std::size_t found = find_bad(text, at, limit, lines_.count_);
    if (found == limit) break;
    at = take_property(at, found, limit);  // `at` is always a line start
  }
  searched_ = limit;
}

namespace {

[[noreturn]] void cannot_read(const std::string& path, int error) {
  exit_with_error("Cannot read input file %s: %s", path.c_str(), std::strerror(error));
}

// One read, retried when interrupted; a failure is fatal.
std::size_t read_some(int fd, char* into, std::size_t size, const std::string& path) {
  for (;;) {
    ssize_t count = read(fd, into, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) cannot_read(path, errno);
  }
}

// Searches a file through a small window, stopping at its second property
// line; false when it has fewer. Such an input is never split, so reading it
// whole into memory would cost time and memory for nothing. The window never
// grows: of a line longer than a read, only a flag and two bytes are kept.
bool has_two_properties(int fd, const std::string& path, property_set& found) {
  // The last bytes of an unfinished line (at most two: a "bad" may straddle
  // two reads), then what was read.
  std::vector<char> window(2 + read_size + padding);
  std::size_t filled = 0;
  bool line_has_bad = false;  // the unfinished line holds "bad" in what was searched
  std::uint64_t lines = 0;
  auto take_property = [&] {  // true when it is the second
    if (!found.empty()) return true;
    found.insert(lines++);
    return false;
  };
  for (bool at_end = false; !at_end;) {
    std::size_t count = read_some(fd, window.data() + filled, read_size, path);
    filled += count;
    at_end = count == 0;
    if (at_end && filled > 0) window[filled++] = '\n';  // the last line had none
    const char* text = window.data();
    std::size_t at = 0;
    if (line_has_bad) {
      // The line that was unfinished is a property line once it ends.
      auto* newline = static_cast<const char*>(std::memchr(text, '\n', filled));
      if (newline != nullptr) {
        if (take_property()) return true;
        at = newline + 1 - text;
        line_has_bad = false;
      }
    }
    auto* last_newline = static_cast<const char*>(memrchr(text + at, '\n', filled - at));
    std::size_t limit = last_newline != nullptr ? last_newline + 1 - text : at;
    while (at < limit) {
      std::size_t bad = find_bad(text, at, limit, lines);
      if (bad == limit) break;
      if (take_property()) return true;
      at = static_cast<const char*>(std::memchr(text + bad, '\n', limit - bad)) + 1 - text;
    }
    std::size_t unfinished = filled - limit;
    if (!line_has_bad) {
      window[filled] = window[filled + 1] = '\0';  // so that no "bad" runs past the bytes read
      std::uint64_t none = 0;  // an unfinished line holds no newline
      line_has_bad = find_bad(text, limit, filled, none) != filled;
    }
    std::size_t kept = std::min<std::size_t>(unfinished, 2);
    std::memmove(window.data(), text + filled - kept, kept);
    filled = kept;
  }
  return false;
}

void read_all(int fd, const std::string& path, std::size_t expected, input_reader& reader) {
  // One byte more than expected: room for a missing final '\n', and the
  // read that reports the end needs room to ask for something.
  if (!reader.reserve(std::max(expected + 1, read_size))) throw std::bad_alloc();
  for (;;) {
    if (reader.room_size() == 0 && !reader.reserve(reader.capacity() * 2)) throw std::bad_alloc();
    std::size_t count = read_some(fd, reader.room(), std::min(reader.room_size(), read_size), path);
    if (count == 0) break;
    reader.added(count);
  }
}

}  // namespace

scan_result scan(const std::string& path) {
  scan_result result;
  file_descriptor input(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int fd = input.get();
  if (fd < 0) cannot_read(path, errno);
  struct stat& status = result.before_read;
  if (fstat(fd, &status) != 0) cannot_read(path, errno);
  // A regular file can be read twice: first through a window, and whole
  // only when it is to be split. A pipe is read whole at once.
  bool regular = S_ISREG(status.st_mode);
  property_set found;
  if (regular && !has_two_properties(fd, path, found)) {
    result.property_lines = std::move(found);
  } else {
    if (regular && lseek(fd, 0, SEEK_SET) != 0) cannot_read(path, errno);
    input_reader reader(result);
    read_all(fd, path, regular ? static_cast<std::size_t>(status.st_size) : 0, reader);
    reader.finish();
    if (regular) {
      if (fstat(fd, &result.after_read) != 0) cannot_read(path, errno);
      result.input = std::move(input);
    }
  }
  return result;
}

scan_result scan_text(std::string_view bytes) {
  scan_result result;
  input_reader reader(result);
  if (!reader.reserve(bytes.size() + 1)) throw std::bad_alloc();
  if (!bytes.empty()) {
    std::memcpy(reader.room(), bytes.data(), bytes.size());
    reader.added(bytes.size());
  }
  reader.finish();
  return result;
}
