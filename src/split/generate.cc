#include "split/generate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "error.h"
#include "messages.h"

output_layout::output_layout(const scan_result& scanned)
    : text_(scanned.lines.text()), properties_(scanned.property_ranges) {
  shared_before_.reserve(properties_.size());
  std::size_t at = 0;
  for (const line_range& property : properties_) {
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
  add(properties_[ordinal].begin, properties_[ordinal].end);
  for (std::size_t i = before; i < shared_.size(); ++i) add(shared_[i].begin, shared_[i].end);
}

namespace {

int digit_count(std::uint64_t n) {
  int digits = 1;
  for (; n >= 10; n /= 10) ++digits;
  return digits;
}

}  // namespace

output_naming::output_naming(std::string_view input_path, std::uint64_t output_count)
    : width_(digit_count(output_count)) {
  std::size_t slash = input_path.rfind('/');
  std::size_t dot = input_path.rfind('.');
  // A "." in a directory name ("work.d/model", "./model") starts no
  // extension: the outputs must stay in the input's directory.
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    dot = input_path.size();
  stem_ = input_path.substr(0, dot);
  extension_ = input_path.substr(dot);
}

const std::string& output_naming::name(std::uint64_t number) {
  char digits[24];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  name_.assign(stem_);
  name_ += "-p";
  if (length < width_) name_.append(static_cast<std::size_t>(width_ - length), '0');
  while (length > 0) name_ += digits[--length];
  name_ += extension_;
  return name_;
}

void generate_outputs(const std::string& input_path, const scan_result& scanned,
                      const settings& run) {
  const std::vector<line_range>& properties = scanned.property_ranges;
  if (run.verbosity != 0)
    print_line("Found " + std::to_string(scanned.property_lines.size()) + " properties in " +
               std::to_string(scanned.lines.size()) + " lines");

  output_layout layout(scanned);
  output_naming naming(input_path, scanned.property_lines.size());
  std::vector<iovec> pieces;
  std::uint64_t number = 0;
  for (std::uint64_t line : scanned.property_lines) {
    auto property = std::lower_bound(
        properties.begin(), properties.end(), line,
        [](const line_range& range, std::uint64_t index) { return range.index < index; });
    layout.pieces_for(static_cast<std::size_t>(property - properties.begin()), pieces);
    const std::string& name = naming.name(number++);
    int error = write_output(name, pieces, run.force_overwrite);
    if (error == EEXIST && !run.force_overwrite)
      exit_with_error("Output file %s already exists. Delete or use -f to overwrite",
                      name.c_str());
    if (error != 0)
      exit_with_error("Cannot write output file %s: %s", name.c_str(), std::strerror(error));
    if (run.verbosity != 0) print_line("Generated ", name);
  }
}
