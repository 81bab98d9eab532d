#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split/output_directory.h"
#include "split/output_file.h"

// Outputs that are complete but not named yet, of all the inputs of a run,
// and the messages that go between them. An output on a disk must be on
// the disk before it takes its name, so that after a power cut a name only
// ever holds a complete output; syncing each output on its own costs a
// wait for the disk per output. Instead outputs wait here in a group
// (written, their writeback started) that is synced at once and then named
// in number order: one wait per group. The messages wait with them, so a
// run prints, names and leaves behind what it would if every output were
// synced and named the moment it was written; a failure, a signal or a
// full disk stops it at the same output, with the same message.
//
// Outputs on tmpfs, which a power cut takes anyway, never wait: they are
// named at once by the caller, after commit() (see groups()).
class pending_outputs {
 public:
  pending_outputs(bool replace, bool verbose) : replace_(replace), verbose_(verbose) {}
  ~pending_outputs() { discard(); }
  pending_outputs(const pending_outputs&) = delete;
  pending_outputs& operator=(const pending_outputs&) = delete;

  // Prints a message line (made of two pieces) now, or after the outputs
  // waiting before it.
  void print(std::string_view first, std::string_view second = {});

  // Whether outputs in `directory` are to wait here. Those that are not
  // are named by the caller at once, after commit().
  static bool groups(const output_directory& directory) { return directory.survives_power_loss; }

  // Takes `file`, the complete output called `name` (its writeback
  // started), to be synced with its group and then named, with a
  // "Generated" message. May commit. Memory running short throws
  // std::bad_alloc; `file` is then discarded.
  void add(std::unique_ptr<output_file> file, std::shared_ptr<output_directory> directory,
           const std::string& name);

  // Before the input at `path` is read: commits first if the input may be
  // an output still waiting for its name (a path not there yet), or with
  // -f what one is to replace (a file of the same final name, or one
  // reached through a symbolic link), so that it is read as it would be
  // after those outputs were named.
  void before_reading(const std::string& path);

  // Syncs the waiting outputs, names them in order and prints the messages
  // between them and after them. A failure ends the process through
  // exit_with_error, after naming those before the one that failed; what
  // comes after it is discarded.
  void commit();

 private:
  struct entry {
    std::unique_ptr<output_file> file;
    std::shared_ptr<output_directory> directory;  // kept open for the file
    std::string name;
    std::size_t lines_before;  // messages printed before it is named
  };

  // Opens a new group: how much it may hold, from what the disk has free.
  void start_group(const output_directory& directory);
  // Syncs the group; returns how many of its outputs are on the disk
  // (all of them, but for a failure) and sets `error` for the next one.
  std::size_t sync_group(int& error);
  void print_lines_up_to(std::size_t line);
  // Throws away the outputs not named yet and the messages not printed.
  void discard();
  void clear();

  const bool replace_, verbose_;
  std::vector<entry> entries_;
  std::uint64_t bytes_ = 0;         // written by the entries, not yet synced
  std::uint64_t bytes_at_most_ = 0;  // for this group
  std::size_t entries_at_most_ = 1;
  std::int64_t started_ns_ = 0;  // when the group's first output came
  // Messages not printed yet: their text, one after the other, and where
  // each ends in it.
  std::string text_;
  std::vector<std::size_t> line_ends_;
  std::size_t lines_printed_ = 0;
};
