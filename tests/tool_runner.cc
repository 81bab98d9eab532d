#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed");
}

void remove_tree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void list_tree(const std::string& root, const std::string& relative,
               std::map<std::string, std::string>& files) {
  std::string path = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(path.c_str());
  check(dir != nullptr, "opendir");
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string inner = relative.empty() ? name : relative + "/" + name;
    std::string full = root + "/" + inner;
    struct stat status;
    check(lstat(full.c_str(), &status) == 0, "lstat");
    if (S_ISLNK(status.st_mode)) {
      char target[4096];
      ssize_t length = readlink(full.c_str(), target, sizeof target);
      check(length >= 0, "readlink");
      files[inner] = "-> " + std::string(target, static_cast<std::size_t>(length));
    } else if (S_ISDIR(status.st_mode)) {
      files[inner] = "<dir>";
      list_tree(root, inner, files);
    } else if (S_ISFIFO(status.st_mode)) {
      files[inner] = "<fifo>";
    } else {
      std::ifstream file(full, std::ios::binary);
      std::ostringstream bytes;
      bytes << file.rdbuf();
      files[inner] = bytes.str();
    }
  }
  closedir(dir);
}

// Takes the overrides out of the capabilities this process and what it
// executes may ever have: root keeps its uid, and is bound by the owner's
// permission bits.
bool drop_permission_override() {
  return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
         prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
}

// Appends what is available on `fd` to `text`; false at the end.
bool drain(int fd, std::string& text) {
  char buffer[65536];
  ssize_t count = read(fd, buffer, sizeof buffer);
  if (count < 0 && errno == EINTR) return true;
  if (count <= 0) return false;
  text.append(buffer, static_cast<std::size_t>(count));
  return true;
}

}  // namespace

scratch_directory::scratch_directory(const std::string& parent) {
  std::string pattern = parent + "/propslice-test-XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

scratch_directory::~scratch_directory() { remove_tree(path_); }

void scratch_directory::write(const std::string& name, const std::string& bytes) const {
  for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
    mkdir((*this / name.substr(0, slash)).c_str(), 0777);  // may exist already
  std::ofstream file(*this / name, std::ios::binary | std::ios::trunc);
  file << bytes;
  check(static_cast<bool>(file), "writing a test file");
}

std::string scratch_directory::read(const std::string& name) const {
  std::ifstream file(*this / name, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> scratch_directory::files() const {
  std::map<std::string, std::string> files;
  list_tree(path_, "", files);
  return files;
}

tool_process::tool_process(const std::string& directory, const std::vector<std::string>& arguments,
                           const std::function<void()>& in_child, const std::string& program) {
  int out[2], err[2];
  check(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe");
  pid_ = fork();
  check(pid_ >= 0, "fork");
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (chdir(directory.c_str()) != 0) _exit(127);
    // The test runner may have signals blocked or ignored: start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(s, SIG_DFL);
    if (in_child) in_child();
    std::vector<char*> argv;
    // Under PROPSLICE_HARNESS, the tool with the harness that reads it.
    std::string path = !program.empty()                      ? program
                       : std::getenv("PROPSLICE_HARNESS") ? PROPSLICE_HARNESS_BINARY
                                                              : PROPSLICE_BINARY;
    argv.push_back(path.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

tool_process::~tool_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

std::string tool_process::read_output_line() {
  for (;;) {
    std::size_t newline = out_text_.find('\n', out_read_);
    if (newline != std::string::npos) {
      std::string line = out_text_.substr(out_read_, newline - out_read_);
      out_read_ = newline + 1;
      return line;
    }
    if (out_ < 0 || !drain(out_, out_text_)) return "";
  }
}

void tool_process::send(int signal_number) const { kill(pid_, signal_number); }

tool_result tool_process::finish() {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* texts[2] = {&out_text_, &err_text_};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!drain(fds[i].fd, *texts[i])) {
        fds[i].fd = -1;  // poll skips it from now on
        --open_pipes;
      }
    }
  }
  int wait_status = 0;
  check(waitpid(pid_, &wait_status, 0) == pid_, "waitpid");
  pid_ = -1;
  tool_result result;
  result.out = out_text_;
  result.err = err_text_;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  return result;
}

void small_output_pipe() {
  if (fcntl(1, F_SETPIPE_SZ, 4096) != 4096) _exit(127);
}

std::function<void()> with_environment(const std::vector<std::string>& settings) {
  return [settings] {
    for (const std::string& setting : settings) {
      std::size_t equals = setting.find('=');
      setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
  };
}

std::function<void()> with_harness(std::vector<std::string> settings) {
  // Set, if only empty, it picks the harness (see tool_process).
  if (std::getenv("PROPSLICE_HARNESS") == nullptr) settings.insert(settings.begin(), "PROPSLICE_HARNESS=");
  return with_environment(settings);
}

std::function<void()> preload_fault_shim(std::vector<std::string> settings) {
  settings.push_back(std::string("LD_PRELOAD=") + PROPSLICE_FAULT_SHIM);
  return with_environment(settings);
}

bool fault_shim_preloads() { return PROPSLICE_FAULT_SHIM[0] != '\0'; }

void without_permission_override() {
  if (geteuid() == 0 && !drop_permission_override()) _exit(126);
}

bool permissions_can_bind_the_tool() {
  if (geteuid() != 0) return true;
  pid_t child = fork();
  check(child >= 0, "fork");
  if (child == 0) _exit(drop_permission_override() ? 0 : 1);
  int status = 0;
  check(waitpid(child, &status, 0) == child, "waitpid");
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

std::string file_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool write_file(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && written;
}

// The path of this process's cgroup in `hierarchy` ("memory", or "" for
// v2) below `mount`'s directory; "" if it is in none there.
std::string own_cgroup_directory(const std::string& hierarchy, const platform::cgroup_mount& mount) {
  if (mount.directory.empty()) return "";
  std::istringstream lines(file_text("/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    // Between commas, so that each controller is found whole.
    std::string controllers(1, ',');
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    std::string wanted(1, ',');
    wanted.append(hierarchy).push_back(',');
    bool named = hierarchy.empty() ? controllers == ",," : controllers.find(wanted) != std::string::npos;
    if (!named) continue;
    std::string path = line.substr(second + 1);
    std::string root = mount.root == "/" ? "" : mount.root;
    if (path.compare(0, root.size(), root) != 0) return "";
    return mount.directory + path.substr(root.size());
  }
  return "";
}

}  // namespace

memory_cgroup::memory_cgroup(std::uint64_t bytes) {
  platform::cgroup_mounts mounts = platform::find_cgroup_mounts(file_text("/proc/self/mountinfo"));
  std::string parent = own_cgroup_directory("memory", mounts.memory);
  const char* limit_file = "memory.limit_in_bytes";
  if (parent.empty()) {
    parent = own_cgroup_directory("", mounts.unified);
    limit_file = "memory.max";
  }
  if (parent.empty()) {
    unavailable_ = "no memory cgroup is mounted";
    return;
  }
  std::string pattern = parent + "/propslice-test-" + std::to_string(getpid()) + "-XXXXXX";
  // mkdtemp makes it, but with the mode a cgroup file system ignores.
  if (mkdtemp(pattern.data()) == nullptr) {
    unavailable_ = "cannot make a cgroup in " + parent + ": " + std::strerror(errno);
    return;
  }
  path_ = pattern;
  if (!write_file(path_ + "/" + limit_file, std::to_string(bytes))) {
    unavailable_ = "cannot limit the memory of " + path_ + ": " + std::strerror(errno);
    return;
  }
  // Whether a process may enter it (v2 lets none into a cgroup whose
  // parent holds processes and hands down controllers).
  pid_t child = fork();
  check(child >= 0, "fork");
  if (child == 0) _exit(write_file(path_ + "/cgroup.procs", "0") ? 0 : 1);
  int status = 0;
  check(waitpid(child, &status, 0) == child, "waitpid");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) unavailable_ = "no process may enter " + path_;
}

memory_cgroup::~memory_cgroup() {
  if (path_.empty()) return;
  // A cgroup is removed as a directory once no process is in it; one that
  // has just left may take a moment to go.
  for (int tries = 0; tries < 100 && rmdir(path_.c_str()) != 0 && errno == EBUSY; ++tries)
    usleep(10 * 1000);
}

void memory_cgroup::enter() const {
  if (!write_file(path_ + "/cgroup.procs", "0")) _exit(125);
}

std::string harness_with_threads(int threads) {
  const char* settings = std::getenv("PROPSLICE_HARNESS");
  return std::string("PROPSLICE_HARNESS=") + (settings ? settings : "") + ",threads=" +
         std::to_string(threads);
}

tool_result run_tool(const std::string& directory, const std::vector<std::string>& arguments,
                     const std::function<void()>& in_child, const std::string& program) {
  return tool_process(directory, arguments, in_child, program).finish();
}
