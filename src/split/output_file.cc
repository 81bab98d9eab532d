// Writing one output so that its name only ever holds a complete file.

#include "split/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/platform.h"
#include "split/write_pieces.h"

namespace {

// Whether a link was refused because the file system has no hard links,
// rather than for the link's own sake.
bool no_hard_links(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

}  // namespace

int output_file::create(output_directory& directory) {
  discard();
  directory_ = &directory;
  if (directory.unnamed_temporaries) {
    fd_ = platform::open_unnamed(directory.fd());
    if (fd_ >= 0) return 0;
    // Refused by the file system, not for want of space or permission.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    directory.unnamed_temporaries = false;
  }
  fd_ = temporary_.create(directory.fd());
  return fd_ >= 0 ? 0 : errno;
}

int output_file::clone_from(int source, std::uint64_t length) {
  return platform::share_blocks(source, fd_, length);
}

int output_file::write(const std::vector<iovec>& pieces, std::uint64_t skip) {
  // A new or emptied file is written from its start already.
  if (skip != 0 && lseek(fd_, static_cast<off_t>(skip), SEEK_SET) < 0) return errno;
  std::size_t next = 0;
  while (next < pieces.size() && skip >= pieces[next].iov_len) skip -= pieces[next++].iov_len;
  return write_pieces(fd_, pieces, next, static_cast<std::size_t>(skip));
}

int output_file::sync() {
  return directory_->survives_power_loss ? platform::sync_data(fd_) : 0;
}

int output_file::truncate() {
  return ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
}

int output_file::publish(const char* base, bool replace) {
  int error;
  {
    // A hidden name, when there is one, is gone again before a signal
    // that removes temporaries is taken.
    cleanup_signals_blocked blocked;
    error = temporary_.exists() ? name_named(base, replace) : name_unnamed(base, replace);
  }
  if (close(std::exchange(fd_, -1)) != 0 && error == 0) {
    error = errno;
    // Without -f the name was free: it is taken back, as the output may be
    // incomplete. With -f what was there is gone already, and the output,
    // synced, is kept: nothing at an output name is ever removed.
    if (!replace) (void)unlinkat(directory_->fd(), base, 0);
  }
  return error;
}

// An unnamed output gets its first name by a link through its descriptor,
// which fails when the name is taken. To replace, that first name is a
// hidden one, renamed over the final one at once.
int output_file::name_unnamed(const char* base, bool replace) {
  int directory = directory_->fd();
  if (!replace) return platform::link_unnamed(fd_, directory, base);
  hidden_name hidden{};
  if (int error = make_hidden_name(hidden)) return error;
  int error = platform::link_unnamed(fd_, directory, hidden.data());
  if (error == 0 && renameat(directory, hidden.data(), directory, base) != 0) {
    error = errno;
    (void)unlinkat(directory, hidden.data(), 0);
  }
  return error;
}

int output_file::name_named(const char* base, bool replace) {
  int directory = directory_->fd();
  const char* temporary = temporary_.name();
  int error = 0;
  if (replace) {
    if (renameat(directory, temporary, directory, base) != 0) error = errno;
  } else {
    error = platform::rename_without_replacing(directory, temporary, base);
    if ((error == EINVAL || error == ENOSYS) && directory_->hard_links) {
      // A file system without such renames: a link fails as well when the
      // name is taken.
      error = linkat(directory, temporary, directory, base, 0) == 0 ? 0 : errno;
      if (error == 0) (void)unlinkat(directory, temporary, 0);
      if (no_hard_links(error)) directory_->hard_links = false;
    }
    if (!directory_->hard_links && (error == EINVAL || error == ENOSYS || no_hard_links(error))) {
      // Nor hard links (FAT): the name is taken by creating it, which
      // fails when it exists, and the output renamed over that empty file.
      // A kill in between leaves the empty file under the name.
      int placeholder = openat(directory, base, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      error = placeholder < 0 ? errno : 0;
      if (error == 0 && close(placeholder) != 0) error = errno;
      if (error == 0 && renameat(directory, temporary, directory, base) != 0) error = errno;
      if (error != 0 && placeholder >= 0) (void)unlinkat(directory, base, 0);
    }
  }
  if (error == 0)
    temporary_.forget();
  else
    temporary_.remove();
  return error;
}

void output_file::discard() {
  if (fd_ >= 0) (void)close(std::exchange(fd_, -1));
  temporary_.remove();
}
