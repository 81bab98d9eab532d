// Preloaded into the tool (LD_PRELOAD) by the fault tests: operator new,
// which no table of system calls can stand in for, fails where a test
// asks. Unset, every allocation goes through.
//
//   PROPSLICE_FAIL_NEW=K          the K-th operator new of the process, in any
//                                 form, fails (nullptr for the nothrow forms)
//   PROPSLICE_FAULT_LOG=PATH      'n' appended for each failed operator new
//
// (Faults of system calls come from the harness: see harness.cc.)

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// When the count of calls reaches `at`: fails once.
struct fault {
  long at = 0;  // 0: never
  std::atomic<long> calls{0};

  explicit fault(const char* variable) {
    if (const char* value = std::getenv(variable)) at = std::strtol(value, nullptr, 10);
  }
  bool fails_now() { return ++calls == at; }
};

fault& failing_new() {
  static fault f("PROPSLICE_FAIL_NEW");
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
