#include "split/input_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

void input_lines::free_deleter::operator()(char* p) const { std::free(p); }

namespace {

// The memory this process can be given, asked once per run.
std::uint64_t memory_bound() {
  static const std::uint64_t bound = platform::memory_limit();
  return bound;
}

}  // namespace

bool input_buffer::reserve(std::size_t capacity) {
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

bool input_buffer::grow() {
  // Where size_t has 32 bits, doubling past 2 GiB would wrap.
  if (capacity_ >= largest_capacity) return false;
  return reserve(capacity_ > largest_capacity / 2 ? largest_capacity
                                                  : std::max<std::size_t>(2 * capacity_, 1));
}

void input_buffer::prefault() { platform::prefault(room(), room_size()); }

void input_buffer::clear_padding() { std::memset(room(), 0, search_padding); }

void input_buffer::added(std::size_t count) {
  search_.feed(room(), count);
  lines_.size_ += count;
  clear_padding();
  take_properties();
}

void input_buffer::finish() {
  // The read that found the end had room to ask for a byte: this newline fits.
  if (lines_.size_ > 0 && lines_.data_.get()[lines_.size_ - 1] != '\n') {
    room()[0] = '\n';
    added(1);
  }
  search_.finish();
  take_properties();
  lines_.count_ = search_.lines();
}

void input_buffer::take_properties() {
  line_range line;
  // The whole input is in the buffer: its offsets are the input's.
  while (search_.next_property(line)) properties_.insert(line);
}
