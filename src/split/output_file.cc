// Writing one output so that its name only ever holds a complete file.

#include "split/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/write_pieces.h"

int output_file::create(output_directory& directory) {
  discard();
  directory_ = &directory;
  if (directory.unnamed_temporaries())
    fd_ = platform::open_unnamed(directory.fd());
  else
    fd_ = temporary_.create(directory.fd(), directory.prefix());
  return fd_ >= 0 ? 0 : errno;
}

int output_file::clone_from(int source, std::uint64_t length) {
  return platform::share_blocks(source, fd_, length);
}

int output_file::write(const std::vector<iovec>& pieces, std::uint64_t skip) {
  // A new or emptied file is written from its start already.
  if (skip != 0 && sys::lseek(fd_, static_cast<off_t>(skip), SEEK_SET) < 0) return errno;
  std::size_t next = 0;
  bytes_written_ = 0;
  for (const iovec& piece : pieces) bytes_written_ += piece.iov_len;
  bytes_written_ -= skip;
  while (next < pieces.size() && skip >= pieces[next].iov_len) skip -= pieces[next++].iov_len;
  return write_pieces(fd_, pieces, next, static_cast<std::size_t>(skip));
}

void output_file::start_writeback() { platform::start_writeback(fd_); }

int output_file::truncate() {
  return sys::ftruncate(fd_, 0) == 0 && sys::lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
}

int output_file::publish(const char* base, bool replace) {
  int directory = directory_->fd();
  if (temporary_.exists()) {
    // Closed before the hidden name goes: an open file whose name is
    // removed is kept under yet another name, until it is closed, by FUSE
    // servers (.fuse_hidden*) and NFS clients (.nfs*). The hidden name is
    // renamed away, or removed, before a signal that removes temporaries
    // is taken.
    cleanup_signals_blocked blocked;
    int error = sys::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
    if (error == 0)
      error = replace ? (sys::renameat(directory, temporary_.name(), directory, base) == 0 ? 0 : errno)
                      : platform::name_new_file(directory, -1, temporary_.name(), base,
                                                directory_->naming);
    if (error == 0)
      temporary_.forget();
    else
      temporary_.remove();
    return error;
  }
  // An unnamed output: the link fails when the name is taken.
  int error = platform::name_new_file(directory, fd_, nullptr, base, directory_->naming);
  if (error == EEXIST && replace) error = replace_unnamed(base);
  if (sys::close(std::exchange(fd_, -1)) != 0 && error == 0) {
    error = errno;
    // Without -f the name was free: it is taken back, as the output may be
    // incomplete. With -f what was there is gone already, and the output,
    // synced, is kept: nothing at an output name is ever removed.
    if (!replace) (void)sys::unlinkat(directory, base, 0);
  }
  return error;
}

// To replace what is at `base`, an unnamed output is linked under a hidden
// name and renamed over it at once; the hidden name is gone again before a
// signal that removes temporaries is taken.
int output_file::replace_unnamed(const char* base) {
  cleanup_signals_blocked blocked;
  int directory = directory_->fd();
  hidden_name hidden{};
  make_hidden_name(hidden);
  int error = platform::name_new_file(directory, fd_, nullptr, hidden.data(), directory_->naming);
  if (error == 0 && sys::renameat(directory, hidden.data(), directory, base) != 0) {
    error = errno;
    (void)sys::unlinkat(directory, hidden.data(), 0);
  }
  return error;
}

void output_file::discard() {
  if (fd_ >= 0) (void)sys::close(std::exchange(fd_, -1));
  temporary_.remove();
}
