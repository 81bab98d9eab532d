#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "split/line_search.h"

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
// Each element is a property line, kept with where its bytes stand; by its
// ordinal, the order of insertion, it is found at once (the scan inserts in
// file order).
class property_set {
 public:
  // Adds the line `line`; false when its index was there already.
  bool insert(const line_range& line);
  bool contains(std::uint64_t index) const;
  std::size_t size() const { return values_.size(); }
  // The line inserted `ordinal`-th, 0 first.
  line_range line(std::size_t ordinal) const {
    return {values_[ordinal], places_[ordinal].begin, places_[ordinal].end};
  }

  class iterator {
   public:
    using value_type = std::uint64_t;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    std::uint64_t operator*() const { return set_->values_[node_]; }  // the line index
    std::size_t ordinal() const { return node_; }
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

  struct place {
    std::size_t begin, end;
  };
  std::vector<std::uint64_t> values_;  // line indices, apart: the hash reads them alone
  std::vector<place> places_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> before_;  // per bucket: the node before its first, or none
  std::uint32_t first_ = none;
};
