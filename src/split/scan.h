#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split/file_descriptor.h"

// The numbering order of an input's properties lives in this set: a chained
// hash table of line indices (the index is its own hash, at most one element
// per bucket on average) whose iteration order users' scripts depend on.
// Iteration runs over one sequence of all elements in which each bucket's
// elements stand together:
//   - the bucket count goes 0, 2, then the smallest prime >= 2 * old + 1,
//     growing before an insertion that would make size() exceed it;
//   - a new element goes to the front of the sequence when its bucket is
//     empty, else in front of the first element of its bucket;
//   - on growth the sequence is walked from the front: an element stays put
//     when its bucket is new or that of the element left standing before it,
//     and otherwise moves in front of the first element of its bucket.
class property_set {
 public:
  // Adds `index`; false when it was already there.
  bool insert(std::uint64_t index);
  bool contains(std::uint64_t index) const;
  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  std::size_t bucket_count() const { return before_.size(); }

  class iterator {
   public:
    using value_type = std::uint64_t;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    std::uint64_t operator*() const { return set_->values_[node_]; }
    iterator& operator++() {
      node_ = set_->next_[node_];
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const { return node_ == other.node_; }

   private:
    friend class property_set;
    iterator(const property_set* set, std::uint32_t node) : set_(set), node_(node) {}
    const property_set* set_ = nullptr;
    std::uint32_t node_ = 0;
  };
  iterator begin() const { return iterator(this, first_); }
  iterator end() const { return iterator(this, none); }

 private:
  // Nodes are numbered in insertion order and linked through next_.
  static constexpr std::uint32_t none = UINT32_MAX;      // no node / empty bucket
  static constexpr std::uint32_t front = UINT32_MAX - 1;  // "before the first node"

  std::size_t bucket_of(std::uint64_t value) const { return value % before_.size(); }
  std::uint32_t after(std::uint32_t node) const { return node == front ? first_ : next_[node]; }
  void link_after(std::uint32_t place, std::uint32_t node);
  void grow();

  std::vector<std::uint64_t> values_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> before_;  // per bucket: the node before its first, or none
  std::uint32_t first_ = none;
};

// Where one property line stands in the input text.
struct line_range {
  std::uint64_t index;  // 0-based line number
  std::size_t begin;    // offset of its first byte
  std::size_t end;      // one past its '\n'
};

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
  input_lines lines;
  property_set property_lines;           // numbering order of the outputs
  std::vector<line_range> property_ranges;  // the same lines, in file order

  // A regular file that is split stays open, so that outputs may share its
  // blocks instead of copying them; its status before and after the read
  // tells whether the file still holds the bytes read.
  file_descriptor input;
  struct stat before_read {};
  struct stat after_read {};
};

// Reads the file at `path` completely and finds its property lines: those
// holding the bytes "bad" anywhere. Lines end at '\n' only. The file may be a
// pipe. A regular file with fewer than two property lines, which is never
// split, is only searched, not kept: its result holds just property_lines.
// An input that cannot be opened or read is a fatal error: splitting a
// model that was read only in part would lose data silently. Memory running
// short throws std::bad_alloc.
scan_result scan(const std::string& path);

// The same over bytes already in memory.
scan_result scan_text(std::string_view bytes);
