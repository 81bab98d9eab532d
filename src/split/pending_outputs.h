#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split/background_sync.h"
#include "split/output_directory.h"
#include "split/output_file.h"

// What a run owes, in order: messages, and complete outputs waiting for
// their names. Every output is named here, and nowhere else. An output on a
// disk must be durable before it takes its name, so that after a power cut
// a name only ever holds a complete output; one sync per output costs a
// wait for the disk each. So outputs on a disk wait in groups, each made
// durable at once and then named in number order. One group is synced on
// a thread of its own while the next fills; the next is synced once the
// one before it is named and it holds enough. A group that holds all that
// may wait, or has waited a second, is named before the run goes on. An
// output on tmpfs, which a power cut takes anyway, is named at once, after
// those that wait. The messages wait with the outputs, so a run prints,
// names and leaves what it would if each output were synced and named the
// moment it was written.
//
// Calling sequence: print() and add() as the run goes, before_reading()
// before each input, commit() at the end and after a failure (before it is
// reported). A failure of naming is raised from add() or commit(), after
// the outputs before it were named; those after it are discarded.
class pending_outputs {
 public:
  pending_outputs(bool replace, bool verbose);
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
  // What a group of entries holds.
  struct group {
    std::size_t descriptors = 0;        // its directories' included
    std::size_t named_temporaries = 0;
    std::uint64_t bytes = 0;            // written, not yet synced
    std::int64_t started_ns = 0;        // when its first output came
    bool one_directory = true;          // all in its first output's
  };

  // The group being filled holds enough for a sync of its own: a quarter
  // of the outputs or the bytes that may wait. (Descriptors and hidden
  // names are too few to share between two groups: a group takes all.)
  bool worth_syncing() const;
  // What waits, in both groups, is as much as may wait.
  bool must_wait() const;
  // When the output that has waited longest came.
  std::int64_t oldest_ns() const;
  // Makes the group being filled the one being synced.
  void start_sync();
  // Waits for the group being synced, then names it.
  void name_synced();
  void print_lines_up_to(std::size_t line);
  // Forgets the messages printed.
  void drop_printed();
  // Throws away the outputs not named yet and the messages not printed.
  void discard();
  void clear();

  const bool replace_, verbose_;
  // The entries being synced (the first `syncing_count_`), then those of
  // the group being filled.
  std::vector<entry> entries_;
  std::size_t syncing_count_ = 0;
  group syncing_, filling_;
  background_sync sync_;
  std::vector<int> fds_;               // of the group being filled
  std::uint64_t bytes_at_most_ = 0;    // waiting, both groups together
  // Messages not printed yet: their text, one after the other, and where
  // each ends in it.
  std::string text_;
  std::vector<std::size_t> line_ends_;
  std::size_t lines_printed_ = 0;
};
