// Fuzzes the output names made from an input path.
//
// Input layout: three bytes, little-endian, give the output count as
// 2 + value % 100000; the rest is the input path (an input holding a NUL is
// skipped: no path can hold one). Each name checked is compared with one
// built here from the path by hand, must keep the path's directory, and must
// differ from every other name checked. Counts up to full_check_limit are
// checked for every number; larger ones for a sample that covers both ends
// and every change in the number of digits.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "split/output_naming.h"

namespace {

constexpr std::uint64_t max_count = 100000;
constexpr std::uint64_t full_check_limit = 2000;

[[noreturn]] void fail(const char* what, std::string_view name) {
  (void)std::fprintf(stderr, "fuzz_naming: invariant violated: %s (name \"%.*s\")\n", what,
                     static_cast<int>(name.size()), name.data());
  std::abort();
}

// Everything up to the last '/', or "" when there is none.
std::string_view directory_of(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint64_t value =
      data[0] | (std::uint64_t{data[1]} << 8) | (std::uint64_t{data[2]} << 16);
  const std::uint64_t count = 2 + value % (max_count - 1);  // 2 .. max_count
  // A copy the naming does not own: it must outlive the naming, as the
  // input path does in the tool.
  const std::string path(reinterpret_cast<const char*>(data) + 3, size - 3);
  if (path.find('\0') != std::string::npos) return 0;

  // The expected parts, found independently of the naming code: the
  // extension is the final component's last '.' and what follows.
  const std::size_t component = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const std::size_t dot = path.find_last_of('.');
  const std::size_t split = dot != std::string::npos && dot >= component ? dot : path.size();
  const std::string stem = path.substr(0, split);
  const std::string extension = path.substr(split);
  const std::size_t width = std::to_string(count).size();

  std::vector<std::uint64_t> numbers;
  if (count <= full_check_limit) {
    for (std::uint64_t k = 0; k < count; ++k) numbers.push_back(k);
  } else {
    // Both ends, the middle, and both sides of every power of ten.
    std::set<std::uint64_t> sample = {0, 1, 2, count / 2, count - 2, count - 1};
    for (std::uint64_t p = 10; p < count; p *= 10) {
      sample.insert(p - 1);
      sample.insert(p);
    }
    // A few numbers picked by the remaining input, so the fuzzer can steer.
    for (std::size_t i = 0; i + 1 < path.size() && i < 8; i += 2)
      sample.insert(
          (static_cast<unsigned char>(path[i]) << 8 | static_cast<unsigned char>(path[i + 1])) %
          count);
    numbers.assign(sample.begin(), sample.end());
  }

  output_naming naming(path, count);
  std::set<std::string> seen;
  std::string name;
  for (std::uint64_t k : numbers) {
    naming.build(k, name);

    std::string expected = stem;
    expected += "-p";
    const std::string digits = std::to_string(k);
    if (digits.size() < width) expected.append(width - digits.size(), '0');
    expected += digits;
    expected += extension;
    if (name != expected) fail("not stem + -p + padded number + extension", name);

    if (directory_of(name) != directory_of(path)) fail("directory differs from the input's", name);
    if (name.compare(0, stem.size(), stem) != 0 || name.compare(stem.size(), 2, "-p") != 0)
      fail("does not start with the stem and -p", name);
    if (name.find('/', stem.size()) != std::string::npos) fail("'/' after the inserted -p", name);
    if (!seen.insert(name).second) fail("two outputs share a name", name);
  }
  return 0;
}
