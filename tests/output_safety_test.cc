// Where outputs come from and how they take their names: blocks shared with
// the input on a copy-on-write file system, never a partial file under an
// output name, and any valid output path.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "split/generate.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/output_writers.h"
#include "split/scan.h"
#include "harness.h"
#include "tool_runner.h"

namespace {

using files = std::map<std::string, std::string>;

// Shared lines worth several blocks, then properties 0 .. count-1.
std::string model(std::size_t shared_bytes, int count) {
  std::string text;
  while (text.size() < shared_bytes) text += std::to_string(text.size()) + " and 1 12 9\n";
  for (int i = 0; i < count; ++i) text += std::to_string(i) + " bad " + std::to_string(i) + "\n";
  return text;
}

// The content of output `number` of model(shared_bytes, count).
std::string output(std::size_t shared_bytes, int count, int number) {
  std::string text = model(shared_bytes, 0);
  return text + std::to_string(count - 1 - number) + " bad " + std::to_string(count - 1 - number) + "\n";
}

// Whether the tool writes its outputs in `directory` into unnamed files,
// as this suite runs it (the same code, under the same harness settings),
// rather than under hidden names.
bool unnamed_files(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  int unnamed = platform::open_unnamed(fd);
  if (unnamed >= 0) close(unnamed);
  if (fd >= 0) close(fd);
  return unnamed >= 0;
}

// The "Found" message for `input`, with `count` properties.
std::string found(const std::string& input, int count) {
  return "Found " + std::to_string(count) + " properties in " +
         std::to_string(std::count(input.begin(), input.end(), '\n')) + " lines\n";
}

// A path of "./" steps, 2,000 bytes long, to reach inputs through: each
// message naming one is about 2 KB, so that a pipe of one page holds two,
// and a tool that prints into it is held within a few lines of where its
// reader stopped.
const std::string steps = [] {
  std::string path;
  while (path.size() < 2000) path += "./";
  return path;
}();

// Text as shown on failure: the steps stand as "(...)/".
std::string shown(std::string text) {
  for (std::size_t at; (at = text.find(steps)) != std::string::npos;)
    text.replace(at, steps.size(), "(...)/");
  return text;
}

// A small file system mounted for the test's life: XFS on a loop device,
// a tmpfs of a given size, or another view of a directory through FUSE.
class scratch_mount {
 public:
  // "xfs" (with reflink), "fat" (through FUSE), "tmpfs:SIZE", or
  // "bindfs:DIRECTORY" (the directory, through FUSE; a file removed while
  // open is removed at once, not renamed to a hidden name of FUSE's own
  // that goes away later, at a time no test can tell), or
  // "bindfs-hiding:DIRECTORY" (the same, renaming such a file as FUSE does;
  // one request at a time, so that a file's release is handled before the
  // removal of its name that follows it).
  explicit scratch_mount(const std::string& kind = "xfs") {
    if (geteuid() != 0) {
      why_not_ = "not root";
      return;
    }
    char pattern[] = "/tmp/propslice-mount-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      why_not_ = "no temporary directory";
      return;
    }
    root_ = pattern;
    std::string image = root_ + "/image", point = root_ + "/mnt";
    mkdir(point.c_str(), 0777);
    const bool hiding = kind.starts_with("bindfs-hiding:");
    const bool bind = hiding || kind.starts_with("bindfs:");
    std::string make = kind == "xfs" ? "truncate -s 320M " + image + " && mkfs.xfs -q -m reflink=1 " + image
                       : kind == "fat" ? "truncate -s 32M " + image + " && mkfs.vfat " + image
                       : bind          ? "command -v bindfs"
                                       : "true";
    if (std::system((make + " >/dev/null 2>&1").c_str()) != 0) {
      why_not_ = bind ? "bindfs is not there" : "cannot make the image: mkfs." + kind + " is not there";
      return;
    }
    std::string mount = kind == "xfs"   ? "mount -o loop " + image
                        : kind == "fat" ? "fusefat -o rw+ " + image
                        : hiding        ? "bindfs -s " + kind.substr(14)
                        : bind          ? "bindfs -o hard_remove " + kind.substr(7)
                                        : "mount -t tmpfs -o size=" + kind.substr(6) + " tmpfs";
    if (std::system((mount + " " + point + " >/dev/null 2>&1").c_str()) != 0) {
      why_not_ = "cannot mount it here: " + mount;
      return;
    }
    mounted_ = point;
  }
  ~scratch_mount() {
    if (!mounted_.empty()) (void)std::system(("umount " + mounted_ + " 2>/dev/null || fusermount -u " + mounted_).c_str());
    if (!root_.empty()) (void)std::system(("rm -rf " + root_).c_str());
  }
  const std::string& path() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }

 private:
  std::string root_, mounted_, why_not_;
};

// Whether the first extent of the file is shared with another file.
bool first_extent_shared(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  // A fiemap with room for one extent after it.
  alignas(fiemap) unsigned char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(request);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = 1;
  bool shared = ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents == 1 &&
                (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
  close(fd);
  return shared;
}

// Splits one input in this process, its outputs all named on return.
void split_alone(const std::string& path, const scan_result& scanned, const settings& options) {
  run_state state(options);
  generate_outputs(path, scanned, state);
  state.queue.commit();
}

}  // namespace

TEST(OutputSafety, SharesTheInputsBlocksOnXfs) {
  scratch_mount xfs;
  if (xfs.path().empty()) GTEST_SKIP() << "no XFS image: " << xfs.why_not();
  int probe = open((xfs.path() + "/probe").c_str(), O_RDWR | O_CREAT, 0644);
  bool sharing = platform::share_blocks(probe, probe, 0) != EOPNOTSUPP;
  close(probe);
  if (!sharing) GTEST_SKIP() << "this build shares no blocks";
  const std::string input = model(64 * 1024, 3);
  std::string at = xfs.path() + "/m.zelk";
  {
    std::FILE* file = std::fopen(at.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), file), input.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "-f" : "");
    std::vector<std::string> arguments = {"-v", "m.zelk"};
    if (force) arguments.push_back("-f");
    tool_result result = run_tool(xfs.path(), arguments);
    EXPECT_EQ(result.out, "Processing m.zelk\nFound 3 properties in " +
                              std::to_string(std::count(input.begin(), input.end(), '\n')) +
                              " lines\nGenerated m-p0.zelk\nGenerated m-p1.zelk\nGenerated m-p2.zelk\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    for (int number = 0; number < 3; ++number) {
      std::string name = xfs.path() + "/m-p" + std::to_string(number) + ".zelk";
      std::FILE* file = std::fopen(name.c_str(), "rb");
      ASSERT_NE(file, nullptr) << name;
      std::string bytes(input.size() + 1, '\0');
      bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
      std::fclose(file);
      EXPECT_TRUE(bytes == output(64 * 1024, 3, number)) << name << " differs";
      EXPECT_TRUE(first_extent_shared(name)) << name << " shares no block";
    }
  }
}

// A store through a shared writable mapping, into a page stored into
// before, moves neither time of the input: only a read lease, which cannot
// be had while the mapping exists, keeps such bytes out of the outputs.
TEST(OutputSafety, StoreThroughASharedMappingIsNotCloned) {
  scratch_mount xfs;
  if (xfs.path().empty()) GTEST_SKIP() << "no XFS image: " << xfs.why_not();
  // Where blocks are shared but no lease can be had (FreeBSD), such a
  // store is not seen.
  int probe = open((xfs.path() + "/probe").c_str(), O_RDONLY | O_CREAT, 0644);
  bool leases = platform::take_read_lease(probe) == 0;
  platform::drop_read_lease(probe);
  bool sharing = platform::share_blocks(probe, probe, 0) != EOPNOTSUPP;
  close(probe);
  if (sharing && !leases) GTEST_SKIP() << "this build shares blocks but takes no read lease";
  std::string input = model(64 * 1024, 3);
  const std::string at = xfs.path() + "/m.zelk";
  int fd = open(at.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  void* map = mmap(nullptr, input.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  close(fd);
  auto* bytes_mapped = static_cast<char*>(map);
  bytes_mapped[0] = input[0] = 'A';
  scan_result scanned = scan(at);
  bytes_mapped[0] = 'B';
  split_alone(at, scanned, settings{});
  ASSERT_EQ(munmap(map, input.size()), 0);
  for (int number = 0; number < 3; ++number) {
    std::string name = "/m-p" + std::to_string(number) + ".zelk";
    fd = open((xfs.path() + name).c_str(), O_RDONLY);
    std::string bytes(input.size(), '\0');
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(read(fd, bytes.data(), bytes.size()), 0)));
    close(fd);
    EXPECT_EQ(bytes.substr(0, 1), "A") << name << " holds a byte stored since the read";
  }
}

// A FAT file system has no unnamed temporaries, no renaming without
// replacing and no hard links: a name is still taken only by a complete
// output, and never when something is there.
TEST(OutputSafety, PublishesOnAFileSystemWithoutHardLinks) {
  scratch_mount fat("fat");
  if (fat.path().empty()) GTEST_SKIP() << "no FAT file system: " << fat.why_not();
  const std::string input = "a\nbad 1\nb\nbad 2\n";
  int fd = open((fat.path() + "/m.zelk").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ASSERT_EQ(close(fd), 0);
  struct example {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  } examples[] = {
      {{"m.zelk"}, 0, ""},
      {{"m.zelk"}, 1, "error: Output file m-p0.zelk already exists. Delete or use -f to overwrite\n"},
      {{"-f", "m.zelk"}, 0, ""},
  };
  for (const example& e : examples) {
    tool_result result = run_tool(fat.path(), e.arguments);
    EXPECT_EQ(result.status, e.status);
    EXPECT_EQ(result.err, e.err);
  }
  std::map<std::string, std::string> left;
  for (const char* name : {"m.zelk", "m-p0.zelk", "m-p1.zelk"}) {
    std::string bytes(64, '\0');
    fd = open((fat.path() + "/" + name).c_str(), O_RDONLY);
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(read(fd, bytes.data(), bytes.size()), 0)));
    close(fd);
    left[name] = bytes;
  }
  EXPECT_EQ(left, (std::map<std::string, std::string>{{"m.zelk", input},
                                                      {"m-p0.zelk", "a\nb\nbad 2\n"},
                                                      {"m-p1.zelk", "a\nbad 1\nb\n"}}));
}

// A full disk stops the run where one thread writing alone would stop it:
// outputs written ahead by other threads do not take the space first.
TEST(OutputSafety, FullDiskStopsWhereOneThreadWould) {
  scratch_mount small("tmpfs:20m");
  if (small.path().empty()) GTEST_SKIP() << "no small tmpfs: " << small.why_not();
  const std::size_t shared_bytes = 2300 * 1000;
  const std::string input = model(shared_bytes, 30);
  {
    std::FILE* file = std::fopen((small.path() + "/m.zelk").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), file), input.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  tool_result result = run_tool(small.path(), {"m.zelk"});
  EXPECT_EQ(result.err, "error: Cannot write output file m-p08.zelk: No space left on device\n");
  EXPECT_EQ(result.status, 1);
  int outputs = 0;
  for (int number = 0; number < 30; ++number) {
    char name[16];
    std::snprintf(name, sizeof name, "/m-p%02d.zelk", number);
    struct stat status;
    if (stat((small.path() + name).c_str(), &status) == 0) {
      ++outputs;
      EXPECT_EQ(static_cast<std::size_t>(status.st_size), output(shared_bytes, 30, number).size());
    }
  }
  EXPECT_EQ(outputs, 8);
}

// The same where the disk fills up as an output is named or cloned: the
// run goes on alone from that output, written and named again, and
// sharing stays on; with one thread, or when alone already, it stops there.
// Where outputs wait to be named in a group (on a disk; tmpfs too where
// the build cannot tell it from one), a naming that finds the disk full
// stops the run as with one thread: the group holds at most a quarter of
// the room the disk had, so it is not what filled it. Where the disk fills
// up as the outputs waiting are synced, no name is given to any of them:
// the run stops at the first. A naming, a sync or a clone fails through
// the harness (tests/harness.cc), whose clone stands in for a copy-on-write
// file system.
TEST(OutputSafety, FullDiskWhileNamingOrCloning) {
  const int count = 6;
  const std::size_t shared_bytes = 64 * 1024;
  const std::string input = model(shared_bytes, count);
  const std::string full = ": No space left on device\n";
  struct row {
    const char* name;
    std::string fault;  // a variable of the harness, or a setting "clones=..."
    int threads;
    bool force;
    std::string err;
    int outputs_left;  // the first ones
  };
  const row rows[] = {
      {"naming, one thread", "PROPSLICE_FULL_AT_NAMING=3", 1, false,
       "error: Cannot write output file m-p2.zelk" + full, 2},
      {"naming, three threads", "PROPSLICE_FULL_AT_NAMING=3", 3, false, "", count},
      {"naming, three threads, -f", "PROPSLICE_FULL_AT_NAMING=3", 3, true, "", count},
      {"naming, again when alone", "PROPSLICE_FULL_AT_NAMING=3+", 3, true,
       "error: Cannot write output file m-p2.zelk" + full, 2},
      {"cloning, one thread", "clones=2", 1, false,
       "error: Cannot write output file m-p1.zelk" + full, 1},
      {"cloning, three threads", "clones=2", 3, false, "", count},
      {"syncing the group, three threads", "PROPSLICE_FULL_AT_SYNC=1", 3, false,
       "error: Cannot write output file m-p0.zelk" + full, 0},
  };
  bool grouped;
  {
    scratch_directory probe("/dev/shm");
    int fd = open(probe.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    grouped = !platform::held_in_memory(fd);
    close(fd);
  }
  const bool shares_blocks = shares_blocks_through_a_call();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const bool cloning = r.fault.starts_with("clones=");
    if (cloning && !shares_blocks) continue;  // no clone to stand in for
    // Outputs are synced on a disk only, not on tmpfs.
    const bool syncing = r.fault.find("_SYNC=") != std::string::npos;
    scratch_directory dir(syncing ? "/tmp" : "/dev/shm"), log;
    dir.write("m.zelk", input);
    std::vector<std::string> arguments = {"m.zelk"};
    if (r.force) arguments.push_back("-f");
    std::vector<std::string> settings = {"PROPSLICE_FAULT_LOG=" + log / "log",
                                         harness_with_threads(r.threads)};
    if (cloning) settings[1] += "," + r.fault;
    else settings.push_back(r.fault);
    tool_result result = run_tool(dir.path(), arguments, with_environment(settings));
    std::string err = r.err;
    int outputs_left = r.outputs_left;
    if (grouped && !cloning && err.empty()) {
      err = "error: Cannot write output file m-p2.zelk" + full;
      outputs_left = 2;
    }
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, err.empty() ? 0 : 1);
    files left = dir.files();
    EXPECT_EQ(left.size(), 1u + outputs_left);  // and no temporary
    for (int number = 0; number < outputs_left; ++number) {
      std::string name = "m-p" + std::to_string(number) + ".zelk";
      EXPECT_TRUE(left[name] == output(shared_bytes, count, number)) << name << " differs";
    }
    if (cloning && r.err.empty()) {
      // Every output kept was cloned: sharing was not turned off.
      std::string events = log.read("log");
      EXPECT_GE(std::count(events.begin(), events.end(), 'c'), count) << events;
    }
  }
}

// A clone reads the file again: an input changed since it was read must
// never reach an output. A stand-in clone copies the bytes and changes
// the input before its first copy, as another process might.
TEST(OutputSafety, InputChangedAfterTheReadIsNotCloned) {
  if (!shares_blocks_through_a_call()) GTEST_SKIP() << "this build shares no blocks: no clone to stand in for";
  static std::string changed_input;
  static std::atomic<int> clones;  // the writing threads count them
  clones = 0;
  scratch_directory dir;
  const std::string input = model(64 * 1024, 3);
  dir.write("m.zelk", input);
  changed_input = dir / "m.zelk";
  auto copy_after_change = [](int source, off_t from, int target, off_t to, std::uint64_t length) {
    if (clones++ == 0) {
      // The change sets a time of its own: a clock too coarse to tell it
      // from the file's creation must not hide it.
      int fd = open(changed_input.c_str(), O_WRONLY);
      const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
      if (fd < 0 || pwrite(fd, "CHANGED", 7, 0) != 7 || futimens(fd, times) != 0 || close(fd) != 0)
        return EIO;
    }
    return copy_bytes(source, from, target, to, length);
  };
  clone_through(copy_after_change);
  const unsigned threads = sys::calls.writing_threads;
  if (threads == 0) sys::calls.writing_threads = 1;  // unless the suite runs with more
  settings run;
  split_alone(dir / "m.zelk", scan(dir / "m.zelk"), run);
  clone_through(nullptr);
  sys::calls.writing_threads = threads;
  // No more clones once the change was seen; with several threads, others
  // may have been under way.
  if (threads <= 1) {
    EXPECT_EQ(clones, 1);
  }
  for (int number = 0; number < 3; ++number) {
    std::string name = "m-p" + std::to_string(number) + ".zelk";
    EXPECT_TRUE(dir.read(name) == output(64 * 1024, 3, number)) << name << " differs";
  }
}

// SIGKILL cannot be caught: still no output name may hold a partial file,
// with or without -f. The messages of 2,000 outputs fill a small pipe,
// where the tool waits: the kill always finds it in mid-split. A run never
// removes a file it did not create, however much it looks like a
// temporary of a dead run: another run, perhaps on another machine sharing
// the directory, may be writing it.
TEST(OutputSafety, KilledSplitLeavesNoPartialFile) {
  const std::size_t shared_bytes = 64 * 1024;
  const std::string input = model(shared_bytes, 2000);
  struct lookalike {
    const char* name;
    mode_t mode;
    bool old;  // unchanged for two hours
  };
  const lookalike lookalikes[] = {
      {".propslice-0123456789abcdef.tmp", 0644, false},
      {".propslice-fedcba9876543210.tmp", 0644, true},
      {".propslice-00000000deadbeef.tmp", 0000, true},
      {".propslice-ABCDEF0123456789.tmp", 0644, true},
  };
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "-f" : "");
    scratch_directory dir("/dev/shm");
    dir.write("m.zelk", input);
    // An input that has a temporary's name is an input all the same.
    const std::string input_lookalike = ".propslice-aaaaaaaaaaaaaaaa.tmp";
    dir.write(input_lookalike, "bad 0\nbad 1\n");
    for (const lookalike& file : lookalikes) {
      dir.write(file.name, file.name);
      const timespec two_hours_ago[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
      if (file.old) {
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / file.name).c_str(), two_hours_ago, 0), 0);
      }
      ASSERT_EQ(chmod((dir / file.name).c_str(), file.mode), 0);
    }
    std::vector<std::string> arguments = {"-v", "m.zelk"};
    if (force) arguments.push_back("-f");
    tool_process tool(dir.path(), arguments, small_output_pipe);
    tool.read_output_line();  // Processing
    tool.read_output_line();  // Found
    EXPECT_EQ(tool.read_output_line(), "Generated m-p0000.zelk");
    tool.send(SIGKILL);
    EXPECT_EQ(tool.finish().signal, SIGKILL);
    for (const auto& [name, bytes] : dir.files()) {
      if (name == "m.zelk" || name.starts_with(".propslice-")) continue;
      ASSERT_EQ(name.substr(0, 3), "m-p") << "a stray file";
      ASSERT_TRUE(bytes == output(shared_bytes, 2000, std::stoi(name.substr(3, 4))))
          << name << " is incomplete";
    }
    ASSERT_EQ(run_tool(dir.path(), {input_lookalike}).status, 0);
    EXPECT_EQ(dir.read(input_lookalike), "bad 0\nbad 1\n");
    for (const lookalike& file : lookalikes) EXPECT_EQ(dir.read(file.name), file.name);
  }
}

// A benchmark set on a disk: complete outputs wait unnamed in groups that
// span inputs, synced at once, then named in number order with the
// messages between them. Killed (SIGKILL) after each count of message
// lines read, a run leaves what a run that named each output the moment it
// was written would leave: complete outputs, those reported and at most
// the next one, and in the named mode hidden temporaries (no run removes
// them). The inputs are reached through the long path of steps: the tool
// is held within a few lines of where the test stopped reading, before its
// first group is named, in the middle of naming one, or after. Not killed,
// the run names every output and then reports its last input.
TEST(OutputSafety, KilledAtEveryStageOfAGroup) {
  // Five models (properties each), one input with one property after the
  // second; the run fails at the last input.
  const std::vector<int> counts = {3, 2, 4, 3, 3};
  struct row {
    const char* name;
    std::string last, reason;  // the input that fails the run, and why
    rlim_t open_files;         // 14: groups of two (see output_descriptors_at_most); 0: as it is
  };
  const row rows[] = {
      // It exists: the failure itself names the waiting outputs first.
      {"one group, a directory last", "d", "Is a directory", 0},
      {"groups of two, a missing input last", "missing.zelk", "No such file or directory", 14},
  };
  for (const row& r : rows) {
    files inputs = {{"one.zelk", "x\nbad\n"}};
    std::vector<std::string> arguments = {"-v"}, order;  // order: the outputs, as named
    files outputs;
    std::string out;
    auto add_input = [&](const std::string& name) {
      arguments.push_back(steps + name);
      out += "Processing " + steps + name + "\n";
    };
    for (std::size_t i = 0; i < counts.size(); ++i) {
      const std::string base = "m" + std::to_string(i), own = base + " shared\n";
      add_input(base + ".zelk");
      inputs[base + ".zelk"] = own + model(300, counts[i]);
      out += found(inputs[base + ".zelk"], counts[i]);
      for (int number = 0; number < counts[i]; ++number) {
        const std::string name = base + "-p" + std::to_string(number) + ".zelk";
        order.push_back(name);
        outputs[name] = own + output(300, counts[i], number);
        out += "Generated " + steps + name + "\n";
      }
      if (i == 1) {
        add_input("one.zelk");
        out += "Found only one property. Nothing to split\n";
      }
    }
    add_input(r.last);
    const std::string err = "error: Cannot read input file " + steps + r.last + ": " + r.reason + "\n";
    const auto lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    auto in_child = [&r] {
      small_output_pipe();
      rlimit files{r.open_files, r.open_files};
      if (r.open_files != 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(127);
    };
    for (std::size_t k = 0; k <= lines; ++k) {
      SCOPED_TRACE(std::string(r.name) + ", SIGKILL after " + std::to_string(k) + " lines read");
      scratch_directory dir;  // under /tmp: on a disk
      for (const auto& [name, bytes] : inputs) dir.write(name, bytes);
      if (r.last == "d") {
        ASSERT_EQ(mkdir((dir / "d").c_str(), 0777), 0);
      }
      const bool named = !unnamed_files(dir.path());
      tool_process tool(dir.path(), arguments, in_child);
      for (std::size_t line = 0; line < k; ++line) tool.read_output_line();
      if (k < lines) tool.send(SIGKILL);
      tool_result result = tool.finish();
      if (result.signal != SIGKILL) {  // ended before the kill
        ASSERT_EQ(shown(result.out), shown(out));
        ASSERT_EQ(shown(result.err), shown(err));
        ASSERT_EQ(result.status, 1);
        files expected = inputs;
        expected.insert(outputs.begin(), outputs.end());
        if (r.last == "d") expected["d"] = "<dir>";
        ASSERT_EQ(dir.files(), expected);
        continue;
      }
      // What was printed, its last line perhaps cut short by the kill: a C
      // library may write a line longer than its buffer in two pieces
      // (musl's is 1 KiB, and these lines hold a 2,000-byte path).
      ASSERT_TRUE(out.starts_with(result.out)) << shown(result.out);
      // Killed before its report, or after it, as the process ended.
      if (!result.err.empty()) {
        ASSERT_EQ(shown(result.err), shown(err));
      }
      // Each output reported, and at most the next one (named, its message
      // not printed yet).
      std::size_t reported = 0;
      for (std::size_t at = 0; (at = result.out.find("\nGenerated ", at)) != std::string::npos; ++at)
        ++reported;
      const files left = dir.files();
      std::size_t present = 0;
      for (const auto& [name, bytes] : left) {
        if (inputs.count(name) != 0) {
          ASSERT_EQ(bytes, inputs[name]) << name;
        } else if (name == "d" && r.last == "d") {
          ASSERT_EQ(bytes, "<dir>");
        } else if (named && name.starts_with(".propslice-") && name.ends_with(".tmp")) {
          continue;  // a temporary of the killed run
        } else {
          ASSERT_EQ(outputs.count(name), 1u) << name << ": a stray file";
          ASSERT_TRUE(bytes == outputs[name]) << name << " is incomplete";
          ++present;
        }
      }
      // Which outputs are there, in number order: the first ones only.
      std::string there;
      for (const std::string& name : order) there += left.count(name) != 0 ? '+' : '-';
      EXPECT_EQ(there, std::string(present, '+') + std::string(order.size() - present, '-'));
      EXPECT_GE(present, reported);
      EXPECT_LE(present, reported + 1);
    }
  }
}

// Many outputs on a disk wait in several groups, each synced while the
// next is written: the run prints, names and leaves what it would if each
// output were synced and named at once, messages between groups included.
// Where a later group's sync fails, the groups before it keep their names
// and nothing after the failing output is named, printed or left.
TEST(OutputSafety, GroupsSyncedWhileTheNextIsWritten) {
  constexpr int models = 400;
  for (const char* fault : {"", "PROPSLICE_FULL_AT_SYNC=2"}) {
    SCOPED_TRACE(*fault ? fault : "no fault");
    scratch_directory dir;  // under /tmp: on a disk
    std::vector<std::string> arguments = {"-v"}, order;
    std::vector<std::size_t> out_before;  // stdout's length before output i is reported
    files expected;
    std::string out;
    for (int i = 0; i < models; ++i) {
      const std::string base = std::string("m").append(std::to_string(1000 + i));
      const int count = i % 50 == 7 ? 1 : 3;  // some print a message and make nothing
      const std::string input = model(200, count);
      dir.write(base + ".zelk", input);
      expected[base + ".zelk"] = input;
      arguments.push_back(base + ".zelk");
      out += "Processing " + base + ".zelk\n";
      if (count == 1) {
        out += "Found only one property. Nothing to split\n";
        continue;
      }
      out += found(input, count);
      for (int number = 0; number < count; ++number) {
        const std::string name = base + "-p" + std::to_string(number) + ".zelk";
        expected[name] = output(200, count, number);
        out_before.push_back(out.size());
        out += "Generated " + name + "\n";
        order.push_back(name);
      }
    }
    std::vector<std::string> settings = {harness_with_threads(1)};
    if (*fault) settings.push_back(fault);
    tool_result result = run_tool(dir.path(), arguments, with_harness(settings));
    const files left = dir.files();
    if (!*fault) {
      EXPECT_EQ(shown(result.out), shown(out));
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(left, expected);
      continue;
    }
    // The first output not named is the one reported, and those before it
    // are all there is, each exact; the messages before it are printed.
    std::size_t named = 0;
    while (named < order.size() && left.count(order[named]) != 0) ++named;
    ASSERT_LT(named, order.size());
    EXPECT_EQ(result.err, "error: Cannot write output file " + order[named] +
                              ": No space left on device\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(shown(result.out), shown(out.substr(0, out_before[named])));
    files kept;
    for (const auto& [name, bytes] : expected)
      if (name.find("-p") == std::string::npos) kept[name] = bytes;
    for (std::size_t i = 0; i < named; ++i) kept[order[i]] = expected[order[i]];
    EXPECT_EQ(left, kept);  // no temporary either
  }
}

namespace {

// The hidden temporaries in `directory`.
std::size_t hidden_temporaries(const std::string& directory) {
  std::size_t hidden = 0;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return 0;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    hidden += name.starts_with(".propslice-") && name.ends_with(".tmp") ? 1 : 0;
  }
  closedir(listing);
  return hidden;
}

// The names that a FUSE server gave files of a directory, while watched,
// to keep them open after their names were removed.
class fuse_hidden_in {
 public:
  explicit fuse_hidden_in(const std::string& directory) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0 && inotify_add_watch(fd_, directory.c_str(), IN_MOVED_TO) < 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~fuse_hidden_in() {
    if (fd_ >= 0) close(fd_);
  }
  bool watching() const { return fd_ >= 0; }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    alignas(inotify_event) char events[1 << 16];
    for (ssize_t got; (got = read(fd_, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len != 0 && std::string_view(event->name).starts_with(".fuse_hidden"))
          names.emplace_back(event->name);
        at += sizeof(inotify_event) + event->len;
      }
    }
    return names;
  }

 private:
  int fd_;
};

}  // namespace

// Through FUSE (bindfs), where unnamed files are refused, outputs wait as
// hidden temporaries: a run names every output right, and what a SIGKILL
// leaves is a few of them at most (four waiting, two per writing thread;
// this suite runs at most three), however many outputs a group could hold.
// No output is open when its hidden name goes, which the FUSE server would
// keep as a .fuse_hidden* file (left by a power cut) until it was closed.
TEST(OutputSafety, ThroughFuseFewHiddenTemporariesAtATime) {
  constexpr int models = 150;
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "to the end");
    scratch_directory dir;
    scratch_mount fuse("bindfs-hiding:" + dir.path());
    if (fuse.path().empty()) GTEST_SKIP() << "no bindfs mount: " << fuse.why_not();
    files expected;
    std::vector<std::string> arguments = {"-v"};
    std::string out;
    for (int i = 0; i < models; ++i) {
      const std::string base = std::string("m").append(std::to_string(1000 + i));
      const std::string input = model(300, 3);
      dir.write(base + ".zelk", input);
      expected[base + ".zelk"] = input;
      arguments.push_back(steps + base + ".zelk");
      out += "Processing " + steps + base + ".zelk\n" + found(input, 3);
      for (int number = 0; number < 3; ++number) {
        const std::string name = base + "-p" + std::to_string(number) + ".zelk";
        expected[name] = output(300, 3, number);
        out += "Generated " + steps + name + "\n";
      }
    }
    fuse_hidden_in kept_open(dir.path());
    ASSERT_TRUE(kept_open.watching()) << strerror(errno);
    tool_process tool(fuse.path(), arguments, small_output_pipe);
    if (killed) {
      for (int line = 0; line < 40; ++line) tool.read_output_line();
      tool.send(SIGKILL);
    }
    tool_result result = tool.finish();
    const std::size_t hidden = hidden_temporaries(dir.path());
    if (!killed) {
      EXPECT_EQ(shown(result.out), shown(out));
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(dir.files(), expected);
      EXPECT_EQ(kept_open.names(), std::vector<std::string>{});
      continue;
    }
    ASSERT_EQ(result.signal, SIGKILL);
    EXPECT_LE(hidden, 4u + 2 * 3) << "hidden temporaries left by the kill";
    for (const auto& [name, bytes] : dir.files()) {
      if (name.starts_with(".propslice-")) continue;
      ASSERT_EQ(expected.count(name), 1u) << name << ": a stray file";
      ASSERT_TRUE(bytes == expected[name]) << name << " is incomplete";
    }
  }
}

// A low open-file limit makes groups smaller, not single: with 64
// descriptors, 300 outputs on a disk are made durable in a few dozen
// groups (seen as runs of syncs between runs of namings, with strace);
// where outputs wait under hidden names, in groups of 4 still.
TEST(OutputSafety, LowOpenFileLimitStillGroups) {
  const std::string strace = access("/usr/bin/strace", X_OK) == 0 ? "/usr/bin/strace" : "";
  if (strace.empty()) GTEST_SKIP() << "no /usr/bin/strace";
  scratch_directory dir;  // under /tmp: on a disk
  constexpr int models = 100;
  // The program that tool_process would run, so that unnamed_files() tells
  // how its outputs wait.
  const bool named = !unnamed_files(dir.path());
  std::vector<std::string> arguments = {
      "-f", "-qq", "-o", dir / "trace", "-e", "trace=fdatasync,fsync,syncfs,linkat,renameat2,renameat",
      std::getenv("PROPSLICE_HARNESS") ? PROPSLICE_HARNESS_BINARY : PROPSLICE_BINARY};
  for (int i = 0; i < models; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "m%03d.zelk", i);
    dir.write(name, model(300, 3));
    arguments.push_back(name);
  }
  auto in_child = [] {
    rlimit files{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(127);
    // LeakSanitizer refuses to run under ptrace; the rest of AddressSanitizer
    // still checks the run.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
  };
  tool_result result = run_tool(dir.path(), arguments, in_child, strace);
  ASSERT_EQ(result.status, 0) << result.err;
  std::size_t groups = 0, namings = 0;
  bool syncing = false;
  std::istringstream trace(dir.read("trace"));
  for (std::string line; std::getline(trace, line);) {
    if (line.find("sync") != std::string::npos) {
      syncing = true;
    } else if (line.find("link") != std::string::npos || line.find("rename") != std::string::npos) {
      groups += syncing ? 1 : 0;
      syncing = false;
      ++namings;
    }
  }
  EXPECT_EQ(namings, 3u * models);
  EXPECT_LE(groups, named ? 3u * models / 4 : 3u * models / 8) << "outputs made durable one by one";
  EXPECT_GE(groups, 1u);
}

namespace {

// Two runs in one directory at the same time: one held mid-split, its
// outputs waiting under hidden names, while another splits an input there
// from start to end; then the first goes on. Neither touches the other's
// files: both end with status 0 and every output exact. Each run reaches
// the directory through its own path (`held_at`, `other_at`) and runs its
// own build (`held_program`, `other_program`; "": the one under test).
void two_runs_at_once(const scratch_directory& dir, const std::string& held_at,
                      const std::string& held_program, const std::string& other_at,
                      const std::string& other_program) {
  const std::size_t shared_bytes = 1024;
  const int count = 40;
  const std::string held_input = model(shared_bytes, count), other_input = model(shared_bytes, 3);
  dir.write("held.zelk", held_input);
  dir.write("other.zelk", other_input);
  files expected = {{"held.zelk", held_input}, {"other.zelk", other_input}};
  std::string held_out = "Processing " + steps + "held.zelk\n" + found(held_input, count);
  for (int number = 0; number < count; ++number) {
    char name[32];
    std::snprintf(name, sizeof name, "held-p%02d.zelk", number);
    held_out += "Generated " + steps + name + "\n";
    expected[name] = output(shared_bytes, count, number);
  }
  std::string other_out = "Processing other.zelk\n" + found(other_input, 3);
  for (int number = 0; number < 3; ++number) {
    const std::string name = "other-p" + std::to_string(number) + ".zelk";
    other_out += "Generated " + name + "\n";
    expected[name] = output(shared_bytes, 3, number);
  }

  // Its messages, named through the long path of steps, fill a small pipe,
  // where it waits; its outputs wait under hidden names, as where unnamed
  // files are refused (the baseline build always does so).
  tool_process held(held_at, {"-v", steps + "held.zelk"}, [] {
    small_output_pipe();
    with_environment({"PROPSLICE_HARNESS=threads=2,named"})();
  }, held_program);
  // The pipe takes the lines up to the first output's and a few bytes of
  // the second's, which the held run prints once it has named that output:
  // until the test reads, the rest of its group waits under hidden names.
  // (Lines read here would let it name the rest first.)
  for (int looks = 0; access((dir / "held-p01.zelk").c_str(), F_OK) != 0; ++looks) {
    ASSERT_LT(looks, 120'000) << "the held run never named its second output";  // it ended
    usleep(1000);
  }
  // Listed by name only: the held run renames them meanwhile.
  std::size_t hidden = 0;
  DIR* listing = opendir(dir.path().c_str());
  ASSERT_NE(listing, nullptr);
  while (const dirent* entry = readdir(listing))
    hidden += std::string_view(entry->d_name).starts_with(".propslice-") ? 1 : 0;
  closedir(listing);
  EXPECT_GT(hidden, 0u) << "the held run has no hidden temporary to disturb";

  tool_result other = run_tool(other_at, {"-v", "other.zelk"}, {}, other_program);
  EXPECT_EQ(other.out, other_out);
  EXPECT_EQ(other.err, "");
  EXPECT_EQ(other.status, 0);
  tool_result result = held.finish();
  EXPECT_EQ(shown(result.out), shown(held_out));
  EXPECT_EQ(shown(result.err), "");
  EXPECT_EQ(result.status, 0);
  files left = dir.files();
  EXPECT_EQ(left.size(), expected.size());  // no temporary left
  for (const auto& [name, bytes] : left)
    EXPECT_TRUE(expected.count(name) != 0 && expected[name] == bytes) << name << " is not as expected";
}

}  // namespace

// Two FUSE mounts of one directory (bindfs) do not share their locks, as
// two machines sharing a network file system may not: no lock could tell a
// run whether a temporary it sees through one is live. Runs only ever
// remove what they created, so each leaves the other's alone.
TEST(OutputSafety, RunsThroughTwoMountsOfOneDirectory) {
  scratch_directory dir;
  scratch_mount first("bindfs:" + dir.path());
  if (first.path().empty()) GTEST_SKIP() << "no bindfs mount: " << first.why_not();
  scratch_mount second("bindfs:" + dir.path());
  if (second.path().empty()) GTEST_SKIP() << "no second bindfs mount: " << second.why_not();
  two_runs_at_once(dir, first.path(), "", second.path(), "");
}

// The same for runs of this build and of the POSIX baseline build in one
// directory, whichever is held: on Linux their locks would not see each
// other either (flock, POSIX record locks). The baseline's propslice is
// named by PROPSLICE_BASELINE_BINARY (.ci/run sets it once both are built).
TEST(OutputSafety, RunsOfTwoBuildsInOneDirectory) {
  const char* baseline = std::getenv("PROPSLICE_BASELINE_BINARY");
  if (baseline == nullptr || *baseline == '\0')
    GTEST_SKIP() << "PROPSLICE_BASELINE_BINARY names no baseline build to run beside this one";
  for (bool baseline_held : {true, false}) {
    SCOPED_TRACE(baseline_held ? "the baseline held" : "this build held");
    scratch_directory dir;
    two_runs_at_once(dir, dir.path(), baseline_held ? baseline : "", dir.path(),
                     baseline_held ? "" : baseline);
  }
}

// Any output path that the system accepts works, with -f too: nothing on
// the way is named by a longer path. The input sits 4,076 bytes deep.
TEST(OutputSafety, OutputPathNearTheLimit) {
  scratch_directory dir;
  std::vector<int> levels = {open(dir.path().c_str(), O_RDONLY | O_DIRECTORY)};
  std::vector<std::string> names;
  std::string relative;
  for (int i = 0; i < 17; ++i) {
    names.push_back(std::string(i < 16 ? 250 : 59, 'd'));
    ASSERT_EQ(mkdirat(levels.back(), names.back().c_str(), 0777), 0);
    levels.push_back(openat(levels.back(), names.back().c_str(), O_RDONLY | O_DIRECTORY));
    relative += names.back() + "/";
  }
  int deepest = levels.back();
  const std::string input = "x\nbad 1\nbad 2\n";
  int fd = openat(deepest, "m.zelk", O_WRONLY | O_CREAT, 0666);
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  auto read_at = [deepest](const char* name) {
    char bytes[64];
    int file = openat(deepest, name, O_RDONLY);
    ssize_t count = file < 0 ? -1 : read(file, bytes, sizeof bytes);
    close(file);
    return count < 0 ? std::string("<missing>") : std::string(bytes, static_cast<std::size_t>(count));
  };
  for (const char* option : {"-v", "-f"}) {
    SCOPED_TRACE(option);
    tool_result result = run_tool(dir.path(), {option, relative + "m.zelk"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_at("m-p0.zelk"), "x\nbad 2\n");
    EXPECT_EQ(read_at("m-p1.zelk"), "x\nbad 1\n");
  }
  // Too deep for the removal of the scratch directory: taken apart here.
  for (const char* name : {"m.zelk", "m-p0.zelk", "m-p1.zelk"}) unlinkat(deepest, name, 0);
  for (std::size_t i = names.size(); i-- > 0;) {
    close(levels[i + 1]);
    unlinkat(levels[i], names[i].c_str(), AT_REMOVEDIR);
  }
  close(levels[0]);
}
