// Preloaded into the tool (LD_PRELOAD) by the fault tests, to bring about
// on demand what neither a limit nor a small file system brings about at a
// chosen point. Each is set by an environment variable; unset, the call
// goes through unchanged.
//
//   PROPSLICE_FAIL_NEW=K          the K-th operator new of the process, in any
//                                 form, fails (nullptr for the nothrow forms)
//   PROPSLICE_FULL_AT_NAMING=K    the K-th naming of an output (a link or a
//                                 rename to a name that is not a hidden
//                                 temporary) fails with ENOSPC; "K+": every
//                                 one from the K-th on (and links from a
//                                 descriptor are refused, see linkat)
//   PROPSLICE_NO_LINKS=1          as on FAT: renameat2 fails with EINVAL and
//                                 a link to an output's own name with EPERM
//                                 (with named temporaries, set by the
//                                 harness, outputs then take their names over
//                                 placeholders)
//   PROPSLICE_TAKE_NAME_BEFORE_RENAME=1
//                                 plays another process: when the tool
//                                 closes the first empty file it made under
//                                 an output's own name (a placeholder), that
//                                 file is removed and another is created
//                                 there, holding "taken\n", before the tool
//                                 can rename over it
//   PROPSLICE_FULL_AT_SYNC=K      the K-th sync of a file or a file system
//                                 (fsync, fdatasync, syncfs) fails with
//                                 ENOSPC, as on a disk that fills up while
//                                 the data written goes out to it; "K+":
//                                 every one from the K-th on
//   PROPSLICE_NO_RANDOM=E         getrandom and getentropy fail with the
//                                 errno value E, as in a sandbox; "E+":
//                                 opening /dev/urandom fails with E too
//   PROPSLICE_INTERRUPT_OUTPUT=K  the K-th write to standard output (write
//                                 or writev on descriptor 1) fails with
//                                 EINTR before it writes anything
//   PROPSLICE_FAULT_LOG=PATH      one byte appended for each of these calls:
//                                 'n' a failed operator new, 'N' a failed
//                                 naming, 'S' a failed sync, 'r' refused
//                                 random bytes, 'i' an interrupted write
//
// (A clone that fails is the harness's: see harness.cc.)

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace {

// When the count of calls reaches `at`: fails once, or from then on.
struct fault {
  long at = 0;  // 0: never
  bool onwards = false;
  std::atomic<long> calls{0};

  explicit fault(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return;
    char* end = nullptr;
    at = std::strtol(value, &end, 10);
    onwards = *end == '+';
  }
  bool fails_now() {
    long call = ++calls;
    return at > 0 && (call == at || (onwards && call > at));
  }
};

fault& failing_new() {
  static fault f("PROPSLICE_FAIL_NEW");
  return f;
}
fault& full_at_naming() {
  static fault f("PROPSLICE_FULL_AT_NAMING");
  return f;
}
fault& full_at_sync() {
  static fault f("PROPSLICE_FULL_AT_SYNC");
  return f;
}
void log(char event) {
  const char* path = std::getenv("PROPSLICE_FAULT_LOG");
  if (path == nullptr) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || write(fd, &event, 1) != 1 || close(fd) != 0) std::abort();
}

void* allocate(std::size_t size, std::size_t alignment, bool nothrow) {
  if (failing_new().fails_now()) {
    log('n');
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* memory = nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t))
    memory = std::malloc(size);
  else if (posix_memalign(&memory, alignment, size) != 0)
    memory = nullptr;
  if (memory == nullptr && !nothrow) throw std::bad_alloc();
  return memory;
}

// Whether `name` is an output's own name, not a hidden temporary's.
bool final_name(const char* name) {
  std::string_view path = name;
  std::size_t slash = path.rfind('/');
  return !path.substr(slash == std::string_view::npos ? 0 : slash + 1).starts_with(".propslice-");
}

template <typename function>
function real(const char* name) {
  return reinterpret_cast<function>(dlsym(RTLD_NEXT, name));
}

bool naming_fails(const char* name) {
  if (!final_name(name) || !full_at_naming().fails_now()) return false;
  log('N');
  errno = ENOSPC;
  return true;
}

bool no_links() { return std::getenv("PROPSLICE_NO_LINKS") != nullptr; }

// For PROPSLICE_TAKE_NAME_BEFORE_RENAME: `fd`, about to be closed, is
// open for writing only on an empty regular file under an output's own
// name (an output is never empty, the input is open for reading): that
// name is taken, once.
void take_name_of_placeholder(int fd) {
  static std::atomic<bool> taken{false};
  struct stat status;
  if (taken.load() || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 0 ||
      (fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY)
    return;
  char self[40], path[4096];
  (void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(self, path, sizeof path - 1);
  if (length <= 0) return;
  path[length] = '\0';
  if (!final_name(path) || unlink(path) != 0 || taken.exchange(true)) return;
  int own = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (own < 0 || write(own, "taken\n", 6) != 6) std::abort();
  static auto next = real<int (*)(int)>("close");
  if (next(own) != 0) std::abort();
}

bool sync_fails() {
  if (!full_at_sync().fails_now()) return false;
  log('S');
  errno = ENOSPC;
  return true;
}

// For PROPSLICE_NO_RANDOM: the errno value random bytes are refused with,
// or 0; `device`: /dev/urandom too.
int refused_random(bool device) {
  const char* value = std::getenv("PROPSLICE_NO_RANDOM");
  if (value == nullptr) return 0;
  char* end = nullptr;
  long error = std::strtol(value, &end, 10);
  if (device && *end != '+') return 0;
  log('r');
  return static_cast<int>(error);
}

bool output_interrupted(int fd) {
  static fault f("PROPSLICE_INTERRUPT_OUTPUT");
  if (fd != 1 || !f.fails_now()) return false;
  log('i');
  errno = EINTR;
  return true;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0, false); }
void* operator new[](std::size_t size) { return allocate(size, 0, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0, true);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment), true);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment), true);
}
// Everything allocated above is freed with free(), as the library's own
// operator delete does; these make sure of it.
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

extern "C" {

int linkat(int from_directory, const char* from, int to_directory, const char* to,
           int flags) noexcept {
  // Linking from a descriptor is refused, as it is to a process without
  // privileges: outputs are then linked through /proc, one call each, so
  // that the count of namings is the same for every user.
  if ((flags & AT_EMPTY_PATH) != 0 && std::getenv("PROPSLICE_FULL_AT_NAMING") != nullptr) {
    errno = ENOENT;
    return -1;
  }
  if (naming_fails(to)) return -1;
  if (no_links() && final_name(to)) {
    errno = EPERM;
    return -1;
  }
  static auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
  return next(from_directory, from, to_directory, to, flags);
}

int renameat(int from_directory, const char* from, int to_directory, const char* to) noexcept {
  if (naming_fails(to)) return -1;
  static auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
  return next(from_directory, from, to_directory, to);
}

int renameat2(int from_directory, const char* from, int to_directory, const char* to,
              unsigned flags) noexcept {
  if (naming_fails(to)) return -1;
  if (no_links()) {
    errno = EINVAL;
    return -1;
  }
  static auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return next(from_directory, from, to_directory, to, flags);
}

int close(int fd) {
  if (std::getenv("PROPSLICE_TAKE_NAME_BEFORE_RENAME") != nullptr) take_name_of_placeholder(fd);
  static auto next = real<int (*)(int)>("close");
  return next(fd);
}

ssize_t getrandom(void* into, std::size_t size, unsigned flags) {
  if (int error = refused_random(false)) {
    errno = error;
    return -1;
  }
  static auto next = real<ssize_t (*)(void*, std::size_t, unsigned)>("getrandom");
  return next(into, size, flags);
}

int getentropy(void* into, std::size_t size) {
  if (int error = refused_random(false)) {
    errno = error;
    return -1;
  }
  static auto next = real<int (*)(void*, std::size_t)>("getentropy");
  return next(into, size);
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    std::va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if (std::strcmp(path, "/dev/urandom") == 0) {
    if (int error = refused_random(true)) {
      errno = error;
      return -1;
    }
  }
  static auto next = real<int (*)(const char*, int, ...)>("open");
  return next(path, flags, mode);
}

ssize_t write(int fd, const void* bytes, std::size_t size) {
  if (output_interrupted(fd)) return -1;
  static auto next = real<ssize_t (*)(int, const void*, std::size_t)>("write");
  return next(fd, bytes, size);
}

ssize_t writev(int fd, const iovec* pieces, int count) {
  if (output_interrupted(fd)) return -1;
  static auto next = real<ssize_t (*)(int, const iovec*, int)>("writev");
  return next(fd, pieces, count);
}

int fsync(int fd) {
  if (sync_fails()) return -1;
  static auto next = real<int (*)(int)>("fsync");
  return next(fd);
}

int fdatasync(int fd) {
  if (sync_fails()) return -1;
  static auto next = real<int (*)(int)>("fdatasync");
  return next(fd);
}

int syncfs(int fd) noexcept {
  if (sync_fails()) return -1;
  static auto next = real<int (*)(int)>("syncfs");
  return next(fd);
}

}  // extern "C"
