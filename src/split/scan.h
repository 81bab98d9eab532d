#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split/file_descriptor.h"
#include "split/line_search.h"
#include "split/property_set.h"

// All lines of one input, as one buffer holding the input's bytes. The text
// always ends with '\n' unless it is empty: a last line without one gets it
// here, which changes no line and lets every line be written back as stored.
class input_lines {
 public:
  std::string_view text() const { return {data_.get(), size_}; }
  std::uint64_t size() const { return count_; }  // the number of lines
  bool empty() const { return count_ == 0; }

  // Yields the lines in file order, without their '\n'.
  class iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    std::string_view operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    friend class input_lines;
    iterator(const char* at, const char* end) : at_(at), end_(end) {}
    const char* at_ = nullptr;
    const char* end_ = nullptr;
  };
  iterator begin() const { return {data_.get(), data_.get() + size_}; }
  iterator end() const { return {data_.get() + size_, data_.get() + size_}; }

 private:
  friend class input_reader;
  struct free_deleter {
    void operator()(char* p) const;
  };
  std::unique_ptr<char, free_deleter> data_;
  std::size_t size_ = 0;
  std::uint64_t count_ = 0;
};

struct scan_result {
  // Whether `lines` holds the input. A regular file with fewer than two
  // property lines is never split, so it is only searched, not kept: then
  // `lines` and `property_ranges` are empty whatever the file holds, and
  // line_count and property_lines tell what it holds.
  bool lines_kept = true;
  std::uint64_t line_count = 0;  // the input's lines, kept or not
  input_lines lines;
  property_set property_lines;           // numbering order of the outputs
  std::vector<line_range> property_ranges;  // the same lines, in file order

  // A regular file that is split stays open, so that outputs may share its
  // blocks instead of copying them, as long as it still holds the bytes
  // read. How that is known:
  enum class guard {
    lease,     // a read lease, held since before the read: nobody writes
    identity,  // no lease to be had: its status is as it was during the read
    none,      // someone had it open for writing: never shared
  };
  file_descriptor input;
  guard input_guard = guard::none;
  struct stat read_status {};  // right after the read (with `identity`, the same as before)
};

// Whether a file whose status was `before` is unchanged in `now`: the same
// file, of the same size, neither modified nor changed since. A change that
// moves neither time (a store through a shared mapping, or one within the
// same tick of a coarse clock) is not seen: a read lease sees those.
bool same_identity(const struct stat& before, const struct stat& now);

// The bytes asked for by one read: large enough to make the system call
// cost vanish, small enough that the bytes are still in cache when they are
// searched right after the read.
constexpr std::size_t default_read_size = std::size_t{256} * 1024;

// Reads the file at `path` completely and finds its property lines: those
// holding the bytes "bad" anywhere. Lines end at '\n' only. The file may be a
// pipe. A small regular file (four window reads at most) is read once, into
// a buffer of its size; a larger one is first searched through a window of
// `read_size` bytes (32 KiB at the most), and read whole only when it has
// two property lines or more.
// An input that cannot be opened or read is a fatal error: splitting a
// model that was read only in part would lose data silently. So is one that
// keeps changing while it is read: every read of a regular file, through
// the window too, is kept only when it holds one version of the file (see
// scan.cc), and done again otherwise, a few times at most. Memory running
// short, or an input that cannot fit in the memory the process can be
// given, throws std::bad_alloc. Tests and fuzzing pass small read sizes to
// reach the edges of the reads (1 byte to 1 GiB; others are taken as the
// nearest).
scan_result scan(const std::string& path, std::size_t read_size = default_read_size);

// The same over bytes already in memory.
scan_result scan_text(std::string_view bytes);
