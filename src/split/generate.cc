#include "split/generate.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/block_sharing.h"
#include "split/output_file.h"
#include "split/output_layout.h"
#include "split/output_naming.h"
#include "split/output_writers.h"
#include "split/pending_outputs.h"

namespace {

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
  return error;
}

bool name_taken(const output_directory& directory, const std::string& name) {
  struct stat status;
  return sys::fstatat(directory.fd(), directory.name_of(name), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// An output this large is not written when its name is visibly taken; a
// smaller one costs less to write than to look for its name first.
constexpr std::size_t look_for_the_name_from = std::size_t{64} * 1024;

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

void generate_outputs(const std::string& input_path, const scan_result& scanned, run_state& state) {
  const settings& options = state.options;
  pending_outputs& queue = state.queue;
  const std::uint64_t count = scanned.property_lines.size();
  const output_naming naming(input_path, count);
  std::string name;
  // The output being made: what fails, memory running short included, fails
  // it. Those before it are complete, and named before the failure is told.
  std::uint64_t current = 0;
  try {
    naming.build(0, name);  // every later name has the same length: no more memory
    if (options.verbosity != 0)
      queue.print("Found " + std::to_string(count) + " properties in " +
                  std::to_string(scanned.lines.size()) + " lines");
    const output_layout layout(scanned);
    const std::vector<std::size_t> kept = kept_properties(scanned);
    int error = 0;
    const std::shared_ptr<output_directory> directory = state.directories.open_for(name, error);
    if (directory == nullptr) queue.raise_output_failure(name, error);
    block_sharing sharing(scanned);

    // Runs on the writing threads.
    auto write = [&](std::uint64_t number, output_file& output, output_scratch& scratch) {
      layout.pieces_for(kept[number], scratch.pieces);
      // A large output whose name is visibly taken fails before it is
      // written; naming is what decides, should the name be taken since.
      if (!options.force_overwrite && total_size(scratch.pieces) >= look_for_the_name_from) {
        naming.build(number, scratch.name);
        if (name_taken(*directory, scratch.name)) return EEXIST;
      }
      return write_output(output, *directory, layout, kept[number], sharing, scratch.pieces);
    };
    output_writers writers(count, output_thread_count(count, output_bytes(scanned)), write);

    // Output `current`, once written, goes to the queue to be named.
    auto write_and_queue = [&] {
      output_file* output;
      int failure = writers.wait_for(current, output);
      return failure != 0 ? failure : queue.add(writers.file(current), directory, name);
    };
    for (; current < count; ++current) {
      naming.build(current, name);
      error = write_and_queue();
      // What was written ahead took space that one thread would have left
      // free, for the output or for its name: this output is written again
      // with nothing ahead of it.
      if ((error == ENOSPC || error == EDQUOT) && writers.stop_writing_ahead()) error = write_and_queue();
      if (error != 0) queue.raise_output_failure(std::move(name), error);
      writers.release(current);
    }
  } catch (const std::bad_alloc&) {
    // Nothing partial is left: the writers are gone, and with them what was
    // not named.
    naming.build(current, name);
    queue.raise_output_failure(std::move(name), ENOMEM);
  }
  // No clone follows: a writer of the input need not wait for the tool.
  platform::drop_read_lease(scanned.input.get());
}
