// Sets the tool's internal seams from PROPSLICE_TEST_SEAMS before main
// runs, so that the same suites run with several writing threads and with
// named temporaries: "threads=N" and "named", separated by commas. And
// "clones=K": blocks are shared by copying them, as on a copy-on-write file
// system, and the K-th share fails with ENOSPC ("K+": every one from the
// K-th on; 0: none); each appends 'c' (a copy) or 'C' (a failure) to the
// file that PROPSLICE_FAULT_LOG names, if any.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/seams.h"

namespace {

long failing_clone = 0;
bool failing_onwards = false;
std::atomic<long> clones{0};  // made on the writing threads

int copying_clone(int source, int target, std::uint64_t length) {
  long clone = ++clones;
  bool fails = clone == failing_clone || (failing_onwards && clone > failing_clone);
  if (const char* log = std::getenv("PROPSLICE_FAULT_LOG")) {
    char event = fails ? 'C' : 'c';
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, &event, 1) != 1 || close(fd) != 0) return EIO;
  }
  if (fails) return ENOSPC;
  char buffer[65536];
  for (std::uint64_t done = 0; done < length;) {
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - done));
    ssize_t count = pread(source, buffer, size, static_cast<off_t>(done));
    if (count <= 0) return count == 0 ? EIO : errno;
    if (pwrite(target, buffer, static_cast<std::size_t>(count), static_cast<off_t>(done)) != count)
      return errno;
    done += static_cast<std::uint64_t>(count);
  }
  return 0;
}

const bool seams_set = [] {
  const char* seams = std::getenv("PROPSLICE_TEST_SEAMS");
  if (seams == nullptr) return false;
  std::string_view rest = seams;
  while (!rest.empty()) {
    std::string_view seam = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), seam.size() + 1));
    if (seam == "named") platform::seams::named_temporaries = true;
    if (seam.starts_with("threads="))
      platform::seams::thread_count = static_cast<unsigned>(std::atoi(seam.data() + 8));
    if (seam.starts_with("clones=")) {
      char* end = nullptr;
      failing_clone = std::strtol(seam.data() + 7, &end, 10);
      failing_onwards = *end == '+';
      platform::seams::share_blocks = copying_clone;
    }
  }
  return true;
}();

}  // namespace
