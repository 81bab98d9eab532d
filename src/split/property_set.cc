#include "split/property_set.h"

#include <new>

namespace {

bool is_prime(std::size_t n) {
  if (n < 2) return false;
  for (std::size_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

// 0 -> 2 -> 5 -> 11 -> 23 -> 47 -> 97 -> 197 -> 397 -> ...
std::size_t next_bucket_count(std::size_t count) {
  if (count == 0) return 2;
  std::size_t next = 2 * count + 1;
  while (!is_prime(next)) ++next;
  return next;
}

}  // namespace

bool property_set::contains(std::uint64_t value) const {
  if (before_.empty()) return false;
  std::size_t bucket = bucket_of(value);
  std::uint32_t place = before_[bucket];
  if (place == none) return false;
  for (std::uint32_t node = after(place); node != none && bucket_of(values_[node]) == bucket;
       node = next_[node])
    if (values_[node] == value) return true;
  return false;
}

void property_set::link_after(std::uint32_t place, std::uint32_t node) {
  if (place == front) {
    next_[node] = first_;
    first_ = node;
  } else {
    next_[node] = next_[place];
    next_[place] = node;
  }
}

bool property_set::insert(const line_range& line) {
  const std::uint64_t value = line.index;
  if (contains(value)) return false;
  if (values_.size() >= front) throw std::bad_alloc();  // node numbers run out
  if (values_.size() + 1 > before_.size()) grow();

  auto node = static_cast<std::uint32_t>(values_.size());
  values_.push_back(value);
  places_.push_back({line.begin, line.end});
  next_.push_back(none);
  std::size_t bucket = bucket_of(value);
  if (before_[bucket] != none) {
    link_after(before_[bucket], node);  // in front of its bucket's first element
    return true;
  }
  // A new bucket starts the sequence; the bucket that started it before is
  // now preceded by this node.
  if (first_ != none) before_[bucket_of(values_[first_])] = node;
  link_after(front, node);
  before_[bucket] = front;
  return true;
}

void property_set::grow() {
  before_.assign(next_bucket_count(before_.size()), none);
  std::uint32_t node = first_;
  first_ = none;
  std::uint32_t tail = front;  // the last element left standing
  std::size_t tail_bucket = 0;
  while (node != none) {
    std::uint32_t following = next_[node];
    std::size_t bucket = bucket_of(values_[node]);
    if (before_[bucket] == none || (tail != front && bucket == tail_bucket)) {
      if (before_[bucket] == none) before_[bucket] = tail;
      next_[node] = none;  // appended: nothing follows it yet
      if (tail == front)
        first_ = node;
      else
        next_[tail] = node;
      tail = node;
      tail_bucket = bucket;
    } else {
      link_after(before_[bucket], node);
    }
    node = following;
  }
}
