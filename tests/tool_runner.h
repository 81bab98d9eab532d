#pragma once

// Runs the built propslice in a directory of its own and collects what it
// printed, how it ended, and the files it left.

#include <sys/types.h>

#include <cstdint>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct tool_result {
  std::string out, err;
  int status = -1;  // exit status, or -1 when killed
  int signal = 0;   // the signal that killed it, if any
};

// A fresh temporary directory, removed with everything in it at the end.
class scratch_directory {
 public:
  explicit scratch_directory(const std::string& parent = "/tmp");
  ~scratch_directory();
  scratch_directory(const scratch_directory&) = delete;
  scratch_directory& operator=(const scratch_directory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes a file, making the directories on its way.
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  // Every entry below the directory, by relative path; a symbolic link is
  // shown as "-> target", a directory as "<dir>".
  std::map<std::string, std::string> files() const;

 private:
  std::string path_;
};

// A running propslice, with its standard output and error on pipes.
class tool_process {
 public:
  // `in_child` runs in the child just before exec (limits, signals).
  // `program`, if given, is run instead of the build under test (another
  // build of the tool).
  tool_process(const std::string& directory, const std::vector<std::string>& arguments,
               const std::function<void()>& in_child = {}, const std::string& program = {});
  ~tool_process();
  // The next line of standard output, without its newline; "" at the end.
  std::string read_output_line();
  void send(int signal_number) const;
  // Reads everything left, waits for the end and returns the result.
  tool_result finish();

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
  std::size_t out_read_ = 0;  // bytes of out_text_ handed out by read_output_line
};

// For `in_child`: standard output becomes a pipe of one page. A run that
// prints more than two pages stops in mid-split once the pipe is full,
// until the test reads on: a signal sent before that always finds it
// running, however loaded the machine.
void small_output_pipe();

// For `in_child`: sets environment variables, "NAME=VALUE" each.
std::function<void()> with_environment(const std::vector<std::string>& settings);

// The same, for the tool with the harness (tests/harness.cc), whose
// variables they are, under the settings the suite runs with.
std::function<void()> with_harness(std::vector<std::string> settings);

// The same, and preloads tests/fault_shim.cc into the tool, whose operator
// new then fails where its settings say (see there). Not under the
// sanitizers, whose own operator new comes first.
std::function<void()> preload_fault_shim(std::vector<std::string> settings);
// False where the binaries under test were built elsewhere, static.
bool fault_shim_preloads();

// For `in_child`: root gives up its right to read and search any
// directory, and to write anywhere, so that permissions bind the tool as
// they bind anyone else. Other users have no such right to give up.
void without_permission_override();
// Whether without_permission_override() can be had here (root needs
// CAP_SETPCAP for it).
bool permissions_can_bind_the_tool();

// A memory cgroup of its own, below the one this process is in, limited to
// `bytes`; removed at the end (the tools run in it must have ended). Where
// none can be had (no cgroup v1 memory controller or v2 delegation, not
// root), unavailable() says why.
class memory_cgroup {
 public:
  explicit memory_cgroup(std::uint64_t bytes);
  ~memory_cgroup();
  memory_cgroup(const memory_cgroup&) = delete;
  memory_cgroup& operator=(const memory_cgroup&) = delete;

  const std::string& unavailable() const { return unavailable_; }
  // For `in_child`: the calling process moves into the cgroup.
  void enter() const;

 private:
  std::string path_, unavailable_;
};

// A setting for with_environment: the harness settings the suite runs
// with, and `threads` writing threads (see harness.cc).
std::string harness_with_threads(int threads);

tool_result run_tool(const std::string& directory, const std::vector<std::string>& arguments,
                     const std::function<void()>& in_child = {}, const std::string& program = {});
