#include "split/output_layout.h"

output_layout::output_layout(const scan_result& scanned)
    : text_(scanned.lines.text()), properties_(scanned.property_lines) {
  shared_before_.reserve(properties_.size());
  std::size_t at = 0;
  for (std::size_t ordinal = 0; ordinal < properties_.size(); ++ordinal) {
    const line_range property = properties_.line(ordinal);
    if (property.begin > at) shared_.push_back({at, property.begin});
    shared_before_.push_back(shared_.size());
    at = property.end;
  }
  if (text_.size() > at) shared_.push_back({at, text_.size()});
}

void output_layout::pieces_for(std::size_t ordinal, std::vector<iovec>& pieces) const {
  pieces.clear();
  auto add = [&](std::size_t begin, std::size_t end) {
    // The kept property line usually touches the runs around it: one span.
    if (!pieces.empty()) {
      iovec& last = pieces.back();
      if (static_cast<const char*>(last.iov_base) + last.iov_len == text_.data() + begin) {
        last.iov_len += end - begin;
        return;
      }
    }
    pieces.push_back({const_cast<char*>(text_.data() + begin), end - begin});
  };
  std::size_t before = shared_before_[ordinal];
  for (std::size_t i = 0; i < before; ++i) add(shared_[i].begin, shared_[i].end);
  const line_range kept = properties_.line(ordinal);
  add(kept.begin, kept.end);
  for (std::size_t i = before; i < shared_.size(); ++i) add(shared_[i].begin, shared_[i].end);
}

std::size_t output_layout::shared_prefix(std::size_t ordinal) const {
  std::size_t left_out = ordinal == 0 ? 1 : 0;
  return left_out < properties_.size() ? properties_.line(left_out).begin : text_.size();
}
