// Fuzzes the scan of an input and the outputs built from it.
//
// The input bytes are scanned with scan_text (tests/support); everything the scan reports is
// compared with a deliberately plain model written here (split on '\n', look
// for "bad" with std::string_view::find). With two or more properties every
// output is assembled in memory from output_layout, in the order the tool
// writes them, and compared with the model's idea of that output. The
// numbering order of property_lines is compared with a slow model of the
// ordering rules described in split/property_set.h. The same bytes are also
// put in a file and in a pipe and scanned from there, which takes other ways
// (a regular file is first searched through a window; a pipe is read into a
// buffer that grows), and must agree. Those reads are small, their size
// taken from the first byte of the input, so that lines and "bad" straddle
// reads and windows, and buffers grow, even in short inputs. Any
// disagreement aborts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include "split/output_layout.h"
#include "split/output_naming.h"
#include "split/scan.h"
#include "support/scan_support.h"

namespace {

[[noreturn]] void fail(const char* what) {
  (void)std::fprintf(stderr, "fuzz_split: invariant violated: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

struct model_line {
  std::string_view text;  // without its '\n'
  bool property;
};

// Lines end at '\n'; a final '\n' starts no new line, and a last line
// without one is a line all the same. `visit` gets each without its '\n'.
template <typename Visit>
void for_each_line(std::string_view bytes, Visit visit) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t newline = bytes.find('\n', at);
    std::size_t end = newline == std::string_view::npos ? bytes.size() : newline;
    visit(bytes.substr(at, end - at));
    at = end + 1;
  }
}

std::vector<model_line> model_lines(std::string_view bytes) {
  std::vector<model_line> lines;
  for_each_line(bytes, [&](std::string_view text) {
    lines.push_back({text, text.find("bad") != std::string_view::npos});
  });
  return lines;
}

// The numbering order as the rules in split/property_set.h describe it, kept as a
// plain vector and rebuilt element by element: slow and obvious.
class order_model {
 public:
  void insert(std::uint64_t value) {
    if (std::find(sequence_.begin(), sequence_.end(), value) != sequence_.end()) return;
    if (sequence_.size() + 1 > buckets_) grow();
    auto first = first_of_bucket(sequence_, value % buckets_);
    if (first == sequence_.end())
      sequence_.insert(sequence_.begin(), value);
    else
      sequence_.insert(first, value);
  }
  const std::vector<std::uint64_t>& sequence() const { return sequence_; }

 private:
  std::vector<std::uint64_t>::iterator first_of_bucket(std::vector<std::uint64_t>& in,
                                                       std::uint64_t bucket) const {
    return std::find_if(in.begin(), in.end(),
                        [&](std::uint64_t v) { return v % buckets_ == bucket; });
  }

  static bool prime(std::uint64_t n) {
    if (n < 2) return false;
    for (std::uint64_t d = 2; d * d <= n; ++d)
      if (n % d == 0) return false;
    return true;
  }

  void grow() {
    if (buckets_ == 0) {
      buckets_ = 2;
    } else {
      std::uint64_t next = 2 * buckets_ + 1;
      while (!prime(next)) ++next;
      buckets_ = next;
    }
    std::vector<std::uint64_t> rebuilt;
    bool have_tail = false;
    std::uint64_t tail_bucket = 0;  // bucket of the last element left standing
    for (std::uint64_t value : sequence_) {
      std::uint64_t bucket = value % buckets_;
      auto first = first_of_bucket(rebuilt, bucket);
      if (first == rebuilt.end() || (have_tail && bucket == tail_bucket)) {
        rebuilt.push_back(value);
        have_tail = true;
        tail_bucket = bucket;
      } else {
        rebuilt.insert(first, value);
      }
    }
    sequence_ = std::move(rebuilt);
  }

  std::vector<std::uint64_t> sequence_;
  std::uint64_t buckets_ = 0;
};

// Scans `input` as a file: an in-memory one, named through /proc so that
// scan() opens it as it would any regular file.
scan_result scan_as_file(std::string_view input, std::size_t read_size) {
  static const int fd = memfd_create("fuzz_split", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0, "cannot create the in-memory file");
  check(ftruncate(fd, 0) == 0, "cannot empty the in-memory file");
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t count = pwrite(fd, input.data() + done, input.size() - done, static_cast<off_t>(done));
    check(count > 0, "cannot write the in-memory file");
    done += static_cast<std::size_t>(count);
  }
  return scan_reading(path, read_size);
}

// Scans `input` from a pipe that holds it all, named through /proc as well.
scan_result scan_as_pipe(std::string_view input, std::size_t read_size) {
  int ends[2];
  check(pipe2(ends, O_CLOEXEC) == 0, "cannot create a pipe");
  check(fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(std::max<std::size_t>(input.size(), 4096))) >= 0,
        "cannot make the pipe large enough");
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t count = write(ends[1], input.data() + done, input.size() - done);
    check(count > 0, "cannot write the pipe");
    done += static_cast<std::size_t>(count);
  }
  check(close(ends[1]) == 0, "cannot close the pipe");
  scan_result scanned = scan_reading("/proc/self/fd/" + std::to_string(ends[0]), read_size);
  check(close(ends[0]) == 0, "cannot close the pipe");
  return scanned;
}

std::vector<std::uint64_t> iteration_of(const property_set& set) {
  std::vector<std::uint64_t> order;
  for (auto it = set.begin(); it != set.end(); ++it) {
    check(order.size() < set.size(), "set iteration yields more elements than it holds");
    order.push_back(*it);
  }
  check(order.size() == set.size(), "set iteration yields fewer elements than it holds");
  return order;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<model_line> lines = model_lines(input);
  std::vector<std::uint64_t> properties;  // line indices, in file order
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].property) properties.push_back(i);
  const std::size_t m = lines.size();
  const std::size_t n = properties.size();

  const scan_result scanned = scan_text(input);

  // The stored text: the input, with a '\n' added to a last line without one.
  std::string text(input);
  if (!text.empty() && text.back() != '\n') text += '\n';
  check(scanned.lines.text() == text, "stored text differs from the input");
  check(scanned.lines.size() == m, "line count");
  {
    std::size_t i = 0;
    for (const std::string& line : lines_of(scanned.lines)) {
      check(i < m, "line iteration yields too many lines");
      check(line == lines[i].text, "line iteration yields a different line");
      ++i;
    }
    check(i == m, "line iteration yields too few lines");
  }

  // Property lines in file order, with their byte ranges.
  check(scanned.property_lines.size() == n, "property count");
  for (std::size_t k = 0; k < n; ++k) {
    const line_range range = scanned.property_lines.line(k);
    check(range.index == properties[k], "property range index");
    check(range.begin <= range.end && range.end <= text.size(), "property range bounds");
    std::string_view line(text.data() + range.begin, range.end - range.begin);
    check(!line.empty() && line.back() == '\n', "property range does not end with '\\n'");
    line.remove_suffix(1);
    check(line == lines[properties[k]].text, "property range covers another line");
    check(range.begin == 0 || text[range.begin - 1] == '\n', "property range starts mid-line");
  }

  // The numbering order: a permutation of the property lines, in the
  // documented order. Bounded, so that a broken link shows as a failure
  // rather than an endless loop.
  const std::vector<std::uint64_t> order = iteration_of(scanned.property_lines);
  {
    std::vector<std::uint64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    check(sorted == properties, "set iteration is not a permutation of the property lines");
  }
  // The model is quadratic: beyond a few hundred properties it would slow
  // the fuzzing to a crawl, and every growth and collision rule is reached
  // with fewer (the line indices, which pick the buckets, are not limited).
  if (n <= 400) {
    order_model model;
    for (std::uint64_t index : properties) model.insert(index);
    check(model.sequence() == order, "set iteration differs from the documented order");
  }
  for (std::size_t i = 0; i <= m; ++i) {
    bool is_property = i < m && lines[i].property;
    check(scanned.property_lines.contains(i) == is_property, "contains() of a line index");
  }
  check(!scanned.property_lines.contains(UINT64_MAX), "contains() of a huge index");

  // 1 to 64 bytes a read, or the tool's own read size.
  const std::size_t read_size = size == 0 || data[0] == 0xff ? default_read_size : 1 + data[0] % 64;

  // From a pipe: everything is kept.
  {
    const scan_result from_pipe = scan_as_pipe(input, read_size);
    check(from_pipe.lines.text() == text, "pipe scan: stored text");
    check(from_pipe.lines.size() == m, "pipe scan: line count");
    check(iteration_of(from_pipe.property_lines) == order, "pipe scan: numbering order");
    for (std::size_t k = 0; k < n; ++k) {
      const line_range a = from_pipe.property_lines.line(k);
      const line_range b = scanned.property_lines.line(k);
      check(a.index == b.index && a.begin == b.begin && a.end == b.end, "pipe scan: property ranges");
    }
  }

  // From a file: an input that is never split (fewer than two properties)
  // keeps only its property lines; any other, everything.
  {
    const scan_result from_file = scan_as_file(input, read_size);
    check(iteration_of(from_file.property_lines) == order, "file scan: numbering order");
    check(from_file.lines.size() == m, "file scan: line count");
    if (n < 2) {
      check(from_file.lines.text().empty(), "file scan keeps the lines of an input it will not split");
    } else {
      check(from_file.lines.text() == text, "file scan: stored text");
      for (std::size_t k = 0; k < n; ++k) {
        const line_range a = from_file.property_lines.line(k);
        const line_range b = scanned.property_lines.line(k);
        check(a.index == b.index && a.begin == b.begin && a.end == b.end,
              "file scan: property ranges");
      }
    }
  }

  if (n < 2) return 0;  // the tool writes no output then

  // The outputs, as the tool builds them: numbered in the set's order, each
  // keeping the property it was numbered for. All of them are built and
  // compared while their total size stays within output_budget; past it
  // (thousands of properties in a long input, where checking all would make
  // each run quadratic and the fuzzing slow) the first and last few and an
  // even sample in between.
  constexpr std::size_t output_budget = std::size_t{1} << 18;
  const std::size_t total = n * text.size();
  const std::size_t stride = total <= output_budget ? 1 : total / output_budget + 1;
  const output_layout layout(scanned);
  std::vector<iovec> pieces;
  std::string output, expected;
  auto numbered = scanned.property_lines.begin();
  for (std::size_t number = 0; number < n; ++number, ++numbered) {
    const std::uint64_t kept = order[number];
    // The ordinal the set gives is the kept line's place in file order.
    const std::size_t ordinal = numbered.ordinal();
    check(ordinal < n && properties[ordinal] == kept, "numbered line is not at its ordinal");
    if (number >= 4 && number + 4 < n && number % stride != 0) continue;
    layout.pieces_for(ordinal, pieces);

    output.clear();
    for (const iovec& piece : pieces) {
      const char* base = static_cast<const char*>(piece.iov_base);
      check(base >= scanned.lines.text().data() &&
                base + piece.iov_len <= scanned.lines.text().data() + text.size(),
            "span outside the input text");
      check(piece.iov_len > 0, "empty span");
      output.append(base, piece.iov_len);
    }

    expected.clear();
    for (std::size_t i = 0; i < m; ++i) {
      if (lines[i].property && i != kept) continue;
      expected.append(lines[i].text);
      expected += '\n';
    }
    check(output == expected, "output is not the input minus the other properties");

    // What an output may take from the input file by sharing its blocks:
    // bytes that stand there at the same offsets.
    const std::size_t prefix = layout.shared_prefix(ordinal);
    check(prefix <= input.size() && output.compare(0, prefix, input.substr(0, prefix)) == 0,
          "shared prefix is not the input's bytes at the same offsets");

    // The same from the output alone.
    check(!output.empty() && output.back() == '\n', "output does not end with '\\n'");
    std::size_t out_lines = 0, out_properties = 0;
    for_each_line(output, [&](std::string_view line) {
      ++out_lines;
      if (line.find("bad") != std::string_view::npos) ++out_properties;
    });
    check(out_lines == m - n + 1, "output line count is not M - N + 1");
    check(out_properties == 1, "output does not hold exactly one property line");
  }
  return 0;
}
