#include "split/generate.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "error.h"
#include "messages.h"
#include "platform/platform.h"
#include "split/block_sharing.h"
#include "split/output_file.h"
#include "split/output_layout.h"
#include "split/output_naming.h"
#include "split/output_writers.h"
#include "split/pending_outputs.h"

namespace {

// An output this large is put on its way to the disk as soon as it is
// written, while the next ones are.
constexpr std::uint64_t writeback_early = std::uint64_t{1} << 20;

// Writes the output that keeps property `ordinal`, made of `pieces`, into
// `output`.
int write_output(output_file& output, output_directory& directory, const output_layout& layout,
                 std::size_t ordinal, block_sharing& sharing, const std::vector<iovec>& pieces) {
  int error = output.create(directory);
  if (error != 0) return error;
  std::size_t shared;
  error = sharing.share(output, layout.shared_prefix(ordinal), shared);
  if (error == 0) error = output.write(pieces, shared);
  if (error == 0 && shared > 0 && !sharing.input_unchanged()) {
    // What was shared may hold bytes written since the read: write it all
    // from the bytes read.
    error = output.truncate();
    if (error == 0) error = output.write(pieces, 0);
  }
  // On a disk, its sync is that of its group, to come; the disk starts on
  // a large output at once (a small one costs more to start alone).
  if (error == 0 && pending_outputs::groups(directory) && output.bytes_written() >= writeback_early)
    output.start_writeback();
  return error;
}

bool name_taken(const output_directory& directory, const std::string& name) {
  struct stat status;
  return fstatat(directory.fd(), directory.name_of(name), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// An output this large is not written when its name is visibly taken; a
// smaller one costs less to write than to look for its name first.
constexpr std::size_t worth_a_look_first = std::size_t{64} * 1024;

std::size_t total_size(const std::vector<iovec>& pieces) {
  std::size_t size = 0;
  for (const iovec& piece : pieces) size += piece.iov_len;
  return size;
}

// The ordinal (position in file order) of the property line that each
// output keeps, in output number order.
std::vector<std::size_t> kept_properties(const scan_result& scanned) {
  std::vector<std::size_t> ordinals;
  ordinals.reserve(scanned.property_lines.size());
  for (auto line = scanned.property_lines.begin(); line != scanned.property_lines.end(); ++line)
    ordinals.push_back(line.ordinal());
  return ordinals;
}

// The bytes of all outputs together: every output holds the shared lines
// and one property line.
std::uint64_t output_bytes(const scan_result& scanned) {
  const property_set& lines = scanned.property_lines;
  std::uint64_t properties = 0;
  for (std::size_t ordinal = 0; ordinal < lines.size(); ++ordinal)
    properties += lines.line(ordinal).end - lines.line(ordinal).begin;
  std::uint64_t shared = scanned.lines.text().size() - properties;
  return shared * lines.size() + properties;
}

}  // namespace

void generate_outputs(const std::string& input_path, const scan_result& scanned, split_run& run) {
  const settings& options = run.options;
  pending_outputs& pending = run.pending;
  const std::uint64_t count = scanned.property_lines.size();
  const output_naming naming(input_path, count);
  // The output being made: what fails, memory running short included, fails
  // it. Those before it are complete, and named before the failure is told.
  std::uint64_t current = 0;
  try {
    if (options.verbosity != 0)
      pending.print("Found " + std::to_string(count) + " properties in " +
                    std::to_string(scanned.lines.size()) + " lines");
    const output_layout layout(scanned);
    const std::vector<std::size_t> kept = kept_properties(scanned);
    std::string name;
    naming.build(0, name);  // every later name has the same length: no more memory
    int error = 0;
    const std::shared_ptr<output_directory> directory = run.directories.open_for(name, error);
    if (directory == nullptr) naming.exit_cannot_write(0, error);
    // On a disk, outputs wait to be synced in a group and then named; on
    // tmpfs they are named at once, after those that wait.
    const bool grouped = pending_outputs::groups(*directory);
    if (!grouped) pending.commit();
    block_sharing sharing(scanned);

    // Runs on the writing threads.
    auto write = [&](std::uint64_t number, output_file& output) {
      thread_local std::string own_name;
      thread_local std::vector<iovec> pieces;
      layout.pieces_for(kept[number], pieces);
      // A large output whose name is visibly taken fails before it is
      // written; naming is what decides, should the name be taken since.
      if (!options.force_overwrite && total_size(pieces) >= worth_a_look_first) {
        naming.build(number, own_name);
        if (name_taken(*directory, own_name)) return EEXIST;
      }
      return write_output(output, *directory, layout, kept[number], sharing, pieces);
    };
    output_writers writers(count, output_thread_count(count, output_bytes(scanned)), write);
    on_fatal_error stop_writers([&] { writers.stop(); });

    // Output `current`, written into `output`, takes its name now, or
    // joins the group that waits for its sync.
    auto name_it = [&](output_file* output) {
      if (grouped) {
        pending.add(writers.take(current), directory, name);
        return 0;
      }
      int failure = output->publish(directory->name_of(name), options.force_overwrite);
      if (failure == 0 && options.verbosity != 0) pending.print("Generated ", name);
      return failure;
    };
    for (; current < count; ++current) {
      output_file* output;
      error = writers.wait_for(current, output);
      naming.build(current, name);
      if (error == 0) error = name_it(output);
      if ((error == ENOSPC || error == EDQUOT) && writers.continue_alone()) {
        // What was written ahead took space that one thread would have
        // left free, for the output or for its name: this output is
        // written again with nothing ahead of it, and named.
        error = writers.wait_for(current, output);
        if (error == 0) error = name_it(output);
      }
      if (error == EEXIST && !options.force_overwrite)
        exit_with_error("Output file %s already exists. Delete or use -f to overwrite",
                        name.c_str());
      if (error != 0) naming.exit_cannot_write(current, error);
      writers.release(current);
    }
  } catch (const std::bad_alloc&) {
    // Nothing partial is left: the writers are gone, and with them what was
    // not named.
    naming.exit_cannot_write(current, ENOMEM);
  }
  // No clone follows: a writer of the input need not wait for the tool.
  platform::drop_read_lease(scanned.input.get());
}

void generate_outputs(const std::string& input_path, const scan_result& scanned,
                      const settings& options) {
  split_run run(options);
  generate_outputs(input_path, scanned, run);
  run.pending.commit();
}
