#include "platform/platform.h"

#include "platform_config.h"
#include "platform/system_calls.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#if PROPSLICE_HAVE_STATVFS
#include <sys/statvfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <mutex>
#include <thread>

#if PROPSLICE_HAVE_GETRANDOM
#include <sys/random.h>
#endif
#if PROPSLICE_HAVE_GETENTROPY && __has_include(<sys/random.h>)
#include <sys/random.h>
#endif
#if PROPSLICE_HAVE_SCHED_GETAFFINITY
#include <sched.h>
#endif
#if PROPSLICE_HAVE_CPUSET_GETAFFINITY
#include <sys/param.h>
#include <sys/cpuset.h>
#endif
#if PROPSLICE_HAVE_FICLONERANGE
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if PROPSLICE_HAVE_TMPFS_MAGIC
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#if PROPSLICE_HAVE_F_FSTYPENAME
#include <sys/param.h>
#include <sys/mount.h>
#endif

namespace platform {

namespace {

// The system's own random bytes: 0, or an errno value where it refuses
// them (ENOSYS, EPERM under a seccomp filter; EAGAIN before its pool is
// ready).
int system_random_bytes(unsigned char* into, std::size_t size) {
#if PROPSLICE_HAVE_GETRANDOM
  for (std::size_t got = 0; got < size;) {
    ssize_t count = sys::getrandom(into + got, size - got, GRND_NONBLOCK);
    if (count > 0)
      got += static_cast<std::size_t>(count);
    else if (count == 0)
      return EIO;
    else if (errno != EINTR)
      return errno;
  }
  return 0;
#elif PROPSLICE_HAVE_GETENTROPY
  for (std::size_t got = 0; got < size;) {
    std::size_t piece = std::min<std::size_t>(size - got, 256);  // the most it gives at once
    if (sys::getentropy(into + got, piece) != 0) return errno;
    got += piece;
  }
  return 0;
#elif PROPSLICE_HAVE_ARC4RANDOM_BUF
  arc4random_buf(into, size);
  return 0;
#else
  (void)into, (void)size;
  return ENOSYS;
#endif
}

int device_random_bytes(unsigned char* into, std::size_t size) {
  int fd = sys::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  for (std::size_t got = 0; got < size && error == 0;) {
    ssize_t count = sys::read(fd, into + got, size - got);
    if (count > 0)
      got += static_cast<std::size_t>(count);
    else if (count == 0)
      error = EIO;
    else if (errno != EINTR)
      error = errno;
  }
  (void)sys::close(fd);
  return error;
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finalizer
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

// Bytes that differ between calls (a count, the time) and between
// processes (the pid, where the stack and the code lie), each input
// spread over every byte.
void mixed_bytes(unsigned char* into, std::size_t size) {
  static std::atomic<std::uint64_t> calls{0};
  timespec real{}, monotonic{};
  (void)clock_gettime(CLOCK_REALTIME, &real);
  (void)clock_gettime(CLOCK_MONOTONIC, &monotonic);
  const std::uint64_t inputs[] = {
      static_cast<std::uint64_t>(getpid()),
      calls.fetch_add(1),
      static_cast<std::uint64_t>(real.tv_sec),
      static_cast<std::uint64_t>(real.tv_nsec),
      static_cast<std::uint64_t>(monotonic.tv_nsec),
      reinterpret_cast<std::uintptr_t>(&real),
      reinterpret_cast<std::uintptr_t>(&mixed_bytes),
  };
  std::uint64_t state = 0;
  for (std::uint64_t input : inputs) state = mix(state ^ input) + 0x9e3779b97f4a7c15u;
  for (std::size_t at = 0; at < size; at += 8) {
    state = mix(state + 0x9e3779b97f4a7c15u);
    std::memcpy(into + at, &state, std::min<std::size_t>(8, size - at));
  }
}

}  // namespace

void random_bytes(unsigned char* into, std::size_t size) {
  if (system_random_bytes(into, size) == 0 || device_random_bytes(into, size) == 0) return;
  mixed_bytes(into, size);
}

namespace {

// The whole of a small file (of the kernel's): false where it cannot be read.
bool read_small_file(const std::string& path, std::string& into) {
  into.clear();
  int fd = sys::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool read_whole = true;
  for (;;) {
    ssize_t count = sys::read(fd, buffer, sizeof buffer);
    if (count > 0)
      into.append(buffer, static_cast<std::size_t>(count));
    else if (count == 0)
      break;
    else if (errno != EINTR) {
      read_whole = false;
      break;
    }
  }
  (void)sys::close(fd);
  return read_whole;
}

// The number at the start of `text`, as in "123\n"; false for "max".
bool leading_number(std::string_view text, std::uint64_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end != text.data();
}

bool file_number(const std::string& path, std::string& text, std::uint64_t& value) {
  return read_small_file(path, text) && leading_number(text, value);
}

// The value of `key` in lines of "key value" (memory.stat); 0 if none.
std::uint64_t stat_value(std::string_view stat, std::string_view key) {
  for (std::size_t at = 0; at < stat.size();) {
    std::size_t end = std::min(stat.find('\n', at), stat.size());
    std::string_view line = stat.substr(at, end - at);
    std::uint64_t value = 0;
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ' &&
        leading_number(line.substr(key.size() + 1), value))
      return value;
    at = end + 1;
  }
  return 0;
}

// The files of one kind of hierarchy.
struct cgroup_files {
  const char* limit;
  const char* usage;
  const char* active_file;  // page cache, in memory.stat
  const char* inactive_file;
};
constexpr cgroup_files unified_files = {"memory.max", "memory.current", "active_file",
                                        "inactive_file"};
constexpr cgroup_files memory_files = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                                       "total_active_file", "total_inactive_file"};

// What the cgroup at `directory` leaves: its limit less what is in use.
std::uint64_t cgroup_room(const std::string& directory, const cgroup_files& files,
                          std::string& text) {
  std::uint64_t limit = 0, usage = 0;
  if (!file_number(directory + "/" + files.limit, text, limit)) return UINT64_MAX;
  if (!file_number(directory + "/" + files.usage, text, usage)) return limit;
  std::uint64_t cache = 0;
  if (read_small_file(directory + "/memory.stat", text))
    cache = stat_value(text, files.active_file) + stat_value(text, files.inactive_file);
  std::uint64_t in_use = usage - std::min(usage, cache);
  return limit - std::min(limit, in_use);
}

// The path of the cgroup named for `controller` in /proc/self/cgroup's
// lines "ID:CONTROLLERS:PATH" (CONTROLLERS empty for v2); false if none.
bool own_cgroup(std::string_view self, std::string_view controller, std::string_view& path) {
  for (std::size_t at = 0; at < self.size();) {
    std::size_t end = std::min(self.find('\n', at), self.size());
    std::string_view line = self.substr(at, end - at);
    at = end + 1;
    std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) continue;
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    bool named = controller.empty() ? controllers.empty() && line.substr(0, first) == "0" : false;
    for (std::size_t c = 0; !controller.empty() && c <= controllers.size();) {
      std::size_t comma = std::min(controllers.find(',', c), controllers.size());
      named = named || controllers.substr(c, comma - c) == controller;
      c = comma + 1;
    }
    if (named) {
      path = line.substr(second + 1);
      return true;
    }
  }
  return false;
}

// The lowest room from the cgroup `path` up to the root of `mount`.
std::uint64_t hierarchy_room(std::string_view path, const cgroup_mount& mount,
                             const cgroup_files& files, bool v1) {
  if (mount.directory.empty()) return UINT64_MAX;
  // Below the cgroup the mount shows; a path outside it (as "/../x" from
  // another cgroup namespace) is read at the mount itself.
  std::string_view root = mount.root == "/" ? std::string_view() : std::string_view(mount.root);
  std::string relative;
  if (path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/') &&
      path.find("/..") == std::string_view::npos)
    relative = path.substr(root.size());
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  std::string text;
  std::uint64_t room = UINT64_MAX;
  if (v1 && read_small_file(mount.directory + relative + "/memory.stat", text)) {
    // Counts the limits of ancestors the mount may not show.
    if (std::uint64_t limit = stat_value(text, "hierarchical_memory_limit"); limit != 0)
      room = limit;
  }
  for (;;) {
    std::string directory = mount.directory + relative;
    room = std::min(room, cgroup_room(directory, files, text));
    if (relative.empty()) break;
    relative.erase(relative.rfind('/'));
    // A v1 cgroup that does not count its children limits none of them.
    if (v1 && read_small_file(mount.directory + relative + "/memory.use_hierarchy", text) &&
        text.starts_with("0"))
      break;
  }
  return room;
}

// Undoes mountinfo's escapes: "\040" for a space, and so on.
std::string unescape(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0')));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

}  // namespace

cgroup_mounts find_cgroup_mounts(std::string_view mountinfo) {
  cgroup_mounts found;
  for (std::size_t at = 0; at < mountinfo.size();) {
    std::size_t end = std::min(mountinfo.find('\n', at), mountinfo.size());
    std::string_view line = mountinfo.substr(at, end - at);
    at = end + 1;
    // ID PARENT MAJOR:MINOR ROOT MOUNT_POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER_OPTIONS
    std::string_view fields[5];
    std::size_t from = 0;
    for (std::string_view& field : fields) {
      std::size_t space = std::min(line.find(' ', from), line.size());
      field = line.substr(std::min(from, line.size()), space - std::min(from, line.size()));
      from = space + 1;
    }
    std::size_t separator = line.find(" - ");
    if (separator == std::string_view::npos) continue;
    std::string_view rest = line.substr(separator + 3);
    std::size_t space = rest.find(' ');
    std::string_view type = rest.substr(0, space);
    std::string_view options = rest.substr(std::min(rest.rfind(' ') + 1, rest.size()));
    cgroup_mount* mount = nullptr;
    if (type == "cgroup2") {
      mount = &found.unified;
    } else if (type == "cgroup") {
      bool memory = false;
      for (std::size_t c = 0; c <= options.size();) {
        std::size_t comma = std::min(options.find(',', c), options.size());
        memory = memory || options.substr(c, comma - c) == "memory";
        c = comma + 1;
      }
      if (memory) mount = &found.memory;
    }
    if (mount == nullptr || !mount->directory.empty()) continue;
    mount->directory = unescape(fields[4]);
    mount->root = unescape(fields[3]);
  }
  return found;
}

std::uint64_t cgroup_memory_limit(std::string_view self, const cgroup_mounts& mounts) {
  std::uint64_t limit = UINT64_MAX;
  std::string_view path;
  if (own_cgroup(self, "", path))
    limit = std::min(limit, hierarchy_room(path, mounts.unified, unified_files, false));
  if (own_cgroup(self, "memory", path))
    limit = std::min(limit, hierarchy_room(path, mounts.memory, memory_files, true));
  return limit;
}

std::uint64_t memory_limit() {
  static const std::uint64_t limit = [] {
    std::uint64_t lowest = UINT64_MAX;
#ifdef _SC_PHYS_PAGES
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 &&
        static_cast<std::uint64_t>(pages) <= UINT64_MAX / static_cast<std::uint64_t>(page))
      lowest = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
#endif
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
      rlimit own;
      if (sys::getrlimit(resource, &own) == 0 && own.rlim_cur != RLIM_INFINITY)
        lowest = std::min<std::uint64_t>(lowest, own.rlim_cur);
    }
#if PROPSLICE_HAVE_CGROUPS
    std::string self, mountinfo;
    if (read_small_file("/proc/self/cgroup", self) &&
        read_small_file("/proc/self/mountinfo", mountinfo))
      lowest = std::min(lowest, cgroup_memory_limit(self, find_cgroup_mounts(mountinfo)));
#endif
    return lowest;
  }();
  return limit;
}

bool cgroups_bound_memory() { return PROPSLICE_HAVE_CGROUPS != 0; }

unsigned usable_processors() {
#if PROPSLICE_HAVE_SCHED_GETAFFINITY
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0)
    return static_cast<unsigned>(CPU_COUNT(&cpus));
#elif PROPSLICE_HAVE_CPUSET_GETAFFINITY
  cpuset_t cpus;
  if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, -1, sizeof cpus, &cpus) == 0 &&
      CPU_COUNT(&cpus) > 0)
    return static_cast<unsigned>(CPU_COUNT(&cpus));
#endif
  return std::max(std::thread::hardware_concurrency(), 1u);
}

void prefault(char* begin, std::size_t length) {
#if PROPSLICE_HAVE_MADV_POPULATE_WRITE
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Whole pages only: the first and last may hold other memory.
  std::size_t into_page = reinterpret_cast<std::uintptr_t>(begin) % page;
  std::size_t skip = into_page == 0 ? 0 : page - into_page;
  if (length <= skip) return;
  length = (length - skip) / page * page;
  // Where refused, the reads fault the pages in one by one.
  if (length > 0) (void)madvise(begin + skip, length, MADV_POPULATE_WRITE);
#else
  (void)begin, (void)length;
#endif
}

const char* find_last(const char* begin, std::size_t size, char c) {
#if PROPSLICE_HAVE_MEMRCHR
  return static_cast<const char*>(memrchr(begin, c, size));
#else
  for (const char* at = begin + size; at != begin;)
    if (*--at == c) return at;
  return nullptr;
#endif
}

timespec modified_time(const struct stat& status) {
#if PROPSLICE_HAVE_ST_MTIM
  return status.st_mtim;
#elif PROPSLICE_HAVE_ST_MTIMESPEC
  return status.st_mtimespec;
#else
  return {status.st_mtime, 0};
#endif
}

timespec changed_time(const struct stat& status) {
#if PROPSLICE_HAVE_ST_MTIM
  return status.st_ctim;
#elif PROPSLICE_HAVE_ST_MTIMESPEC
  return status.st_ctimespec;
#else
  return {status.st_ctime, 0};
#endif
}

// Only a place to name things from: a directory that may be written and
// searched but not read serves too, where the system can open it so.
#if PROPSLICE_HAVE_O_PATH
constexpr int directory_access = O_PATH;
#elif PROPSLICE_HAVE_O_SEARCH
constexpr int directory_access = O_SEARCH;
#else
constexpr int directory_access = O_RDONLY;
#endif

int open_directory(const char* path) {
  return sys::open(path, directory_access | O_DIRECTORY | O_CLOEXEC);
}

bool directories_open_for_reading() { return directory_access == O_RDONLY; }

namespace {

#if PROPSLICE_HAVE_TMPFS_MAGIC || PROPSLICE_HAVE_F_FSTYPENAME
bool in_memory(const struct statfs& file_system) {
#if PROPSLICE_HAVE_TMPFS_MAGIC
  return file_system.f_type == TMPFS_MAGIC || file_system.f_type == RAMFS_MAGIC;
#else
  return std::strcmp(file_system.f_fstypename, "tmpfs") == 0;
#endif
}
#endif

}  // namespace

bool held_in_memory(int fd) {
#if PROPSLICE_HAVE_TMPFS_MAGIC || PROPSLICE_HAVE_F_FSTYPENAME
  struct statfs file_system;
  return sys::fstatfs(fd, &file_system) == 0 && in_memory(file_system);
#else
  (void)fd;
  return false;  // synced all the same, which costs little there
#endif
}

bool held_in_memory(const char* path) {
#if PROPSLICE_HAVE_TMPFS_MAGIC || PROPSLICE_HAVE_F_FSTYPENAME
  struct statfs file_system;
  return sys::statfs(path, &file_system) == 0 && in_memory(file_system);
#else
  (void)path;
  return false;
#endif
}

int free_bytes(int directory, const char* path, std::uint64_t& bytes) {
#if PROPSLICE_HAVE_STATVFS
  struct statvfs file_system;
  int result = directory == AT_FDCWD ? sys::statvfs(path, &file_system)
                                     : sys::fstatvfs(directory, &file_system);
  if (result != 0) return errno;
  bytes = std::uint64_t{file_system.f_bavail} * file_system.f_frsize;
  return 0;
#else
  (void)directory, (void)path, (void)bytes;
  return ENOSYS;
#endif
}

namespace {

// One file's data on the disk, with what is needed to read it back.
int sync_data(int fd) {
#if PROPSLICE_HAVE_F_FULLFSYNC
  // macOS: fsync hands the data to the drive, which may keep it in its
  // cache past a power cut; this asks the drive to write it. File systems
  // that cannot say so get the fsync.
  if (sys::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
#if PROPSLICE_HAVE_FDATASYNC
  if (sys::fdatasync(fd) == 0) return 0;
#else
  if (sys::fsync(fd) == 0) return 0;
#endif
  return errno == EINVAL ? 0 : errno;  // EINVAL: nothing to sync to
}

// How many files are synced at once: enough for the disk to merge their
// cache flushes into a few.
constexpr std::size_t syncs_in_flight = 64;

#if PROPSLICE_HAVE_SYNCFS && PROPSLICE_HAVE_TMPFS_MAGIC
// Above this much data waiting to be written, on the whole system, a sync
// of a file system may wait for other programs' data.
constexpr std::uint64_t others_dirty_at_most = std::uint64_t{32} << 20;

// The bytes the system has to write back: dirty or under writeback.
std::uint64_t dirty_bytes() {
  int fd = sys::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return UINT64_MAX;
  char text[4096];
  ssize_t length = sys::read(fd, text, sizeof text - 1);
  (void)sys::close(fd);
  if (length <= 0) return UINT64_MAX;
  text[length] = '\0';
  std::uint64_t bytes = 0;
  for (const char* field : {"\nDirty:", "\nWriteback:"}) {
    const char* at = std::strstr(text, field);
    if (at == nullptr) return UINT64_MAX;
    bytes += std::strtoull(at + std::strlen(field), nullptr, 10) * 1024;  // in kB
  }
  return bytes;
}

// Whether one syncfs of the file system that holds all of `fds` (one
// directory's) makes them durable at less cost than a sync of each: a local
// file system that commits through it (FUSE servers and network clients are
// not reached by it), while the system has little else to write.
bool one_sync_for_all(const int* fds, std::size_t count) {
  struct statfs file_system;
  if (count < 2 || sys::fstatfs(fds[0], &file_system) != 0) return false;
  if (file_system.f_type != EXT4_SUPER_MAGIC && file_system.f_type != XFS_SUPER_MAGIC &&
      file_system.f_type != BTRFS_SUPER_MAGIC)
    return false;
  return dirty_bytes() <= others_dirty_at_most;
}
#endif

}  // namespace

void start_writeback(int fd) {
#if PROPSLICE_HAVE_SYNC_FILE_RANGE
  (void)sys::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

int make_durable(const int* fds, std::size_t count, bool one_directory, std::size_t& durable) {
  // Otherwise each file by its own sync, which every file system that
  // promises durability keeps (FUSE ones included) and which waits for no
  // other program's data. Their writeback is started first, and several
  // wait at once.
  durable = 0;
  if (count == 0) return 0;
#if PROPSLICE_HAVE_SYNCFS && PROPSLICE_HAVE_TMPFS_MAGIC
  // Since Linux 5.8 it also reports a writeback error of any file of the
  // file system met since the descriptor was opened.
  if (one_directory && one_sync_for_all(fds, count)) {
    if (sys::syncfs(fds[0]) != 0) return errno;
    durable = count;
    return 0;
  }
#else
  (void)one_directory;
#endif
  for (std::size_t i = 0; i < count; ++i) start_writeback(fds[i]);
  std::mutex failing;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failed{count};
  std::atomic<int> failed_error{0};
  auto sync_some = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count && i < first_failed.load();) {
      if (int error = sync_data(fds[i])) {
        // The lowest index that failed wins; its errno with it.
        std::lock_guard<std::mutex> hold(failing);
        if (i < first_failed.load()) {
          first_failed.store(i);
          failed_error.store(error);
        }
      }
    }
  };
  std::thread helpers[syncs_in_flight - 1];
  std::size_t started = 0;
  for (; started < std::min(count, syncs_in_flight) - 1; ++started) {
    try {
      helpers[started] = std::thread(sync_some);
    } catch (...) {
      break;  // fewer at once: this thread syncs the rest
    }
  }
  sync_some();
  for (std::size_t i = 0; i < started; ++i) helpers[i].join();
  durable = first_failed.load();
  return durable == count ? 0 : failed_error.load();
}

int share_blocks(int source, int target, std::uint64_t length) {
#if PROPSLICE_HAVE_FICLONERANGE
  file_clone_range range{};
  range.src_fd = source;
  range.src_offset = 0;
  range.src_length = length;
  range.dest_offset = 0;
  return sys::ioctl(target, FICLONERANGE, &range) == 0 ? 0 : errno;
#elif PROPSLICE_HAVE_COPY_FILE_RANGE
  // Shares blocks where the file system clones through it (ZFS with block
  // cloning on), and copies within the kernel elsewhere.
  off_t from = 0, to = 0;
  int error = 0;
  while (error == 0 && static_cast<std::uint64_t>(to) < length) {
    ssize_t count = sys::copy_file_range(source, &from, target, &to,
                                    static_cast<std::size_t>(length - static_cast<std::uint64_t>(to)), 0);
    if (count > 0) continue;
    if (count == 0)
      error = EIO;  // the input is shorter than it was
    else if (errno != EINTR)
      error = errno;
  }
  // Part copied: the output is left as it was, empty.
  if (error != 0 && to > 0 && sys::ftruncate(target, 0) != 0) return errno;
  return error;
#else
  (void)source, (void)target, (void)length;
  return EOPNOTSUPP;
#endif
}

#if PROPSLICE_HAVE_O_TMPFILE
namespace {
// Whether an open file may be linked straight from its descriptor: for a
// privileged process, and on recent kernels for the one that opened it.
std::atomic<bool> links_from_descriptors{true};
}  // namespace
#endif

int open_unnamed(int directory) {
#if PROPSLICE_HAVE_O_TMPFILE
  return sys::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
  (void)directory;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

bool makes_unnamed_files(int directory) {
  int fd = open_unnamed(directory);
  if (fd < 0) return false;
  (void)sys::close(fd);  // never named: it goes with its descriptor
  return true;
}

namespace {

int link_unnamed(int fd, int directory, const char* name) {
#if PROPSLICE_HAVE_O_TMPFILE
  if (links_from_descriptors.load()) {
    if (sys::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return 0;
    // Not allowed here (ENOENT is what a refusal looks like); through
    // /proc from now on. Any other error is the link's own.
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
    links_from_descriptors.store(false);
  }
  char self[40];
  (void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return sys::linkat(AT_FDCWD, self, directory, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
#else
  (void)fd, (void)directory, (void)name;
  return EOPNOTSUPP;
#endif
}

// EINVAL or ENOSYS where the system or the file system has no such rename.
int rename_without_replacing(int directory, const char* from, const char* to) {
#if PROPSLICE_HAVE_RENAMEAT2
  return sys::renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
#elif PROPSLICE_HAVE_RENAMEATX_NP
  if (sys::renameatx_np(directory, from, directory, to, RENAME_EXCL) == 0) return 0;
  return errno == ENOTSUP ? EINVAL : errno;
#else
  (void)directory, (void)from, (void)to;
  return EINVAL;
#endif
}

bool refused_rename(int error) { return error == EINVAL || error == ENOSYS; }

// Whether a link was refused because the file system has no hard links,
// rather than for the link's own sake.
bool refused_link(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

// Whether `name` in `directory` is still the file `held`.
bool still_holds(int directory, const char* name, const struct stat& held) {
  struct stat now;
  return sys::fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
         now.st_ino == held.st_ino;
}

// The name is taken by creating it empty, which fails when anything is
// there, and `from` is renamed over that empty file only while the name
// still holds it. The instant between the last check and the rename stays
// open.
int rename_over_placeholder(int directory, const char* from, const char* to) {
  int placeholder = sys::openat(directory, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (placeholder < 0) return errno;
  struct stat held;
  int error = sys::fstat(placeholder, &held) == 0 ? 0 : errno;
  if (sys::close(placeholder) != 0 && error == 0) error = errno;
  if (error != 0) {
    (void)sys::unlinkat(directory, to, 0);  // just made, and not written to
    return error;
  }
  if (!still_holds(directory, to, held)) return EEXIST;
  if (sys::renameat(directory, from, directory, to) == 0) return 0;
  error = errno;
  if (still_holds(directory, to, held)) (void)sys::unlinkat(directory, to, 0);
  return error;
}

}  // namespace

int name_new_file(int directory, int fd, const char* from, const char* to, naming_way& way) {
  // An unnamed file gets its first name by a link, which fails when the
  // name is taken.
  if (from == nullptr) return link_unnamed(fd, directory, to);
  if (way == naming_way::rename) {
    int error = rename_without_replacing(directory, from, to);
    if (!refused_rename(error)) return error;
    way = naming_way::link;
  }
  if (way == naming_way::link) {
    int error = sys::linkat(directory, from, directory, to, 0) == 0 ? 0 : errno;
    if (error == 0) (void)sys::unlinkat(directory, from, 0);
    if (!refused_link(error)) return error;
    way = naming_way::placeholder;  // no hard links (FAT)
  }
  return rename_over_placeholder(directory, from, to);
}

#if PROPSLICE_HAVE_F_SETLEASE
namespace {

std::atomic<int> leased_fd{-1};
std::atomic<bool> lease_broken{true};
static_assert(std::atomic<int>::is_always_lock_free);

// Someone opens the leased file for writing: they wait until the lease is
// given up, so it is given up here and then, once noted.
void on_lease_break(int) {
  int saved = errno;
  int fd = leased_fd.load();
  if (fd >= 0) {
    lease_broken.store(true);
    (void)sys::fcntl(fd, F_SETLEASE, F_UNLCK);
  }
  errno = saved;
}

}  // namespace
#endif

int prepare_read_leases() {
#if PROPSLICE_HAVE_F_SETLEASE
  static const int error = [] {
    struct sigaction action {};
    action.sa_handler = on_lease_break;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGIO, &action, nullptr) != 0) return errno;
    // A mask inherited with SIGIO blocked would leave every break pending:
    // the writer would wait the system's whole lease-break time.
    sigset_t lease_break;
    sigemptyset(&lease_break);
    sigaddset(&lease_break, SIGIO);
    return pthread_sigmask(SIG_UNBLOCK, &lease_break, nullptr);
  }();
  return error;
#else
  return 0;
#endif
}

int take_read_lease(int fd) {
#if PROPSLICE_HAVE_F_SETLEASE
  if (prepare_read_leases() != 0) return ENOSYS;
  // The lease taken last goes with its file's last descriptor. That
  // descriptor number now being `fd` means the file was closed: nothing to
  // give up, and an unlock would act on the new file.
  int last = leased_fd.exchange(-1);
  if (last >= 0 && last != fd) (void)sys::fcntl(last, F_SETLEASE, F_UNLCK);
  lease_broken.store(false);
  leased_fd.store(fd);
  if (sys::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return 0;
  int error = errno;
  leased_fd.store(-1);
  lease_broken.store(true);
  return error;
#else
  (void)fd;
  return ENOSYS;
#endif
}

bool read_lease_broken() {
#if PROPSLICE_HAVE_F_SETLEASE
  return lease_broken.load();
#else
  return true;
#endif
}

void drop_read_lease(int fd) {
#if PROPSLICE_HAVE_F_SETLEASE
  int leased = fd;
  if (fd < 0 || !leased_fd.compare_exchange_strong(leased, -1)) return;
  lease_broken.store(true);
  (void)sys::fcntl(fd, F_SETLEASE, F_UNLCK);
#else
  (void)fd;
#endif
}

}  // namespace platform
