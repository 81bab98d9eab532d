#pragma once

#include <sys/stat.h>

// Whether an input still holds the bytes read from it: the one rule for
// every read of the scan and for the blocks that outputs share with the
// input afterwards.
// - Under a read lease, held from before the read: nobody opened the file
//   for writing since, and its status did not move.
// - With no lease to be had but for a writer (no leases here, not the
//   file's owner): its status did not move. A change that moves neither
//   time (a store through a shared mapping, or one within the same tick of
//   a coarse clock) is not seen.
// - Where a writer holds the file open already (a writable shared mapping
//   does), its status proves nothing, as a store into a page stored into
//   before moves no time: only two reads of the same bytes tell, and its
//   blocks are never shared.
//
//   input_guard guard(fd, status);     // before the first read
//   ...read; guard.unchanged(error)    // it holds what was read, or read again:
//   guard.restart(); ...read; guard.unchanged(error)
class input_guard {
 public:
  enum class kind {
    lease,     // a read lease is held
    identity,  // the status tells
    none,      // a writer holds the file open, or nothing is guarded
  };

  input_guard() = default;  // guards nothing
  // Takes a read lease on the input open as `fd`, whose status is `status`.
  input_guard(int fd, const struct stat& status);

  // Before another read from the start: asks again for a lease that was
  // broken or refused, then takes the status. Returns 0 or an errno value.
  int restart();

  // Whether the input holds what it held at the last start. False too when
  // its status cannot be had, with `error` set (0 otherwise).
  bool unchanged(int& error) const;

  bool writer_open() const;
  kind how() const;
  const struct stat& status() const { return since_; }  // at the last start

 private:
  int fd_ = -1;
  int lease_ = 0;  // 0 when held, else why not
  struct stat since_ {};
};
