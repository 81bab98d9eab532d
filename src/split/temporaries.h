#pragma once

// Hidden temporaries: files beside the outputs, named
// ".propslice-<16 hex digits>.tmp", that hold an output until it takes its
// name. A run only ever removes those it created itself: the named ones are
// removed on failure and by a signal that ends the run. One left by a run
// that was killed (SIGKILL, a power cut) stays until someone removes it:
// no run can tell for certain that another, perhaps on another machine
// sharing the directory, is dead.

#include <signal.h>

#include <array>
#include <cstddef>
#include <string>

// How many named temporaries may exist at once.
constexpr std::size_t temporaries_at_most = 160;

using hidden_name = std::array<char, 40>;

// A fresh hidden name, short so that it fits in any directory an output
// fits in: one nobody can guess in advance where the system gives random
// bytes, else one unlikely to be taken (see platform::random_bytes); the
// exclusive create makes either safe.
void make_hidden_name(hidden_name& name);

// One named temporary of this run, from its creation until it is renamed
// into place or removed.
class named_temporary {
 public:
  named_temporary() = default;
  ~named_temporary() { remove(); }
  named_temporary(const named_temporary&) = delete;
  named_temporary& operator=(const named_temporary&) = delete;

  // Creates an empty file under a fresh hidden name in `directory`, open
  // for writing; the name is put after `prefix` (see
  // output_directory::prefix()). Returns the descriptor (the caller closes
  // it), or -1 with errno set; memory running short for a prefixed name
  // throws std::bad_alloc.
  int create(int directory, const std::string& prefix);
  bool exists() const { return slot_ >= 0; }
  // Relative to the directory given to create().
  const char* name() const { return path_.empty() ? name_.data() : path_.c_str(); }
  // The file was renamed away: nothing is left to remove.
  void forget();
  // Removes the file, if it still exists under its name.
  void remove();

 private:
  int directory_ = -1;
  int slot_ = -1;  // in the list of files a signal removes
  hidden_name name_{};
  std::string path_;  // with a prefix: the prefix, then name_
};

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

// Makes SIGINT, SIGTERM and SIGHUP remove the named temporaries that
// exist, then end the process as the signal would have; signals ignored at
// start stay ignored. SIGXFSZ is ignored, so that a file size limit fails a
// write with EFBIG, which is reported, instead of killing the process
// mid-output. Raises a failure (kind signals) where that cannot be done.
void handle_signals_for_outputs();
