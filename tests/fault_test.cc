// Failures and interruptions: the tool must say what went wrong, end with the
// right status, and leave only complete outputs behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "split/scan.h"
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
  // link to the file "other".
  auto set_up = [](const scratch_directory& dir, const std::string& what) {
    dir.write("m.zelk", two);
    mkdir((dir / "d").c_str(), 0777);
    if (what == "dangling") symlink("target", (dir / "m-p1.zelk").c_str());
    if (what == "directory") mkdir((dir / "m-p1.zelk").c_str(), 0777);
    if (what == "link") {
      dir.write("other", "other\n");
      symlink("other", (dir / "m-p1.zelk").c_str());
    }
  };
  const std::string exists =
      "error: Output file m-p1.zelk already exists. Delete or use -f to overwrite\n";
  struct row {
    const char* what;
    bool force;
    std::string err;
    int status;
    files after;
  };
  const row rows[] = {
      {"dangling", false, exists, 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "-> target"}}},
      {"dangling", true, "", 0,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "x\nbad 1\n"}}},
      {"link", true, "", 0,
       {{"m.zelk", two}, {"d", "<dir>"}, {"other", "other\n"}, {"m-p0.zelk", "x\nbad 2\n"},
        {"m-p1.zelk", "x\nbad 1\n"}}},
      {"directory", false, exists, 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "<dir>"}}},
      {"directory", true, "error: Cannot write output file m-p1.zelk: Is a directory\n", 1,
       {{"m.zelk", two}, {"d", "<dir>"}, {"m-p0.zelk", "x\nbad 2\n"}, {"m-p1.zelk", "<dir>"}}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.what) + (r.force ? " -f" : ""));
    scratch_directory dir;
    set_up(dir, r.what);
    std::vector<std::string> arguments = {"m.zelk"};
    if (r.force) arguments.push_back("-f");
    tool_result result = run_tool(dir.path(), arguments);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(dir.files(), r.after);  // also: no temporary file left
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

// Killed part-way through a long split: only complete outputs remain. The
// split is long enough (2,000 outputs of 2 MB) that the signal lands while
// outputs are being written, even on a loaded machine.
TEST(Faults, InterruptedSplitLeavesOnlyCompleteOutputs) {
  std::string shared;
  while (shared.size() < 2 * 1024 * 1024) shared += std::to_string(shared.size()) + " and 1 12 9\n";
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
      tool_process tool(dir.path(), arguments);
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
        ASSERT_EQ(bytes, shared + properties[count - 1 - number] + "\n") << name << " is incomplete";
      }
    }
  }
}

TEST(Faults, IgnoredHangupStaysIgnored) {
  scratch_directory dir;
  dir.write("m.zelk", two);
  tool_result result = run_tool(dir.path(), {"m.zelk"}, [] {
    signal(SIGHUP, SIG_IGN);
    raise(SIGHUP);  // nothing happens now, so nothing may happen later either
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(dir.files(), two_outputs);
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

TEST(Faults, TenThousandProperties) {
  std::string input;
  std::vector<std::string> lines;
  for (int i = 0; i < 10005; ++i) {
    bool shared = i == 0 || i == 2500 || i == 5001 || i == 7777 || i == 10004;
    lines.push_back(std::to_string(i) + (shared ? " shared" : " bad"));
    input += lines.back() + "\n";
  }
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
    std::string expected;
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (i == kept || lines[i].find("bad") == std::string::npos) expected += lines[i] + "\n";
    ASSERT_EQ(left[name], expected) << name;
  }
}

TEST(Faults, StandardOutput) {
  // Closed: the outputs must not land on descriptor 1.
  {
    scratch_directory dir;
    dir.write("m.zelk", two);
    tool_result result = run_tool(dir.path(), {"-v", "m.zelk"}, [] { close(1); });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dir.files(), two_outputs);
  }
  // Full: the messages are lost, and that is an error.
  {
    scratch_directory dir;
    dir.write("m.zelk", two);
    tool_result result = run_tool(dir.path(), {"-v", "m.zelk"}, [] {
      int full = open("/dev/full", O_WRONLY);
      dup2(full, 1);
    });
    EXPECT_EQ(result.err, "error: Cannot write to standard output: No space left on device\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.files(), (files{{"m.zelk", two}}));
  }
}

#ifndef PROPSLICE_SANITIZED  // sanitizers reserve more address space than the limit
TEST(Faults, InputTooLargeForMemory) {
  scratch_directory dir;
  int fd = open((dir / "big.zelk").c_str(), O_WRONLY | O_CREAT, 0666);
  ASSERT_EQ(ftruncate(fd, 8LL << 30), 0);  // sparse: costs no disk
  close(fd);
  tool_result result = run_tool(dir.path(), {"big.zelk"}, [] {
    rlimit limit = {1LL << 30, 1LL << 30};
    setrlimit(RLIMIT_AS, &limit);
  });
  EXPECT_EQ(result.err, "error: Cannot read input file big.zelk: Cannot allocate memory\n");
  EXPECT_EQ(result.status, 1);
}
#endif
