// Failures and interruptions: the tool must say what went wrong, end with the
// right status, and leave only complete outputs behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "split/scan.h"
#include "support/scan_support.h"
#include "tool_runner.h"

namespace {

using files = std::map<std::string, std::string>;

const std::string two = "x\nbad 1\nbad 2\n";
const files two_outputs = {{"m.zelk", two}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "x\nbad 1\n"}};

// `shared` followed by the property lines, in one block at the end.
std::string model_with_properties(const std::string& shared, const std::vector<std::string>& properties) {
  std::string text = shared;
  for (const std::string& line : properties) text += line + "\n";
  return text;
}

void limit_file_size(rlim_t bytes) {
  rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace

TEST(Faults, UnreadableInputs) {
  struct example {
    const char* name;
    std::string path, err;
  };
  const example examples[] = {
      {"a directory", "d", "error: Cannot read input file d: Is a directory\n"},
      {"a missing file", "missing.zelk", "error: Cannot read input file missing.zelk: No such file or directory\n"},
      {"a missing directory", "no/m.zelk", "error: Cannot read input file no/m.zelk: No such file or directory\n"},
  };
  for (const example& e : examples) {
    SCOPED_TRACE(e.name);
    scratch_directory dir;
    mkdir((dir / "d").c_str(), 0777);
    tool_result result = run_tool(dir.path(), {"-v", e.path});
    EXPECT_EQ(result.out, "Processing " + e.path + "\n");
    EXPECT_EQ(result.err, e.err);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.files(), (files{{"d", "<dir>"}}));
  }
}

TEST(Faults, ObjectsInTheWayOfAnOutput) {
  // At the name m-p1.zelk: a dangling link to "target", or a directory, or a
  // link to the file "other", or a file.
  auto set_up = [](const scratch_directory& dir, const std::string& what) {
    dir.write("m.zelk", two);
    mkdir((dir / "d").c_str(), 0777);
    if (what == "dangling") symlink("target", (dir / "m-p1.zelk").c_str());
    if (what == "directory") mkdir((dir / "m-p1.zelk").c_str(), 0777);
    if (what == "link") {
      dir.write("other", "other\n");
      symlink("other", (dir / "m-p1.zelk").c_str());
    }
    if (what == "file") dir.write("m-p1.zelk", "mine\n");
  };
  const std::string exists =
      "error: Output file m-p1.zelk already exists. Delete or use -f to overwrite\n";
  // Faults from the harness (tests/harness.cc): a file system without hard
  // links, as FAT, where names are taken over placeholders; and another
  // process that takes the name of output 0 between its placeholder and
  // the rename over it.
  const std::vector<std::string> fat = {"PROPSLICE_NO_LINKS=1"};
  const std::vector<std::string> fat_and_taker = {"PROPSLICE_NO_LINKS=1",
                                                  "PROPSLICE_TAKE_NAME_BEFORE_RENAME=1"};
  const files replaced = {
      {"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "x\nbad 1\n"}};
  struct row {
    const char* what;
    bool force;
    std::vector<std::string> faults;  // with named temporaries
    std::string err;
    int status;
    files after;
  };
  const row rows[] = {
      {"dangling", false, {}, exists, 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "-> target"}}},
      {"dangling", true, {}, "", 0,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "x\nbad 1\n"}}},
      {"link", true, {}, "", 0,
       {{"m.zelk", two}, {"d", "<dir>"}, {"other", "other\n"}, {"m-p0.zelk", "x\nbad 2\n"},
        {"m-p1.zelk", "x\nbad 1\n"}}},
      {"directory", false, {}, exists, 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "<dir>"}}},
      {"directory", true, {}, "error: Cannot write output file m-p1.zelk: Is a directory\n", 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "<dir>"}}},
      {"file", false, fat, exists, 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "mine\n"}}},
      {"nothing", false, fat_and_taker,
       "error: Output file m-p0.zelk already exists. Delete or use -f to overwrite\n", 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "taken\n"}}},

      // Without the system's random bytes (refused as in a sandbox, and
      // /dev/urandom missing in the last), hidden names are made all the same.
      {"file", true, {"PROPSLICE_NO_RANDOM=" + std::to_string(ENOSYS)}, "", 0, replaced},
      {"file", true, {"PROPSLICE_NO_RANDOM=" + std::to_string(EPERM)}, "", 0, replaced},
      {"file", true, {"PROPSLICE_NO_RANDOM=" + std::to_string(EAGAIN) + "+"}, "", 0, replaced},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.what) + (r.force ? " -f" : "") + (r.faults.empty() ? "" : " " + r.faults.back()));
    scratch_directory dir;
    set_up(dir, r.what);
    std::vector<std::string> arguments = {"m.zelk"};
    if (r.force) arguments.push_back("-f");
    std::vector<std::string> settings = r.faults;
    settings.push_back(harness_with_threads(1) + ",named");
    tool_result result =
        run_tool(dir.path(), arguments, r.faults.empty() ? std::function<void()>() : with_environment(settings));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(dir.files(), r.after);  // also: no temporary file left
  }
}

// Output directories by their permissions, the working directory or one
// below it: one that can be written and searched but not listed (0333)
// takes outputs as any other, whatever a build opens directories with; one
// that can only be searched (0111) fails the first output with the
// system's reason. The tool runs bound by permissions, even under root.
TEST(Faults, OutputDirectoriesByTheirPermissions) {
  if (!permissions_can_bind_the_tool()) GTEST_SKIP() << "root cannot give up its overrides here";
  const files outputs = {{"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "x\nbad 1\n"}};
  const files old_p1 = {{"m-p1.zelk", "old\n"}};
  struct row {
    const char* name;
    std::string directory;  // of the input and its outputs; "" the working one
    mode_t mode;
    files before;  // in it, beside the input
    std::vector<std::string> arguments;  // before the input
    std::string err;
    int status;
    files after;  // in it, beside the input
  };
  const row rows[] = {
      {"working, 0333", "", 0333, {}, {}, "", 0, outputs},
      {"below, 0333", "d/", 0333, {}, {"-v"}, "", 0, outputs},
      {"below, 0333, -f over an output", "d/", 0333, old_p1, {"-f"}, "", 0, outputs},
      {"below, 0333, an output in the way", "d/", 0333, old_p1, {},
       "error: Output file d/m-p1.zelk already exists. Delete or use -f to overwrite\n", 1,
       {{"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "old\n"}}},
      {"below, 0111", "d/", 0111, {}, {},
       "error: Cannot write output file d/m-p0.zelk: Permission denied\n", 1, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_directory dir;
    dir.write(r.directory + "m.zelk", two);
    for (const auto& [name, bytes] : r.before) dir.write(r.directory + name, bytes);
    const std::string held = r.directory.empty() ? dir.path() : dir / r.directory;
    ASSERT_EQ(chmod(held.c_str(), r.mode), 0);
    std::vector<std::string> arguments = r.arguments;
    arguments.push_back(r.directory + "m.zelk");
    tool_result result = run_tool(dir.path(), arguments, without_permission_override);
    ASSERT_EQ(chmod(held.c_str(), 0700), 0);  // to be listed below
    const bool verbose = r.arguments == std::vector<std::string>{"-v"};
    EXPECT_EQ(result.out, verbose ? "Processing d/m.zelk\nFound 2 properties in 3 lines\n"
                                    "Generated d/m-p0.zelk\nGenerated d/m-p1.zelk\n"
                                  : "");
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.status, r.status);
    files expected = {{r.directory + "m.zelk", two}};
    if (!r.directory.empty()) expected["d"] = "<dir>";
    for (const auto& [name, bytes] : r.after) expected[r.directory + name] = bytes;
    EXPECT_EQ(dir.files(), expected);  // and no temporary left
  }
}

// The third output is the largest and goes past the file size limit.
TEST(Faults, WriteFailurePartWayThroughTheThirdOutput) {
  const std::string shared(3000, 's');
  const std::string long_property = "bad " + std::string(5000, 'p');
  const std::string input =
      model_with_properties(shared + "\n", {"bad 0", long_property, "bad 2", "bad 3"});
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "-f" : "");
    scratch_directory dir;
    dir.write("m.zelk", input);
    if (force) dir.write("m-p2.zelk", "before\n");
    std::vector<std::string> arguments = {"-v", "m.zelk"};
    if (force) arguments.push_back("-f");
    tool_result result = run_tool(dir.path(), arguments, [] { limit_file_size(6000); });
    EXPECT_EQ(result.out,
              "Processing m.zelk\nFound 4 properties in 5 lines\nGenerated m-p0.zelk\n"
              "Generated m-p1.zelk\n");
    EXPECT_EQ(result.err, "error: Cannot write output file m-p2.zelk: File too large\n");
    EXPECT_EQ(result.status, 1);
    files expected = {{"m.zelk", input},
                      {"m-p0.zelk", shared + "\nbad 3\n"},
                      {"m-p1.zelk", shared + "\nbad 2\n"}};
    if (force) expected["m-p2.zelk"] = "before\n";
    EXPECT_EQ(dir.files(), expected);
  }
}

// Killed part-way through a split: only complete outputs remain. The
// messages of its 2,000 outputs fill a small pipe, where the tool waits:
// the signal finds it in mid-split, however loaded the machine (and most
// often while it writes).
TEST(Faults, InterruptedSplitLeavesOnlyCompleteOutputs) {
  std::string shared;
  while (shared.size() < 16 * 1024) shared += std::to_string(shared.size()) + " and 1 12 9\n";
  const int count = 2000;
  std::vector<std::string> properties;
  for (int i = 0; i < count; ++i) properties.push_back(std::to_string(i) + " bad " + std::to_string(i));
  const std::string input = model_with_properties(shared, properties);
  const std::string found = "Found 2000 properties in " +
                            std::to_string(std::count(input.begin(), input.end(), '\n')) + " lines";

  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    for (bool force : {false, true}) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) + (force ? " -f" : ""));
      scratch_directory dir;
      dir.write("m.zelk", input);
      std::vector<std::string> arguments = {"-v", "m.zelk"};
      if (force) arguments.push_back("-f");
      tool_process tool(dir.path(), arguments, small_output_pipe);
      EXPECT_EQ(tool.read_output_line(), "Processing m.zelk");
      EXPECT_EQ(tool.read_output_line(), found);
      EXPECT_EQ(tool.read_output_line(), "Generated m-p0000.zelk");
      tool.send(signal_number);
      tool_result result = tool.finish();
      EXPECT_EQ(result.signal, signal_number);
      files left = dir.files();
      EXPECT_GE(left.size(), 2u);
      for (const auto& [name, bytes] : left) {
        if (name == "m.zelk") continue;
        ASSERT_EQ(name.substr(0, 3), "m-p") << "a stray file";
        int number = std::stoi(name.substr(3, 4));
        ASSERT_TRUE(bytes == shared + properties[count - 1 - number] + "\n") << name << " is incomplete";
      }
    }
  }
}

// Whatever the tool inherits, it does what it promises: with SIGHUP
// ignored, as under nohup, a hangup mid-split changes nothing; with SIGIO
// blocked or ignored, someone opening the input for writing mid-split is
// not held up by the tool's read lease (the system would hold them for its
// whole lease-break time, 45 s by default). The tool waits on a small pipe
// for its messages to be read, so each event comes before the end. Clones
// go through a stand-in that copies, so that the lease counts until the
// last output.
TEST(Faults, SignalsAsTheToolWasStarted) {
  std::string shared;
  while (shared.size() < 16 * 1024) shared += std::to_string(shared.size()) + " and 1 12 9\n";
  std::vector<std::string> properties;
  for (int i = 0; i < 1000; ++i) properties.push_back(std::to_string(i) + " bad " + std::to_string(i));
  const std::string input = model_with_properties(shared, properties);
  struct row {
    const char* name;
    std::function<void()> at_start;
    bool hangup;  // else the input is opened for writing
  };
  const row rows[] = {
      {"SIGHUP ignored", [] { signal(SIGHUP, SIG_IGN); }, true},
      {"SIGIO blocked", [] {
         sigset_t io;
         sigemptyset(&io);
         sigaddset(&io, SIGIO);
         sigprocmask(SIG_BLOCK, &io, nullptr);
       }, false},
      {"SIGIO ignored", [] { signal(SIGIO, SIG_IGN); }, false},
  };
  const char* settings = std::getenv("PROPSLICE_HARNESS");
  const std::string copying_clones =
      std::string("PROPSLICE_HARNESS=") + (settings ? settings : "") + ",clones=0";
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_directory dir("/dev/shm");
    dir.write("m.zelk", input);
    tool_process tool(dir.path(), {"-v", "m.zelk"}, [&] {
      r.at_start();
      with_environment({copying_clones})();
      small_output_pipe();
    });
    EXPECT_EQ(tool.read_output_line(), "Processing m.zelk");
    tool.read_output_line();  // Found
    EXPECT_EQ(tool.read_output_line(), "Generated m-p0000.zelk");
    if (r.hangup) {
      tool.send(SIGHUP);
    } else {
      // A writer that does not wait: each try starts the break of the
      // lease, if any, and fails while it is held.
      bool opened = false;
      for (int tries = 0; tries < 1000 && !opened; ++tries) {
        int fd = open((dir / "m.zelk").c_str(), O_WRONLY | O_NONBLOCK);
        opened = fd >= 0;
        if (opened)
          close(fd);
        else
          usleep(10 * 1000);
      }
      EXPECT_TRUE(opened) << "the writer waited 10 s for the tool's lease";
    }
    tool_result result = tool.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    files left = dir.files();
    ASSERT_EQ(left.size(), 1001u);
    for (int number = 0; number < 1000; ++number) {
      char name[32];
      std::snprintf(name, sizeof name, "m-p%04d.zelk", number);
      ASSERT_TRUE(left[name] == shared + properties[999 - number] + "\n") << name << " is incomplete";
    }
  }
}

TEST(Faults, InputFromANamedPipe) {
  std::string input = "shared\n";
  for (int i = 0; i < 20000; ++i) input += std::to_string(i) + " and 1 12 9\n";
  input += "bad 1\nbad 2";
  scratch_directory dir;
  ASSERT_EQ(mkfifo((dir / "pipe.zelk").c_str(), 0666), 0);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open((dir / "pipe.zelk").c_str(), O_WRONLY);
    for (std::size_t at = 0; at < input.size(); at += 1000) {
      std::size_t count = std::min<std::size_t>(1000, input.size() - at);
      if (write(fd, input.data() + at, count) != static_cast<ssize_t>(count)) _exit(1);
      if (at % 50000 == 0) usleep(1000);
    }
    _exit(close(fd) == 0 ? 0 : 1);
  }
  tool_result result = run_tool(dir.path(), {"pipe.zelk"});
  int writer_status = 0;
  waitpid(writer, &writer_status, 0);
  EXPECT_EQ(writer_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  std::string shared = input.substr(0, input.size() - std::string("bad 1\nbad 2").size());
  EXPECT_EQ(dir.files(), (files{{"pipe.zelk", "<fifo>"},
                                {"pipe-p0.zelk", shared + "bad 2\n"},
                                {"pipe-p1.zelk", shared + "bad 1\n"}}));
}

// A pipe after a regular input, on a disk: the outputs of the first are
// named before the pipe is read, so a writer that waits for one of them
// (as a pipeline stage might) is not waited for in turn. The writer gives
// up after 20 seconds and writes all the same: a run that held the outputs
// back then ends too, and the writer's status tells.
TEST(Faults, NamedPipeAfterARegularInput) {
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "-f" : "");
    scratch_directory dir;  // under /tmp: on a disk
    dir.write("a.zelk", two);
    ASSERT_EQ(mkfifo((dir / "p.zelk").c_str(), 0666), 0);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      int waited = 0;
      for (struct stat status; stat((dir / "a-p0.zelk").c_str(), &status) != 0 && waited < 20000;
           waited += 10)
        usleep(10000);
      int fd = open((dir / "p.zelk").c_str(), O_WRONLY);
      bool wrote = fd >= 0 && write(fd, two.data(), two.size()) == static_cast<ssize_t>(two.size());
      _exit(wrote && close(fd) == 0 && waited < 20000 ? 0 : 1);
    }
    std::vector<std::string> arguments = {"-v", "a.zelk", "p.zelk"};
    if (force) arguments.push_back("-f");
    tool_result result = run_tool(dir.path(), arguments);
    int writer_status = 0;
    waitpid(writer, &writer_status, 0);
    EXPECT_EQ(writer_status, 0) << "the writer waited in vain for a-p0.zelk";
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "Processing a.zelk\nFound 2 properties in 3 lines\nGenerated a-p0.zelk\n"
              "Generated a-p1.zelk\nProcessing p.zelk\nFound 2 properties in 3 lines\n"
              "Generated p-p0.zelk\nGenerated p-p1.zelk\n");
    EXPECT_EQ(dir.files(), (files{{"a.zelk", two}, {"a-p0.zelk", "x\nbad 2\n"}, {"a-p1.zelk", "x\nbad 1\n"},
                                  {"p.zelk", "<fifo>"}, {"p-p0.zelk", "x\nbad 2\n"},
                                  {"p-p1.zelk", "x\nbad 1\n"}}));
  }
}

// An output lands beside the input it was split from, as the input's path
// names it when it is read: here `cur` names A for the first input and B
// for the last, changed while the tool reads a pipe between them (the
// writer changes it once the tool has opened the pipe).
TEST(Faults, DirectoryChangedBetweenInputs) {
  struct row {
    const char* name;
    const char* change;  // run by the writer of the pipe, in the test's directory
  };
  const row rows[] = {
      {"a symbolic link turned", "ln -s B cur.new && mv -T cur.new cur"},
      {"a directory renamed over", "mv A old && mv B A"},
  };
  const std::string three = "y\nbad 1\nbad 2\nbad 3\n";
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_directory dir;  // under /tmp: on a disk
    dir.write("A/first.zelk", two);
    dir.write("A/last.zelk", two);
    dir.write("B/last.zelk", three);
    const bool link = std::string(r.change).starts_with("ln");
    if (link) {
      ASSERT_EQ(symlink("A", (dir / "cur").c_str()), 0);
    }
    const std::string at = link ? "cur/" : "A/";
    ASSERT_EQ(mkfifo((dir / "p.zelk").c_str(), 0666), 0);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      int fd = open((dir / "p.zelk").c_str(), O_WRONLY);  // once the tool reads it
      std::string change = "cd " + dir.path() + " && " + r.change;
      bool changed = std::system(change.c_str()) == 0;
      bool wrote = fd >= 0 && write(fd, "bad\n", 4) == 4;
      _exit(changed && wrote && close(fd) == 0 ? 0 : 1);
    }
    tool_result result = run_tool(dir.path(), {at + "first.zelk", "p.zelk", at + "last.zelk"});
    int writer_status = 0;
    waitpid(writer, &writer_status, 0);
    EXPECT_EQ(writer_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    files expected = {{"p.zelk", "<fifo>"}};
    const std::string first = link ? "A/" : "old/", last = link ? "B/" : "A/";
    expected[first + "first.zelk"] = two;
    expected[first + "first-p0.zelk"] = "x\nbad 2\n";
    expected[first + "first-p1.zelk"] = "x\nbad 1\n";
    expected[first + "last.zelk"] = two;
    expected[last + "last.zelk"] = three;
    expected[last + "last-p0.zelk"] = "y\nbad 3\n";
    expected[last + "last-p1.zelk"] = "y\nbad 2\n";
    expected[last + "last-p2.zelk"] = "y\nbad 1\n";
    expected[first.substr(0, first.size() - 1)] = expected[last.substr(0, last.size() - 1)] = "<dir>";
    if (link) expected["cur"] = "-> B";
    EXPECT_EQ(dir.files(), expected);
  }
}

TEST(Faults, TenThousandProperties) {
  const std::vector<std::uint64_t> shared = {0, 2500, 5001, 7777, 10004};
  auto line = [&](std::uint64_t i) {
    bool is_shared = std::find(shared.begin(), shared.end(), i) != shared.end();
    return std::to_string(i) + (is_shared ? " shared" : " bad");
  };
  std::string input;
  for (std::uint64_t i = 0; i < 10005; ++i) input += line(i) + "\n";
  input.pop_back();  // and no final newline
  scratch_directory dir;
  dir.write("m.zelk", input);
  tool_result result = run_tool(dir.path(), {"m.zelk"});
  ASSERT_EQ(result.status, 0);
  files left = dir.files();
  ASSERT_EQ(left.size(), 10001u);
  scan_result scanned = scan_text(input);  // its set gives the numbering
  int number = 0;
  for (std::uint64_t kept : scanned.property_lines) {
    char name[32];
    std::snprintf(name, sizeof name, "m-p%05d.zelk", number++);
    std::vector<std::uint64_t> lines = shared;
    lines.insert(std::upper_bound(lines.begin(), lines.end(), kept), kept);
    std::string expected;
    for (std::uint64_t i : lines) expected += line(i) + "\n";
    ASSERT_EQ(left[name], expected) << name;
  }
}

// Messages that cannot be written are an error, whatever the reason; the run
// stops at the first, before any output when that is "Processing".
TEST(Faults, StandardOutput) {
  auto closed = [] { close(1); };
  auto full = [] {
    int full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
  };
  auto reader_gone = [] {  // as under `propslice -v ... | head -n 1`
    int ends[2];
    if (pipe(ends) != 0) _exit(127);
    dup2(ends[1], 1);
    close(ends[0]);
    close(ends[1]);
  };
  const std::string closed_error = "error: Cannot write to standard output: Bad file descriptor\n";
  const files input = {{"m.zelk", two}};
  const files one_property = {{"one.zelk", "x\nbad\n"}};
  const std::string verbose_out =
      "Processing m.zelk\nFound 2 properties in 3 lines\nGenerated m-p0.zelk\nGenerated m-p1.zelk\n";
  struct row {
    const char* name;
    std::function<void()> in_child;
    files before;
    std::vector<std::string> arguments;
    std::string err;
    int status;
    files after;
    std::string out = "";
  };
  const row rows[] = {
      // A write interrupted by a signal is made again: the first message,
      // and one in mid-run.
      {"interrupted", with_harness({"PROPSLICE_INTERRUPT_OUTPUT=1"}), input, {"-v", "m.zelk"},
       "", 0, two_outputs, verbose_out},
      {"interrupted, third", with_harness({"PROPSLICE_INTERRUPT_OUTPUT=3"}), input,
       {"-v", "m.zelk"}, "", 0, two_outputs, verbose_out},
      {"closed", closed, input, {"-v", "m.zelk"}, closed_error, 1, input},
      // No message: the outputs are written, and not on descriptor 1.
      {"closed, quiet", closed, input, {"m.zelk"}, "", 0, two_outputs},
      {"closed, the notice", closed, one_property, {"one.zelk"}, closed_error, 1, one_property},
      {"closed, help", closed, input, {"-h"}, closed_error, 1, input},
      {"full", full, input, {"-v", "m.zelk"},
       "error: Cannot write to standard output: No space left on device\n", 1, input},
      {"reader gone", reader_gone, input, {"-v", "m.zelk"},
       "error: Cannot write to standard output: Broken pipe\n", 1, input},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scratch_directory dir;
    for (const auto& [name, bytes] : r.before) dir.write(name, bytes);
    tool_result result = run_tool(dir.path(), r.arguments, r.in_child);
    EXPECT_EQ(result.out, r.out);
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(dir.files(), r.after);
  }
}

#ifndef PROPSLICE_SANITIZED  // sanitizers reserve more address space than these limits

void limit_address_space(rlim_t bytes) {
  rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_AS, &limit);
}

// A sparse file: `head`, then a hole of zero bytes up to `size`.
void write_sparse(const std::string& path, const std::string& head, off_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

void limit_data(rlim_t bytes) {
  rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_DATA, &limit);
}

// An input that cannot fit in the memory the process can be given fails
// as soon as that is certain, before the system has to kill anything: a
// file larger than that, before it is read whole; an endless input when
// its buffer would have to outgrow it. Each under a limit of a few hundred
// MB (an rlimit, or a memory cgroup where one can be made here), never the
// machine's own memory; a model that fits in the cgroup still splits.
TEST(Faults, InputTooLargeForMemory) {
  constexpr off_t fits_size = 64LL << 20;
  struct row {
    const char* name;
    std::string input;
    void (*limit)(rlim_t);  // or nullptr
    rlim_t bytes;           // the rlimit's, or the cgroup's
    bool fits = false;
  };
  const row rows[] = {
      {"a file larger than the address space", "big.zelk", limit_address_space, 1LL << 30},
      {"endless, in a limited address space", "/dev/zero", limit_address_space, 512LL << 20},
      {"endless, with limited data", "/dev/zero", limit_data, 256LL << 20},
      {"a file larger than its cgroup", "404.zelk", nullptr, 300LL << 20},
      {"endless, in a cgroup", "/dev/zero", nullptr, 300LL << 20},
      {"a file that fits in its cgroup", "fits.zelk", nullptr, 300LL << 20, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::unique_ptr<memory_cgroup> cgroup;
    if (r.limit == nullptr) {
      // A build that does not read them would be killed by the system.
      if (!platform::cgroups_bound_memory()) {
        std::printf("Row not run, %s: this build does not read cgroups\n", r.name);
        continue;
      }
      cgroup = std::make_unique<memory_cgroup>(r.bytes);
      if (!cgroup->unavailable().empty()) {
        std::printf("Row not run, %s: %s\n", r.name, cgroup->unavailable().c_str());
        continue;
      }
    }
    scratch_directory dir;
    write_sparse(dir / "big.zelk", "bad 1\nbad 2\n", 8LL << 30);
    write_sparse(dir / "404.zelk", "bad 1\nbad 2\n", 404LL << 20);
    write_sparse(dir / "fits.zelk", "bad 1\nbad 2\n", fits_size);
    tool_result result = run_tool(dir.path(), {r.input}, [&] {
      if (r.limit != nullptr)
        r.limit(r.bytes);
      else
        cgroup->enter();
    });
    EXPECT_EQ(result.signal, 0);
    if (r.fits) {
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      for (const char* property : {"2", "1"}) {  // in m-p0, m-p1
        const std::string name = std::string("fits-p") + (property[0] == '2' ? "0" : "1") + ".zelk";
        struct stat status;
        ASSERT_EQ(stat((dir / name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_size, fits_size - 5);  // "bad N\n", the shared line and its newline
        std::ifstream output(dir / name, std::ios::binary);
        std::string head(6, '\0');
        output.read(head.data(), 6);
        EXPECT_EQ(head, std::string("bad ") + property + "\n");
      }
      continue;
    }
    EXPECT_EQ(result.err,
              "error: Cannot read input file " + r.input + ": Cannot allocate memory\n");
    EXPECT_EQ(result.status, 1);
  }
}

// An input that is not split is never held whole, however long its lines.
TEST(Faults, InputNotSplitIsNotHeldInMemory) {
  for (const char* head : {"", "bad", "x\nbad\n"}) {
    SCOPED_TRACE(head);
    scratch_directory dir;
    write_sparse(dir / "big.zelk", head, 256LL << 20);  // one line of 256 MiB, or two
    tool_result result = run_tool(dir.path(), {"big.zelk"}, [] { limit_address_space(64 << 20); });
    EXPECT_EQ(result.out, "Found only one property. Nothing to split\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

// Memory may run short anywhere between reading and writing: an error that
// says what failed, never a crash, never a partial output.
TEST(Faults, MemoryRunningShortWhileSplitting) {
  std::string input;
  for (int i = 0; i < 300000; ++i) input += "x\nbad\n";
  scratch_directory dir;
  dir.write("m.zelk", input);
  for (rlim_t megabytes = 16; megabytes <= 72; megabytes += 4) {
    SCOPED_TRACE(megabytes);
    tool_result result = run_tool(dir.path(), {"m.zelk"}, [megabytes] {
      limit_address_space(megabytes << 20);
      limit_file_size(0);  // the first output fails: nothing needs writing
    });
    // Short while reading, while laying out the outputs, or not at all.
    EXPECT_TRUE(result.err == "error: Cannot read input file m.zelk: Cannot allocate memory\n" ||
                result.err == "error: Cannot write output file m-p000000.zelk: Cannot allocate memory\n" ||
                result.err == "error: Cannot write output file m-p000000.zelk: File too large\n")
        << result.err;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.files(), (files{{"m.zelk", input}}));
  }
}
#endif

// Memory failing at any one allocation, in each run of the sweep a later
// one, until a run goes through: each ends with the one line that names
// what failed, and leaves only the outputs reported, complete.
TEST(Faults, MemoryFailingAtEachAllocation) {
#ifdef PROPSLICE_SANITIZED
  GTEST_SKIP() << "the sanitizers' operator new comes before a preloaded one";
#endif
  if (!fault_shim_preloads()) GTEST_SKIP() << "the binaries under test are static: nothing preloads";
  // Output 3 needs more spans than those before it: memory is asked for
  // again after three outputs.
  const std::string input = "bad a\nbad b\nbad c\n0\nbad 0\n1\nbad 1\n2\nbad 2\n3\nbad 3\n4\n";
  files all_files;
  std::vector<std::string> all_lines;
  {
    scratch_directory dir;
    dir.write("m.zelk", input);
    tool_result result = run_tool(dir.path(), {"-v", "m.zelk"});
    ASSERT_EQ(result.status, 0);
    all_files = dir.files();
    ASSERT_EQ(all_files.size(), 8u);
    for (std::size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1)
      all_lines.push_back(result.out.substr(at, end - at));
  }
  for (int threads : {1, 3}) {
    for (int k = 1;; ++k) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", allocation " + std::to_string(k));
      ASSERT_LT(k, 10000) << "no run went through";
      scratch_directory dir("/dev/shm"), log;
      dir.write("m.zelk", input);
      tool_result result = run_tool(
          dir.path(), {"-v", "m.zelk"},
          preload_fault_shim({"PROPSLICE_FAIL_NEW=" + std::to_string(k),
                              "PROPSLICE_FAULT_LOG=" + log / "log",
                              harness_with_threads(threads)}));
      EXPECT_EQ(result.signal, 0);
      std::vector<std::string> lines;
      for (std::size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(result.out.substr(at, end - at));
      ASSERT_LE(lines.size(), all_lines.size());
      ASSERT_TRUE(std::equal(lines.begin(), lines.end(), all_lines.begin())) << result.out;
      // The first allocation fails only if the tool calls the preloaded
      // operator new: with the C++ library linked into the binary under
      // test, every run would go through and this test would check nothing.
      if (k == 1) {
        ASSERT_NE(log.read("log"), "") << "the preloaded operator new was not called";
      }
      // No allocation failed, or the tool did without what it asked for (a
      // thread to sync beside it): the run is whole.
      const bool none_failed = log.read("log").empty();
      if (none_failed || result.status == 0) {
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(lines, all_lines);
        EXPECT_EQ(dir.files(), all_files);
        if (none_failed || HasFailure()) break;
        continue;
      }
      // The outputs reported, and the error for the next.
      const std::size_t generated = lines.size() < 2 ? 0 : lines.size() - 2;
      files reported = {{"m.zelk", input}};
      for (std::size_t i = 0; i < generated; ++i) {
        std::string name = all_lines[2 + i].substr(10);
        reported[name] = all_files[name];
      }
      const std::string next = "m-p" + std::to_string(generated) + ".zelk";
      const std::string writing =
          std::string("error: Cannot write output file ") + next + ": Cannot allocate memory\n";
      if (lines.empty())
        EXPECT_EQ(result.err, "error: Cannot allocate memory\n");
      else if (lines.size() == 1)
        EXPECT_TRUE(result.err == "error: Cannot read input file m.zelk: Cannot allocate memory\n" ||
                    result.err == writing)
            << result.err;
      else
        EXPECT_EQ(result.err, writing);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(dir.files(), reported);  // nothing else: no temporary either
      if (HasFailure()) break;  // one run to look at is enough
    }
  }
}
