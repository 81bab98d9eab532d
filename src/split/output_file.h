#pragma once

#include <signal.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "split/file_descriptor.h"

// The directory that an input's outputs go to, opened once: outputs are
// created and named relative to it, so a long path never grows past the
// system's limit on the way.
class output_directory {
 public:
  // Opens the directory of `output_name`. Returns 0 or an errno value.
  int open_for(const std::string& output_name);
  int fd() const { return fd_.get(); }

  // False once the file system refused an unnamed temporary file: outputs
  // are then written under hidden random names beside their final ones.
  std::atomic<bool> unnamed_temporaries{true};

  // False on file systems held in memory only (tmpfs), whose files a power
  // cut takes anyway: outputs there are not synced.
  bool survives_power_loss = true;

 private:
  file_descriptor fd_;
};

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

  // Puts what was written on the disk, so that once named the output is
  // whole after a power cut too (nothing to do on tmpfs). Returns 0 or an
  // errno value.
  int sync();

  // Empties the output, to write it again from the start.
  int truncate();

  // Gives the complete output the name `base` in its directory. Without
  // `replace` the name must be free: any object there, a dangling
  // symbolic link included, gives EEXIST, and nothing is overwritten.
  // With `replace` whatever is there is replaced at once (a symbolic link
  // too, never followed). Returns 0 or an errno value; either way the
  // temporary is gone afterwards.
  int publish(const char* base, bool replace);

  // Removes the temporary file, unless published. Idempotent.
  void discard();

 private:
  void release_slot();

  output_directory* directory_ = nullptr;
  int fd_ = -1;
  // A named temporary's hidden name, and its slot in the signal handler's
  // list of files to remove; -1 for an unnamed one.
  int slot_ = -1;
  std::array<char, 40> temporary_name_{};
};

// The final path component of `name`: what an output is called within its
// directory.
const char* base_name(const std::string& name);

// Blocks, on the calling thread and while it lives, the signals that
// remove temporaries: between the steps that must not be parted, and on
// threads that leave them to the one that publishes.
class cleanup_signals_blocked {
 public:
  cleanup_signals_blocked();
  ~cleanup_signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  cleanup_signals_blocked(const cleanup_signals_blocked&) = delete;
  cleanup_signals_blocked& operator=(const cleanup_signals_blocked&) = delete;

 private:
  sigset_t saved_;
};

// Makes SIGINT, SIGTERM and SIGHUP remove the named temporary being
// written, if any, then end the process as the signal would have; signals
// ignored at start stay ignored. SIGXFSZ is ignored, so that a file size
// limit fails a write with EFBIG, which is reported, instead of killing the
// process mid-output.
void handle_signals_for_outputs();

// How output_file::clone_from shares blocks; tests replace it to stand in
// for a copy-on-write file system. Returns 0 or an errno value.
extern int (*clone_file_range)(int source, int target, std::uint64_t length);

// How many named temporaries may exist at once.
constexpr std::size_t temporaries_at_most = 256;

// For tests: use named temporaries, as where unnamed ones are refused.
extern bool named_temporaries_for_tests;
