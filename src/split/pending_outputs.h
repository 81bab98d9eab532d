#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split/output_directory.h"
#include "split/output_file.h"

// What a run owes, in order: messages, and complete outputs waiting for
// their names. Every output is named here, and nowhere else. An output on a
// disk must be durable before it takes its name, so that after a power cut
// a name only ever holds a complete output; one sync per output costs a
// wait for the disk each. So outputs on a disk wait in a group that is made
// durable at once and then named in number order; an output on tmpfs, which
// a power cut takes anyway, is named at once, after those that wait. The
// messages wait with the outputs, so a run prints, names and leaves what it
// would if each output were synced and named the moment it was written.
//
// Calling sequence: print() and add() as the run goes, before_reading()
// before each input, commit() at the end and after a failure (before it is
// reported). A failure of naming is raised from commit(), after the outputs
// before it were named; those after it are discarded.
class pending_outputs {
 public:
  pending_outputs(bool replace, bool verbose) : replace_(replace), verbose_(verbose) {}
  ~pending_outputs() { discard(); }
  pending_outputs(const pending_outputs&) = delete;
  pending_outputs& operator=(const pending_outputs&) = delete;

  // Prints a message line (made of two pieces) now, or after the outputs
  // waiting before it.
  void print(std::string_view first, std::string_view second = {});

  // Takes `file`, the complete output called `name` in `directory`, with a
  // "Generated" message. On tmpfs it is named now, and left with the caller
  // (closed): returns 0 or the errno value of that naming, which leaves the
  // caller its retry. Elsewhere it is moved into the queue. Memory running
  // short throws std::bad_alloc; `file` is then discarded.
  int add(std::unique_ptr<output_file>& file, std::shared_ptr<output_directory> directory,
          const std::string& name);

  // Before the input at `path` is read: commits first if that input may
  // block or take long (not a regular file, or a large one), if it may be
  // an output still waiting (a path not there yet), or with -f what one is
  // to replace (a file of the same final name, or one reached through a
  // symbolic link), so that it is read as after those outputs were named.
  void before_reading(const std::string& path);

  // Makes the waiting outputs durable, names them in order and prints the
  // messages between and after them.
  void commit();

  // Raises the failure of output `name` with `error`: "already exists"
  // (EEXIST without -f) or "Cannot write output file".
  [[noreturn]] void raise_output_failure(std::string name, int error) const;

 private:
  struct entry {
    std::unique_ptr<output_file> file;
    std::shared_ptr<output_directory> directory;  // kept open for the file
    std::string name;
    std::size_t lines_before;  // messages printed before it is named
  };

  void start_group(const output_directory& directory);
  bool group_full() const;
  void print_lines_up_to(std::size_t line);
  // Throws away the outputs not named yet and the messages not printed.
  void discard();
  void clear();

  const bool replace_, verbose_;
  std::vector<entry> entries_;
  std::vector<int> fds_;               // of the entries, to be made durable
  std::size_t descriptors_ = 0;        // the entries hold, their directories included
  bool one_directory_ = true;          // all entries are in the first one's
  std::size_t named_temporaries_ = 0;  // among the entries
  std::uint64_t bytes_ = 0;            // written by the entries, not yet synced
  std::uint64_t bytes_at_most_ = 0;    // for this group
  std::int64_t started_ns_ = 0;        // when the group's first output came
  // Messages not printed yet: their text, one after the other, and where
  // each ends in it.
  std::string text_;
  std::vector<std::size_t> line_ends_;
  std::size_t lines_printed_ = 0;
};
