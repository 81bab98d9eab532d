// Writing one output so that its name only ever holds a complete file.

#include "split/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// Whether `name` in `directory` is still the file `held`.
bool still_holds(int directory, const char* name, const struct stat& held) {
  struct stat now;
  return fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
         now.st_ino == held.st_ino;
}

// Where names can be had neither by a rename that does not replace nor by
// a link: the name is taken by creating it empty, which fails when anything
// is there, and `temporary` is renamed over that empty file, only while the
// name still holds it: a file that another process put there meanwhile is
// never replaced (EEXIST). A kill between the two steps leaves the empty
// file under the name; the instant between the last check and the rename
// stays open.
int rename_over_placeholder(int directory, const char* temporary, const char* base) {
  int placeholder = openat(directory, base, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (placeholder < 0) return errno;
  struct stat held;
  int error = fstat(placeholder, &held) == 0 ? 0 : errno;
  if (close(placeholder) != 0 && error == 0) error = errno;
  if (error != 0) {
    (void)unlinkat(directory, base, 0);  // just made, and not written to
    return error;
  }
  if (!still_holds(directory, base, held)) return EEXIST;
  if (renameat(directory, temporary, directory, base) == 0) return 0;
  error = errno;
  if (still_holds(directory, base, held)) (void)unlinkat(directory, base, 0);
  return error;
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
  fd_ = temporary_.create(directory.fd(), directory.prefix());
  return fd_ >= 0 ? 0 : errno;
}

int output_file::clone_from(int source, std::uint64_t length) {
  return platform::share_blocks(source, fd_, length);
}

int output_file::write(const std::vector<iovec>& pieces, std::uint64_t skip) {
  // A new or emptied file is written from its start already.
  if (skip != 0 && lseek(fd_, static_cast<off_t>(skip), SEEK_SET) < 0) return errno;
  std::size_t next = 0;
  bytes_written_ = 0;
  for (const iovec& piece : pieces) bytes_written_ += piece.iov_len;
  bytes_written_ -= skip;
  while (next < pieces.size() && skip >= pieces[next].iov_len) skip -= pieces[next++].iov_len;
  return write_pieces(fd_, pieces, next, static_cast<std::size_t>(skip));
}

int output_file::sync() {
  return directory_->survives_power_loss ? platform::sync_data(fd_) : 0;
}

int output_file::sync_file_system() { return platform::sync_file_system(fd_); }

void output_file::start_writeback() { platform::start_writeback(fd_); }

int output_file::truncate() {
  return ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
}

int output_file::publish(const char* base, bool replace) {
  int error = temporary_.exists() ? name_named(base, replace) : name_unnamed(base, replace);
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
// which fails when the name is taken. To replace what is there, that first
// name is a hidden one, renamed over the final one at once.
int output_file::name_unnamed(const char* base, bool replace) {
  int directory = directory_->fd();
  int error = platform::link_unnamed(fd_, directory, base);
  if (error != EEXIST || !replace) return error;
  // The hidden name is gone again before a signal that removes
  // temporaries is taken.
  cleanup_signals_blocked blocked;
  hidden_name hidden{};
  make_hidden_name(hidden);
  error = platform::link_unnamed(fd_, directory, hidden.data());
  if (error == 0 && renameat(directory, hidden.data(), directory, base) != 0) {
    error = errno;
    (void)unlinkat(directory, hidden.data(), 0);
  }
  return error;
}

int output_file::name_named(const char* base, bool replace) {
  // The hidden name is renamed away, or removed, before a signal that
  // removes temporaries is taken.
  cleanup_signals_blocked blocked;
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
      // Nor hard links (FAT).
      error = rename_over_placeholder(directory, temporary, base);
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
