#include "split/write_pieces.h"

#include <limits.h>

#include <cerrno>

#include "platform/system_calls.h"

namespace {

#ifdef IOV_MAX
constexpr std::size_t max_pieces_per_write = IOV_MAX;
#else
constexpr std::size_t max_pieces_per_write = 16;  // the least POSIX allows
#endif

}  // namespace

int write_pieces(int fd, const std::vector<iovec>& pieces, std::size_t first, std::size_t skip) {
  std::size_t next = first, written = skip;  // the first byte not yet written
  iovec batch[max_pieces_per_write];
  while (next < pieces.size()) {
    int count = 0;
    for (std::size_t i = next; i < pieces.size() && count < static_cast<int>(max_pieces_per_write);
         ++i)
      batch[count++] = pieces[i];
    batch[0].iov_base = static_cast<char*>(batch[0].iov_base) + written;
    batch[0].iov_len -= written;
    ssize_t result = sys::writev(fd, batch, count);
    if (result < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (result == 0) return EIO;  // no progress: never loop forever
    auto left = static_cast<std::size_t>(result);
    while (left > 0) {
      std::size_t rest = pieces[next].iov_len - written;
      if (left < rest) {
        written += left;
        break;
      }
      left -= rest;
      ++next;
      written = 0;
    }
  }
  return 0;
}
