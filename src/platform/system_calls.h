#pragma once

// Every system call the tool makes goes through one table, `sys::calls`,
// whose entries are the real calls: a test program puts its own in their
// place to play a file system, a full disk or another process. The tool
// calls them as `sys::openat(...)` and never changes the table; it reads
// no environment variable to fill it.
//
// Calling sequence, for a test: change entries before the code under test
// runs (before any writing thread starts), keep the old entry to call
// through to it, and put it back after. An entry for a call that this
// system lacks is null: the tool calls it only where the system has it.

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct rlimit;
struct statfs;
struct statvfs;

namespace sys {

struct system_calls {
  int (*open)(const char* path, int flags, mode_t mode) = nullptr;
  int (*openat)(int directory, const char* path, int flags, mode_t mode) = nullptr;
  int (*close)(int fd) = nullptr;
  ssize_t (*read)(int fd, void* into, std::size_t size) = nullptr;
  ssize_t (*writev)(int fd, const iovec* pieces, int count) = nullptr;
  off_t (*lseek)(int fd, off_t offset, int whence) = nullptr;
  int (*ftruncate)(int fd, off_t length) = nullptr;
  int (*fstat)(int fd, struct stat* status) = nullptr;
  int (*fstatat)(int directory, const char* path, struct stat* status, int flags) = nullptr;
  int (*stat)(const char* path, struct stat* status) = nullptr;
  int (*lstat)(const char* path, struct stat* status) = nullptr;
  int (*fstatfs)(int fd, struct statfs* file_system) = nullptr;
  int (*statfs)(const char* path, struct statfs* file_system) = nullptr;
  int (*fstatvfs)(int fd, struct statvfs* file_system) = nullptr;
  int (*statvfs)(const char* path, struct statvfs* file_system) = nullptr;
  int (*fcntl)(int fd, int command, int argument) = nullptr;
  int (*ioctl)(int fd, unsigned long request, void* argument) = nullptr;
  int (*fsync)(int fd) = nullptr;
  int (*fdatasync)(int fd) = nullptr;
  int (*syncfs)(int fd) = nullptr;
  int (*sync_file_range)(int fd, off_t offset, off_t length, unsigned flags) = nullptr;
  int (*linkat)(int from_directory, const char* from, int to_directory, const char* to, int flags) = nullptr;
  int (*renameat)(int from_directory, const char* from, int to_directory, const char* to) = nullptr;
  int (*renameat2)(int from_directory, const char* from, int to_directory, const char* to,
                   unsigned flags) = nullptr;
  int (*renameatx_np)(int from_directory, const char* from, int to_directory, const char* to,
                      unsigned flags) = nullptr;
  int (*unlinkat)(int directory, const char* path, int flags) = nullptr;
  ssize_t (*copy_file_range)(int source, off_t* source_offset, int target, off_t* target_offset,
                             std::size_t length, unsigned flags) = nullptr;
  ssize_t (*getrandom)(void* into, std::size_t size, unsigned flags) = nullptr;
  int (*getentropy)(void* into, std::size_t size) = nullptr;
  int (*getrlimit)(int resource, struct rlimit* limit) = nullptr;

  // Choices of the tool's own that a test may make instead; 0 and null
  // leave them to the tool.
  unsigned writing_threads = 0;  // the thread count to write outputs on, whatever the work
  std::size_t input_read_size = 0;  // the bytes one read of an input asks for, to reach its edges
  // Before writing thread `index` (from 0) starts; may throw what starting a thread can.
  void (*starting_thread)(unsigned index) = nullptr;
  // On a writing thread right after it took output `number`, with the flag stop() sets.
  void (*took_number)(std::uint64_t number, const std::atomic<bool>& stopping) = nullptr;
};

extern system_calls calls;

// sys::NAME(...) calls entry NAME of the table.
inline int open(const char* path, int flags, mode_t mode = 0) { return calls.open(path, flags, mode); }
inline int openat(int directory, const char* path, int flags, mode_t mode = 0) {
  return calls.openat(directory, path, flags, mode);
}
inline int fcntl(int fd, int command, int argument = 0) { return calls.fcntl(fd, command, argument); }
auto close(auto... arguments) { return calls.close(arguments...); }
auto read(auto... arguments) { return calls.read(arguments...); }
auto writev(auto... arguments) { return calls.writev(arguments...); }
auto lseek(auto... arguments) { return calls.lseek(arguments...); }
auto ftruncate(auto... arguments) { return calls.ftruncate(arguments...); }
auto fstat(auto... arguments) { return calls.fstat(arguments...); }
auto fstatat(auto... arguments) { return calls.fstatat(arguments...); }
auto stat(auto... arguments) { return calls.stat(arguments...); }
auto lstat(auto... arguments) { return calls.lstat(arguments...); }
auto fstatfs(auto... arguments) { return calls.fstatfs(arguments...); }
auto statfs(auto... arguments) { return calls.statfs(arguments...); }
auto fstatvfs(auto... arguments) { return calls.fstatvfs(arguments...); }
auto statvfs(auto... arguments) { return calls.statvfs(arguments...); }
auto ioctl(auto... arguments) { return calls.ioctl(arguments...); }
auto fsync(auto... arguments) { return calls.fsync(arguments...); }
auto fdatasync(auto... arguments) { return calls.fdatasync(arguments...); }
auto syncfs(auto... arguments) { return calls.syncfs(arguments...); }
auto sync_file_range(auto... arguments) { return calls.sync_file_range(arguments...); }
auto linkat(auto... arguments) { return calls.linkat(arguments...); }
auto renameat(auto... arguments) { return calls.renameat(arguments...); }
auto renameat2(auto... arguments) { return calls.renameat2(arguments...); }
auto renameatx_np(auto... arguments) { return calls.renameatx_np(arguments...); }
auto unlinkat(auto... arguments) { return calls.unlinkat(arguments...); }
auto copy_file_range(auto... arguments) { return calls.copy_file_range(arguments...); }
auto getrandom(auto... arguments) { return calls.getrandom(arguments...); }
auto getentropy(auto... arguments) { return calls.getentropy(arguments...); }
auto getrlimit(auto... arguments) { return calls.getrlimit(arguments...); }

}  // namespace sys
