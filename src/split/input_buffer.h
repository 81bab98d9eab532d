#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "split/line_search.h"
#include "split/property_set.h"

// The lines of one input: its bytes, held in one buffer, and their count.
// An input that is only searched, never split, holds the count alone. The
// text ends with '\n' unless it is empty: a last line without one gets it
// here, which changes no line and lets every line be written back as stored.
class input_lines {
 public:
  input_lines() = default;
  explicit input_lines(std::uint64_t count) : count_(count) {}
  std::string_view text() const { return {data_.get(), size_}; }
  std::uint64_t size() const { return count_; }  // the number of lines

 private:
  friend class input_buffer;
  struct free_deleter {
    void operator()(char* p) const;
  };
  std::unique_ptr<char, free_deleter> data_;
  std::size_t size_ = 0;
  std::uint64_t count_ = 0;
};

// Fills the lines of one input and searches them as they come, each piece
// right after it was stored, while its bytes are still warm.
//
//   input_buffer buffer(lines, properties);
//   buffer.reserve(n);                       // and grow() when room_size() is 0
//   ...store up to room_size() bytes at room(), then buffer.added(count);
//   buffer.finish();
class input_buffer {
 public:
  // The most data a buffer can hold: its padding must fit in a size_t too.
  static constexpr std::size_t largest_capacity = SIZE_MAX - search_padding;

  // Fills `lines`, and `properties` with the property lines found.
  input_buffer(input_lines& lines, property_set& properties)
      : lines_(lines), properties_(properties) {}

  // Makes room for at least `capacity` bytes of data; false when memory is
  // short, or would be: when the process cannot be given that much.
  bool reserve(std::size_t capacity);
  // Doubles the room, or takes all there can be; false when it cannot grow.
  bool grow();
  // Has the memory of the room present at once, in one call, rather than a
  // fault per page as the reads fill it.
  void prefault();
  char* room() { return lines_.data_.get() + lines_.size_; }
  std::size_t room_size() const { return capacity_ - lines_.size_; }

  // `count` bytes were stored at room(): searches them.
  void added(std::size_t count);
  std::string_view bytes() const { return lines_.text(); }
  // The input ended: the last line gets its '\n' and is searched.
  void finish();

 private:
  void take_properties();
  void clear_padding();

  input_lines& lines_;
  property_set& properties_;
  std::size_t capacity_ = 0;
  line_search search_;
};
