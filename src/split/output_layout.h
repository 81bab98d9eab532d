#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "split/scan.h"

// The bytes of each output, as spans of the input text: the text minus every
// property line but the one the output keeps. Built once per input; an output
// costs one span per run of shared lines, however many lines there are.
class output_layout {
 public:
  explicit output_layout(const scan_result& scanned);

  // Replaces `pieces` with the spans of the output that keeps the property
  // line `ordinal` (its position among the property lines in file order).
  void pieces_for(std::size_t ordinal, std::vector<iovec>& pieces) const;

  // How many leading bytes of that output stand at the same offsets in the
  // input: all up to the first property line that the output leaves out.
  std::size_t shared_prefix(std::size_t ordinal) const;

 private:
  struct span {
    std::size_t begin, end;
  };
  std::string_view text_;
  const property_set& properties_;
  std::vector<span> shared_;  // the non-empty runs of lines between property lines
  std::vector<std::size_t> shared_before_;  // per property: runs of shared_ before it
};
