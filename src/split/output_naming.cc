#include "split/output_naming.h"

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

output_naming::number_part output_naming::part_for(std::uint64_t number) const {
  char digits[24];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  number_part part;
  char* at = part.text;
  *at++ = '-';
  *at++ = 'p';
  for (int pad = length; pad < width_; ++pad) *at++ = '0';
  while (length > 0) *at++ = digits[--length];
  *at = '\0';
  return part;
}

void output_naming::build(std::uint64_t number, std::string& name) const {
  name.assign(stem_);
  name += part_for(number).text;
  name += extension_;
}
