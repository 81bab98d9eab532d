#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "split/output_directory.h"
#include "split/temporaries.h"

// One output on its way to its name. It is written into a temporary file
// in the output's directory, unnamed where the file system allows it, and
// takes its name only when complete, so the name never holds a partial
// output, however the process ends. Discarded unless published.
class output_file {
 public:
  output_file() = default;
  ~output_file() { discard(); }
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  // Starts an empty output in `directory`. Returns 0 or an errno value.
  int create(output_directory& directory);

  // Makes the first `length` bytes of the output those of `source` at the
  // same offsets, sharing the file system's blocks instead of copying
  // them. `length` must be a multiple of the block size. Returns 0 or the
  // errno value of the refusal; the output is then unchanged.
  int clone_from(int source, std::uint64_t length);

  // Writes `pieces`, leaving out their first `skip` bytes, from offset
  // `skip` on. Returns 0 or an errno value.
  int write(const std::vector<iovec>& pieces, std::uint64_t skip);

  // Starts putting what was written on the disk, for make_durable() to
  // come (see platform.h).
  void start_writeback();
  // The descriptor to make durable.
  int fd() const { return fd_; }
  // The bytes the last write() wrote: what a sync has to put on the disk.
  std::uint64_t bytes_written() const { return bytes_written_; }
  // Whether it waits under a hidden name, which a SIGKILL would leave.
  bool under_hidden_name() const { return temporary_.exists(); }

  // Empties the output, to write it again from the start.
  int truncate();

  // Gives the complete output the name `base` in its directory (relative
  // to the directory's fd(): see output_directory::name_of). Without
  // `replace` the name must be free: any object there, a dangling
  // symbolic link included, gives EEXIST, and nothing is overwritten.
  // With `replace` whatever is there is replaced at once (a symbolic link
  // too, never followed). Returns 0 or an errno value; either way the
  // temporary is gone afterwards.
  int publish(const char* base, bool replace);

  // Removes the temporary file, unless published. Idempotent.
  void discard();

 private:
  int replace_unnamed(const char* base);

  output_directory* directory_ = nullptr;
  int fd_ = -1;
  std::uint64_t bytes_written_ = 0;
  named_temporary temporary_;  // where unnamed temporaries are refused
};
