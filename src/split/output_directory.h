#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "split/file_descriptor.h"

// The directory that an input's outputs go to, opened once for them:
// outputs are created and named relative to it, so a long path never grows
// past the system's limit on the way. What its file system offers is
// learnt when it is opened, and stays.
//
// Where the system opens directories only to read them, one that can be
// written and searched but not listed cannot be opened at all: its outputs
// are then named by their paths from the working directory, which fits
// every path but those past the system's limit.
class output_directory {
 public:
  // Opens the directory of `output_name` and learns what its file system
  // offers. Returns 0 or an errno value.
  int open_for(const std::string& output_name);

  // What names in the directory are relative to: its descriptor, or the
  // working directory.
  int fd() const { return fd_.valid() ? fd_.get() : AT_FDCWD; }
  // The name relative to fd() of `output_name`, the path of an output in
  // this directory.
  const char* name_of(const std::string& output_name) const;
  // What a name in the directory is put after to be relative to fd(): ""
  // where the directory is open.
  const std::string& prefix() const { return prefix_; }
  // The bytes its file system has left for this user. Returns 0 or an
  // errno value.
  int free_bytes(std::uint64_t& bytes) const;
  // Whether `path` (a directory) names this directory now.
  bool is(const std::string& path) const;

  // Whether outputs are written into unnamed temporary files; if not, under
  // hidden random names beside their final ones.
  bool unnamed_temporaries() const { return unnamed_temporaries_; }
  // False on file systems held in memory only (tmpfs), whose files a power
  // cut takes anyway: outputs there are not made durable.
  bool survives_power_loss() const { return survives_power_loss_; }
  // How a complete output takes its name without replacing: only ever
  // changed by the thread that names outputs.
  platform::naming_way naming = platform::naming_way::rename;

 private:
  file_descriptor fd_;
  std::string path_;    // of the directory, "." or ending in "/", where not open
  std::string prefix_;  // the same, "" for "."
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool unnamed_temporaries_ = false;
  bool survives_power_loss_ = true;
};

// The output directories of a run. Inputs come in runs from one directory
// (a benchmark set), so the last one opened serves again while its path
// still names that very directory: one status call per input.
class output_directories {
 public:
  // The directory of `output_name`, or null with `error` set.
  std::shared_ptr<output_directory> open_for(const std::string& output_name, int& error);

 private:
  std::string path_;  // of `last_`
  std::shared_ptr<output_directory> last_;
};

// The final path component of `name`: what an output is called within its
// directory.
const char* base_name(const std::string& name);
