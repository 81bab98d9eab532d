#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "failure.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/line_search.h"
#include "split/scan.h"
#include "support/scan_support.h"

namespace {

using namespace std::string_literals;

struct naive_scan {
  std::vector<std::string> lines;
  std::vector<std::uint64_t> properties;
};

naive_scan scan_naively(const std::string& bytes) {
  naive_scan result;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t newline = bytes.find('\n', at);
    if (newline == std::string::npos) newline = bytes.size();
    std::string line = bytes.substr(at, newline - at);
    if (line.find("bad") != std::string::npos) result.properties.push_back(result.lines.size());
    result.lines.push_back(line);
    at = newline + 1;
  }
  return result;
}

void expect_scan(const scan_result& scanned, const std::string& bytes) {
  naive_scan expected = scan_naively(bytes);
  ASSERT_TRUE(bytes.empty() || !scanned.lines.text().empty()) << "lines not kept";
  ASSERT_EQ(lines_of(scanned.lines), expected.lines);
  ASSERT_EQ(scanned.lines.size(), expected.lines.size());
  ASSERT_EQ(scanned.property_lines.size(), expected.properties.size());
  for (std::size_t i = 0; i < expected.properties.size(); ++i) {
    const line_range range = scanned.property_lines.line(i);
    ASSERT_EQ(range.index, expected.properties[i]);
    ASSERT_EQ(scanned.lines.text().substr(range.begin, range.end - range.begin),
              expected.lines[range.index] + "\n");
    ASSERT_TRUE(scanned.property_lines.contains(range.index));
  }
}

// Scans `bytes` from a file, as the tool reads its inputs.
scan_result scan_file(const std::string& bytes, std::size_t read_size = default_read_size) {
  char path[] = "/tmp/propslice-scan-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    ADD_FAILURE() << "cannot write " << path;
  close(fd);
  scan_result scanned = scan_reading(path, read_size);
  unlink(path);
  return scanned;
}

// Scans `bytes` (less than a pipe holds) from a pipe, which is read whole at
// once into a buffer that grows as it fills.
scan_result scan_pipe(const std::string& bytes, std::size_t read_size) {
  int ends[2];
  if (pipe(ends) != 0 || write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    ADD_FAILURE() << "cannot fill a pipe";
  close(ends[1]);
  scan_result scanned = scan_reading("/proc/self/fd/" + std::to_string(ends[0]), read_size);
  close(ends[0]);
  return scanned;
}

// Searches `bytes` with line_search alone, fed in pieces of 1 to `most`
// bytes, each followed by its padding filled from `alphabet`: a "bad", or
// the end of one, just past a piece must count for nothing. Checks each
// property line found against the naive scan.
void expect_search_in_pieces(const std::string& bytes, std::size_t most, const std::string& alphabet,
                             std::mt19937& random) {
  naive_scan expected = scan_naively(bytes);
  std::string text = bytes;
  if (!text.empty() && text.back() != '\n') text += '\n';
  line_search search;
  std::vector<std::uint64_t> found;
  line_range line;
  auto take = [&] {
    while (search.next_property(line)) {
      found.push_back(line.index);
      ASSERT_LT(line.index, expected.lines.size());
      ASSERT_EQ(text.substr(line.begin, line.end - line.begin), expected.lines[line.index] + "\n");
    }
  };
  std::vector<char> piece;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t size = std::min<std::size_t>(1 + random() % most, bytes.size() - at);
    piece.assign(bytes.begin() + at, bytes.begin() + at + size);
    for (std::size_t i = 0; i < search_padding; ++i) piece.push_back(alphabet[random() % alphabet.size()]);
    search.feed(piece.data(), size);
    take();
    at += size;
  }
  search.finish();
  take();
  EXPECT_EQ(found, expected.properties);
  EXPECT_EQ(search.lines(), expected.lines.size());
}

std::string thirteen_line_model() {
  std::string text;
  for (int i = 0; i < 10; ++i) text += std::to_string(i) + " state 1 counter\n";
  return text + "10 bad 1\n11 bad 2\n12 bad 3\n";
}

}  // namespace

TEST(Scan, LinesAndPropertyLines) {
  struct example {
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::uint64_t> properties;
  };
  const example examples[] = {
      {"", {}, {}},
      {"\n", {""}, {}},
      {"\n\n", {"", ""}, {}},
      {"bad", {"bad"}, {0}},
      {"bad\n", {"bad"}, {0}},
      {"ba", {"ba"}, {}},
      {"4 input 1 badge\n4 input 1 BAD\n4 input 1 Bad\n4 input 1 ba d\n",
       {"4 input 1 badge", "4 input 1 BAD", "4 input 1 Bad", "4 input 1 ba d"}, {0}},
      {"ba\nd\nb\nad\n", {"ba", "d", "b", "ad"}, {}},
      {"badbad\nx bad y bad\n", {"badbad", "x bad y bad"}, {0, 1}},
      {"1 a\r\n7 bad 6\r\n", {"1 a\r", "7 bad 6\r"}, {1}},
      {"a\tb\0c\nx\0bad\n"s, {"a\tb\0c"s, "x\0bad"s}, {1}},
      {"1 x\n2 bad", {"1 x", "2 bad"}, {1}},
      {"bad\n\nbad\n", {"bad", "", "bad"}, {0, 2}},
  };
  for (const example& e : examples) {
    SCOPED_TRACE(testing::PrintToString(e.bytes));
    scan_result scanned = scan_text(e.bytes);
    EXPECT_EQ(lines_of(scanned.lines), e.lines);
    EXPECT_EQ(scanned.lines.size(), e.lines.size());
    std::vector<std::uint64_t> found;
    for (std::size_t i = 0; i < scanned.property_lines.size(); ++i)
      found.push_back(scanned.property_lines.line(i).index);
    EXPECT_EQ(found, e.properties);
  }
}

TEST(Scan, ThirteenLineModel) {
  scan_result scanned = scan_text(thirteen_line_model());
  EXPECT_EQ(scanned.lines.size(), 13u);
  EXPECT_EQ(std::vector<std::uint64_t>(scanned.property_lines.begin(), scanned.property_lines.end()),
            (std::vector<std::uint64_t>{12, 11, 10}));
}

TEST(Scan, TextAlwaysEndsWithANewline) {
  EXPECT_EQ(scan_text("").lines.text(), "");
  EXPECT_EQ(scan_text("a\nb").lines.text(), "a\nb\n");
  EXPECT_EQ(scan_text("a\nb\n").lines.text(), "a\nb\n");
}

// The search works on blocks and words of bytes; "bad" and newlines at every
// offset around their edges, and lines shorter and longer than a block. The
// same texts are searched in pieces followed by padding that holds "bad" and
// its parts, and some are read from files and pipes a few bytes at a time,
// so that lines and "bad" straddle two reads or more.
TEST(Scan, MatchesANaiveScanOnRandomText) {
  std::mt19937 random(42);
  const std::string alphabet = "bad\nbad\nxyz \r";
  for (int round = 0; round < 3000; ++round) {
    std::size_t size = random() % (round < 2000 ? 80 : 5000);
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += alphabet[random() % alphabet.size()];
    SCOPED_TRACE(testing::PrintToString(bytes));
    expect_scan(scan_text(bytes), bytes);
    expect_search_in_pieces(bytes, round % 2 == 0 ? 24 : 200, alphabet, random);
    if (round % 10 != 0) continue;
    std::size_t read_size = 1 + random() % 40;
    SCOPED_TRACE(read_size);
    expect_scan(scan_pipe(bytes, read_size), bytes);
    scan_result from_file = scan_file(bytes, read_size);
    naive_scan expected = scan_naively(bytes);
    if (expected.properties.size() >= 2) {
      expect_scan(from_file, bytes);
    } else {
      EXPECT_TRUE(from_file.lines.text().empty()) << "kept";
      EXPECT_EQ(from_file.lines.size(), expected.lines.size());
      EXPECT_EQ(from_file.property_lines.size(), expected.properties.size());
    }
  }
}

// A file is read in pieces and searched as the pieces arrive; lines and
// "bad" straddling the pieces must come out the same.
TEST(Scan, FileReadInPiecesMatchesTheNaiveScan) {
  std::mt19937 random(7);
  std::string bytes;
  while (bytes.size() < 3 * 1024 * 1024) {
    std::size_t length = random() % 3 == 0 ? random() % 300000 : random() % 40;
    std::string line(length, 'x');
    if (random() % 4 == 0 && length >= 3) line.replace(random() % (length - 2), 3, "bad");
    bytes += line + "\n";
  }
  bytes += "last bad";
  scan_result scanned = scan_file(bytes);
  expect_scan(scanned, bytes);
}

TEST(Scan, PropertyAcrossTheEdgeOfAReadPiece) {
  const std::size_t piece = default_read_size;
  for (std::size_t start : {piece - 3, piece - 2, piece - 1, piece, piece + 1}) {
    std::string bytes = std::string(start - 1, 'x') + "\nbad\ny\nbad";
    scan_result scanned = scan_file(bytes);
    SCOPED_TRACE(start);
    expect_scan(scanned, bytes);
  }
}

// A file is first searched through a window to see whether it will be split
// at all; the window must count a property line once, wherever it stands.
TEST(Scan, PropertyCountOfFilesAroundTheWindow) {
  const std::size_t window = default_read_size;
  const std::string long_line(window + 1000, 'x');
  struct example {
    const char* name;
    std::string bytes;
  };
  const example examples[] = {
      {"nothing", std::string(3 * window, 'y') + "\n"},
      {"one, no final newline", "a\nb\nbad"},
      {"bad straddling the window", std::string(window - 2, 'x') + "bad\nz\n"},
      {"one long line with bad twice", "bad" + long_line + "bad\nplain\n"},
      {"a long line, then one property", long_line + "\nbad\n" + long_line},
      {"two far apart", "bad\n" + long_line + "\n" + long_line + "\nbad"},
      {"two in the second window", std::string(window + 10, '\n') + "bad\nbad\n"},
  };
  for (const example& e : examples) {
    SCOPED_TRACE(e.name);
    scan_result scanned = scan_file(e.bytes);
    naive_scan expected = scan_naively(e.bytes);
    if (expected.properties.size() >= 2) {
      expect_scan(scanned, e.bytes);
    } else {
      // Never split, so only searched: the count of lines tells what it holds.
      EXPECT_TRUE(scanned.lines.text().empty()) << "kept";
      EXPECT_EQ(scanned.lines.size(), expected.lines.size());
      EXPECT_EQ(scanned.property_lines.size(), expected.properties.size());
      for (std::uint64_t index : expected.properties) EXPECT_TRUE(scanned.property_lines.contains(index));
    }
  }
}

// A file written to while it is read is read again, so that no split ever
// mixes two versions of it and no count comes from one; one that keeps
// changing is an error. The writer either writes (each write sets its own
// modification time, so that a clock too coarse to tell two writes apart
// cannot hide one) or stores through a writable shared mapping that it
// holds all along, into pages it stored into before: then no read lease
// can be had and no time of the file moves. Each rewrite keeps the size.
namespace changing_file {
std::string path;
char* mapped = nullptr;  // the writer's mapping, if it writes so
int reads = 0, first_write = 0, last_write = 0;
std::string (*version_after)(const std::string& old, int read) = nullptr;
std::string old;
void write_new_version() {
  if (++reads < first_write || reads > last_write) return;
  std::string bytes = version_after(old, reads);
  if (mapped != nullptr) {
    std::memcpy(mapped, bytes.data(), bytes.size());
    return;
  }
  int fd = open(path.c_str(), O_WRONLY);
  timespec times[2] = {{0, UTIME_OMIT}, {reads, 0}};
  if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
      futimens(fd, times) != 0 || close(fd) != 0)
    std::abort();
}
// The first and the last line become "bad D", D the read's last digit.
std::string ends_rewritten(const std::string& old, int read) {
  std::string line = "bad "s + static_cast<char>('0' + read % 10) + "\n";
  return line + old.substr(6, old.size() - 12) + line;
}
// The two property lines move from the end to the start: in every version
// two, but a read of the old start and the new end has none.
std::string properties_moved(const std::string& old, int) {
  return "bad 1\nbad 2\n" + old.substr(0, old.size() - 12);
}
// The one property line moves from the end to the start: a read of the old
// start and the new end has none.
std::string property_moved(const std::string& old, int) {
  return "bad 1\n" + old.substr(0, old.size() - 6);
}
// A read of the input, after which the writer may write.
ssize_t read_then_write(int fd, void* into, std::size_t size) {
  ssize_t count = read(fd, into, size);
  int saved = errno;
  write_new_version();
  errno = saved;
  return count;
}
}  // namespace changing_file

TEST(Scan, FileChangingWhileReadIsReadAgain) {
  // Read 64 bytes at a time: a file of 256 bytes at most is read once,
  // whole; a larger one is searched through the window first.
  auto shared = [](std::size_t size) {
    std::string text;
    while (text.size() < size) text += "shared line " + std::to_string(text.size()) + "\n";
    return text;
  };
  const std::string ends_small = "bad 0\nbad 1\n" + shared(200) + "bad 2\n";
  const std::string ends_large = "bad 0\nbad 1\n" + shared(4000) + "bad 2\n";
  const std::string at_end = shared(4000) + "bad 1\nbad 2\n";
  const std::string one_at_end = shared(4000) + "bad 1\n";
  struct example {
    const char* name;
    const std::string& old;
    std::string (*version_after)(const std::string&, int);
    bool mapped;
    int first_write, last_write;  // the reads after which it is rewritten
    bool fails;
  } examples[] = {
      {"read once", ends_small, changing_file::ends_rewritten, false, 3, 3, false},
      {"read whole after the window", ends_large, changing_file::ends_rewritten, false, 3, 3, false},
      {"the window", at_end, changing_file::properties_moved, false, 3, 3, false},
      {"keeps changing", ends_large, changing_file::ends_rewritten, false, 1, 1000000, true},
      {"mapped, read once", ends_small, changing_file::ends_rewritten, true, 3, 3, false},
      {"mapped, read whole after the window", ends_large, changing_file::ends_rewritten, true, 3, 3,
       false},
      {"mapped, the window", at_end, changing_file::properties_moved, true, 3, 3, false},
      {"the window, not split", one_at_end, changing_file::property_moved, false, 3, 3, false},
      {"mapped, the window, not split", one_at_end, changing_file::property_moved, true, 3, 3,
       false},
      {"mapped, keeps changing", ends_large, changing_file::ends_rewritten, true, 1, 1000000, true},
  };
  // Without read leases (the POSIX baseline, FreeBSD, macOS) nothing tells
  // that a writer holds the file open: the status is all there is, and a
  // store through a mapping is not seen (as the README says).
  bool leases = false;
  {
    char probe[] = "/dev/shm/propslice-scan-XXXXXX";
    int fd = mkstemp(probe);
    ASSERT_GE(fd, 0);
    close(fd);
    fd = open(probe, O_RDONLY);  // no lease on a file open for writing
    ASSERT_GE(fd, 0);
    leases = platform::take_read_lease(fd) == 0;
    platform::drop_read_lease(fd);
    close(fd);
    unlink(probe);
  }
  for (const example& e : examples) {
    SCOPED_TRACE(e.name);
    if (e.mapped && !leases) continue;
    // On tmpfs, whose pages are never written back: a store through the
    // mapping never moves a time of the file.
    char path[] = "/dev/shm/propslice-scan-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, e.old.data(), e.old.size()), static_cast<ssize_t>(e.old.size()));
    void* map = nullptr;
    if (e.mapped) {
      map = mmap(nullptr, e.old.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ASSERT_NE(map, MAP_FAILED);
      std::memcpy(map, e.old.data(), e.old.size());  // every page stored into
    }
    close(fd);
    changing_file::path = path;
    changing_file::mapped = static_cast<char*>(map);
    changing_file::old = e.old;
    changing_file::version_after = e.version_after;
    changing_file::reads = 0;
    changing_file::first_write = e.first_write;
    changing_file::last_write = e.last_write;
    const auto read = sys::calls.read;
    sys::calls.read = changing_file::read_then_write;
    if (e.fails) {
      EXPECT_EXIT(
          try { scan_reading(path, 64); } catch (const failure& f) { report_failure(f); },
          testing::ExitedWithCode(1),
                  "^error: Cannot read input file /dev/shm/propslice-scan-.*: The file kept "
                  "changing while it was read\n$");
    } else {
      scan_result scanned = scan_reading(path, 64);
      std::string now = e.version_after(e.old, e.first_write);
      if (e.version_after == changing_file::property_moved) {
        // Only searched: what it holds is that of one version.
        EXPECT_TRUE(scanned.lines.text().empty()) << "kept";
        EXPECT_EQ(scanned.lines.size(), scan_naively(now).lines.size());
        EXPECT_EQ(scanned.property_lines.size(), 1u) << "a read mixing two versions was kept";
        if (scanned.property_lines.size() == 1) {
          EXPECT_EQ(scanned.property_lines.line(0).index, 0u);
        }
      } else {
        EXPECT_FALSE(scanned.lines.text().empty()) << "not split";
        EXPECT_TRUE(scanned.lines.text() == now) << "a read mixing two versions was kept";
        const bool moved = e.version_after == changing_file::properties_moved;
        EXPECT_EQ(scanned.property_lines.size(), moved ? 2u : 3u);
        // Blocks are never shared with a file that someone holds open for writing.
        EXPECT_EQ(scanned.guard.how() == input_guard::kind::none, e.mapped);
      }
    }
    sys::calls.read = read;
    if (map != nullptr) munmap(map, e.old.size());
    unlink(path);
  }
}
