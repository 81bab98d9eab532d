#pragma once

// Where the systems the tool runs on differ. Every call here has a fast
// path that some systems offer and a plain POSIX way that all do, with the
// same observable result; which is used was found where the tool was
// configured. The rest of the tool reads as if there were one system.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace platform {

// Fills `size` bytes that differ between calls and processes: the system's
// random bytes, else (refused in a sandbox) the time, pid and a count mixed.
void random_bytes(unsigned char* into, std::size_t size);

// The most memory this process can be given: the lowest of physical memory,
// RLIMIT_AS, RLIMIT_DATA and its cgroups' room; read once. UINT64_MAX: unknown.
std::uint64_t memory_limit();
// Whether memory_limit() reads the limits of cgroups (Linux).
bool cgroups_bound_memory();

// A cgroup hierarchy mounted at `directory` (empty: none), showing its
// cgroup `root` there, as /proc/self/mountinfo says.
struct cgroup_mount {
  std::string directory, root = "/";
};
struct cgroup_mounts {
  cgroup_mount unified;  // cgroup v2
  cgroup_mount memory;   // cgroup v1's memory controller
};

// The first cgroup mount of each kind in the text of /proc/self/mountinfo.
cgroup_mounts find_cgroup_mounts(std::string_view mountinfo);

// The lowest room, from the cgroup `self` names (/proc/self/cgroup's text)
// up to the root: its limit less what is in use, page cache aside.
std::uint64_t cgroup_memory_limit(std::string_view self, const cgroup_mounts& mounts);

// The processors this process may run on; at least 1.
unsigned usable_processors();

// Memory [begin, begin + length) is about to be filled: a hint to have it
// present at once rather than a fault per page.
void prefault(char* begin, std::size_t length);

// The last byte `c` in [begin, begin + size), or nullptr.
const char* find_last(const char* begin, std::size_t size, char c);

// When a file's data last changed, and when its status last changed.
timespec modified_time(const struct stat& status);
timespec changed_time(const struct stat& status);

// Opens a directory only to create and name things in it. Returns the
// descriptor, or -1 with errno set.
int open_directory(const char* path);
// Whether open_directory() needs a readable directory (EACCES on one that
// can be written and searched but not listed).
bool directories_open_for_reading();

// Whether the file system of `fd` or `path` holds its files in memory only
// (tmpfs): a power cut takes them whatever was synced.
bool held_in_memory(int fd);
bool held_in_memory(const char* path);

// The bytes left for this user on the file system of `directory` (or of
// `path` with AT_FDCWD). Returns 0 or an errno value (ENOSYS: cannot tell).
int free_bytes(int directory, const char* path, std::uint64_t& bytes);

// Makes the data of fds[0 .. count) durable (`one_directory`: all in one
// directory), in this system's best way for many files. Returns 0 or the
// errno value of the first that failed; `durable`: how many before it are.
int make_durable(const int* fds, std::size_t count, bool one_directory, std::size_t& durable);

// A hint to start writing `fd`'s data to the disk now, for make_durable().
void start_writeback(int fd);

// Makes `target`'s first `length` bytes `source`'s, sharing blocks where
// it can. Returns 0 or an errno value (EOPNOTSUPP: no way here).
int share_blocks(int source, int target, std::uint64_t length);

// A new file without a name in `directory`, gone with its last descriptor
// unless named. Returns the descriptor open for writing, or -1 and errno.
int open_unnamed(int directory);
// Whether `directory`'s file system makes such files (one is made to tell).
bool makes_unnamed_files(int directory);

// The ways to give a new name without replacing, best first.
enum class naming_way { rename, link, placeholder };

// Names the complete file `from` in `directory` (or with `from` null the
// unnamed file `fd`) `to`, failing with EEXIST when anything is there, a
// dangling link included; nothing is ever replaced. `way` starts at rename
// and steps down where the file system refuses one (with the placeholder, a
// kill between its steps leaves an empty file at `to`). Returns 0 or errno.
int name_new_file(int directory, int fd, const char* from, const char* to, naming_way& way);

// Handles and unblocks the lease-break signal, so that a writer never waits
// the system's lease-break time. Once, before threads start; 0 or errno.
int prepare_read_leases();

// A read lease on `fd`: while held, nobody has the file open for writing
// (a shared mapping included); a writer breaks it and it is given up at
// once. Returns 0, EAGAIN when open for writing already, or another errno
// when no lease can be had here.
int take_read_lease(int fd);
// Whether the lease taken last was broken since; true when none is held.
bool read_lease_broken();
// Gives the lease up if it is still held and is `fd`'s, never another's.
void drop_read_lease(int fd);

}  // namespace platform
