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

// Fills `size` bytes with ones that differ from call to call and from
// process to process: the system's random bytes, or where it refuses them
// (no getrandom in a sandbox, say), bytes mixed from the time, the process
// and a count. Unpredictable only in the first case; never fails.
void random_bytes(unsigned char* into, std::size_t size);

// The most memory this process can be given: the lowest of the machine's
// physical memory, RLIMIT_AS and RLIMIT_DATA, and the room every memory
// cgroup the process is in has left (see cgroup_memory_limit). Read at the
// first call, which the rest of the run is answered with. UINT64_MAX when
// nothing tells.
std::uint64_t memory_limit();
// Whether memory_limit() reads the limits of cgroups (Linux).
bool cgroups_bound_memory();

// Where a cgroup hierarchy is mounted: at `directory`, which shows the
// cgroup `root` of the hierarchy (as in /proc/self/mountinfo). An empty
// directory: not mounted.
struct cgroup_mount {
  std::string directory, root = "/";
};
struct cgroup_mounts {
  cgroup_mount unified;  // cgroup v2
  cgroup_mount memory;   // cgroup v1's memory controller
};

// The cgroup mounts that the text of /proc/self/mountinfo lists; the
// first of each kind.
cgroup_mounts find_cgroup_mounts(std::string_view mountinfo);

// The memory that the cgroups named in `self` (the text of
// /proc/self/cgroup) leave for a process: at each, from the process's own
// up to the root of the hierarchy as mounted, its limit (v2 memory.max,
// v1 memory.limit_in_bytes, up through v1 cgroups that count their
// children) less what is in use there, page cache aside, which the system
// reclaims before it runs short. The lowest; UINT64_MAX when none limits.
std::uint64_t cgroup_memory_limit(std::string_view self, const cgroup_mounts& mounts);

// The processors this process may run on; at least 1.
unsigned usable_processors();

// Memory [begin, begin + length) is about to be filled: have it present at
// once, in one call where the system can, rather than a fault per page.
// Only a hint.
void prefault(char* begin, std::size_t length);

// The last byte `c` in [begin, begin + size), or nullptr.
const char* find_last(const char* begin, std::size_t size, char c);

// When a file's data last changed, and when its status last changed.
timespec modified_time(const struct stat& status);
timespec changed_time(const struct stat& status);

// Opens a directory only to create and name things in it. Returns the
// descriptor, or -1 with errno set.
int open_directory(const char* path);
// Whether open_directory() needs the directory to be readable, as where
// the system opens directories for nothing less: it then fails with EACCES
// on one that can be written and searched but not listed.
bool directories_open_for_reading();

// Whether the file system of `fd`, or of the file at `path`, keeps its
// files in memory only (tmpfs), so that a power cut takes them whatever
// was synced.
bool held_in_memory(int fd);
bool held_in_memory(const char* path);

// The bytes that the file system of `directory` (a descriptor, or
// AT_FDCWD and the directory's `path`) has left for this process's user.
// Returns 0 or an errno value; ENOSYS where the system cannot tell.
int free_bytes(int directory, const char* path, std::uint64_t& bytes);

// Makes the data of the files open as fds[0] .. fds[count - 1] durable,
// with what is needed to read them back, in the way this system does that
// best for many files at once (see platform.cc). Returns 0, or the errno
// value of the first of them, in order, that failed; `durable` is set to
// how many before it are on the disk.
int make_durable(const int* fds, std::size_t count, std::size_t& durable);

// Starts writing the data of the file open as `fd` to the disk, without
// waiting for it: a later make_durable() then finds little left to do.
// Only a hint.
void start_writeback(int fd);

// Makes the first `length` bytes of `target` those of `source` at the same
// offsets, sharing the file system's blocks where it can. Returns 0 or an
// errno value; EOPNOTSUPP where the system has no way to.
int share_blocks(int source, int target, std::uint64_t length);

// A new file in `directory` that has no name: it goes with its last
// descriptor unless named. Returns the descriptor open for writing, or -1
// with errno set.
int open_unnamed(int directory);
// Whether the file system of `directory` makes such files: decided once
// per directory, by making one.
bool makes_unnamed_files(int directory);

// How a file system takes a new name without replacing what is there,
// best first: each is tried until the file system accepts one.
enum class naming_way { rename, link, placeholder };

// Gives a complete file the name `to` in `directory`, unless something is
// there already (EEXIST; a dangling symbolic link included), and never
// replacing what another process puts there meanwhile. The file is the one
// named `from` in `directory`, which is gone afterwards, or with `from`
// null the unnamed file open as `fd`. `way` starts as naming_way::rename
// for a new directory and is stepped down where its file system refuses a
// way; where only the placeholder is left, a kill between its steps leaves
// an empty file under the name. Returns 0 or an errno value.
int name_new_file(int directory, int fd, const char* from, const char* to, naming_way& way);

// Sets the process up to hear at once that a read lease is being broken:
// the signal that says so is handled, and unblocked whatever signal mask
// the process inherited, so that a writer never waits for the system's
// lease-break time. Done once, before any thread starts (take_read_lease
// does it too, for a caller that did not). Returns 0 or an errno value.
int prepare_read_leases();

// A read lease on the input open read-only as `fd`: while it is held,
// nobody has the file open for writing, a writable shared mapping
// included. Someone opening it for writing breaks the lease, which is
// then given up at once, so that the writer waits for nothing. Returns 0,
// or an errno value: EAGAIN when the file is open for writing already;
// any other when no lease can be had here (no such leases on this system
// or file system, or not the file's owner).
int take_read_lease(int fd);
// Whether the lease taken last was broken since; true when none is held.
bool read_lease_broken();
// Gives the lease up, if still held and that of the file open as `fd`: one
// input's lease is never given up for another's, whose outputs may be made
// after the next input was read (and leased).
void drop_read_lease(int fd);

}  // namespace platform
