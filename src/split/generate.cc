#include "split/generate.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "error.h"
#include "messages.h"
#include "platform/platform.h"
#include "split/output_file.h"
#include "split/pending_outputs.h"
#include "split/output_writers.h"

output_layout::output_layout(const scan_result& scanned)
    : text_(scanned.lines.text()), properties_(scanned.property_ranges) {
  shared_before_.reserve(properties_.size());
  std::size_t at = 0;
  for (const line_range& property : properties_) {
    if (property.begin > at) shared_.push_back({at, property.begin});
    shared_before_.push_back(shared_.size());
    at = property.end;
  }
  if (text_.size() > at) shared_.push_back({at, text_.size()});
}

void output_layout::pieces_for(std::size_t ordinal, std::vector<iovec>& pieces) const {
  pieces.clear();
  auto add = [&](std::size_t begin, std::size_t end) {
    // The kept property line usually touches the runs around it: one span.
    if (!pieces.empty()) {
      iovec& last = pieces.back();
      if (static_cast<const char*>(last.iov_base) + last.iov_len == text_.data() + begin) {
        last.iov_len += end - begin;
        return;
      }
    }
    pieces.push_back({const_cast<char*>(text_.data() + begin), end - begin});
  };
  std::size_t before = shared_before_[ordinal];
  for (std::size_t i = 0; i < before; ++i) add(shared_[i].begin, shared_[i].end);
  add(properties_[ordinal].begin, properties_[ordinal].end);
  for (std::size_t i = before; i < shared_.size(); ++i) add(shared_[i].begin, shared_[i].end);
}

std::size_t output_layout::shared_prefix(std::size_t ordinal) const {
  std::size_t left_out = ordinal == 0 ? 1 : 0;
  return left_out < properties_.size() ? properties_[left_out].begin : text_.size();
}

namespace {

int digit_count(std::uint64_t n) {
  int digits = 1;
  for (; n >= 10; n /= 10) ++digits;
  return digits;
}

}  // namespace

output_naming::output_naming(std::string_view input_path, std::uint64_t output_count)
    : width_(digit_count(output_count)) {
  std::size_t slash = input_path.rfind('/');
  std::size_t dot = input_path.rfind('.');
  // A "." in a directory name ("work.d/model", "./model") starts no
  // extension: the outputs must stay in the input's directory.
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    dot = input_path.size();
  stem_ = input_path.substr(0, dot);
  extension_ = input_path.substr(dot);
}

output_naming::number_part output_naming::part_for(std::uint64_t number) const {
  char digits[24];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  number_part part;
  char* at = part.text;
  *at++ = '-';
  *at++ = 'p';
  for (int pad = length; pad < width_; ++pad) *at++ = '0';
  while (length > 0) *at++ = digits[--length];
  *at = '\0';
  return part;
}

void output_naming::build(std::uint64_t number, std::string& name) const {
  name.assign(stem_);
  name += part_for(number).text;
  name += extension_;
}

void output_naming::exit_cannot_write(std::uint64_t number, int error) const {
  exit_with_error("Cannot write output file %.*s%s%.*s: %s", static_cast<int>(stem_.size()),
                  stem_.data(), part_for(number).text, static_cast<int>(extension_.size()),
                  extension_.data(), error_text(error));
}

namespace {

// Outputs share the input's blocks where they hold its bytes at the same
// offsets, as long as the file system agrees and the input is unchanged
// since it was read: a clone reads the file again, and must never bring in
// bytes that another process wrote since. Under a read lease nobody has
// written since; without one, the file's status tells, for changes that
// move its times.
class block_sharing {
 public:
  explicit block_sharing(const scan_result& scanned)
      : source_(scanned.input.get()),
        block_(static_cast<std::size_t>(scanned.read_status.st_blksize)),
        identity_(scanned.read_status),
        leased_(scanned.input_guard == scan_result::guard::lease),
        on_(source_ >= 0 && block_ > 0 && scanned.input_guard != scan_result::guard::none) {}

  // Shares what it can of the first `prefix` bytes of `output` and sets
  // `shared` to how many. The first refusal turns sharing off; a full disk
  // or quota is no refusal but the failure of this output, returned (0
  // otherwise).
  int share(output_file& output, std::size_t prefix, std::size_t& shared) {
    shared = 0;
    std::size_t length = on_ ? prefix - prefix % block_ : 0;
    if (length == 0) return 0;
    int error = output.clone_from(source_, length);
    if (error == ENOSPC || error == EDQUOT) return error;
    if (error != 0)
      on_ = false;
    else
      shared = length;
    return 0;
  }

  // After an output shared blocks: false (and no more sharing) when the
  // input may have changed since it was read.
  bool input_unchanged() {
    // The lease is given up as soon as it is broken, before anyone writes:
    // a clone that ended before it was seen broken holds the bytes read.
    struct stat now;
    if ((leased_ && platform::read_lease_broken()) || fstat(source_, &now) != 0 ||
        !same_identity(identity_, now))
      on_ = false;
    return on_;
  }

 private:
  const int source_;
  const std::size_t block_;
  const struct stat identity_;
  const bool leased_;
  std::atomic<bool> on_;  // outputs are written on several threads
};

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

bool name_taken(const output_directory& directory, const char* base) {
  struct stat status;
  return fstatat(directory.fd(), base, &status, AT_SYMLINK_NOFOLLOW) == 0;
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
  const std::vector<line_range>& properties = scanned.property_ranges;
  std::vector<std::size_t> ordinals;
  ordinals.reserve(properties.size());
  for (std::uint64_t line : scanned.property_lines) {
    auto property = std::lower_bound(
        properties.begin(), properties.end(), line,
        [](const line_range& range, std::uint64_t index) { return range.index < index; });
    ordinals.push_back(static_cast<std::size_t>(property - properties.begin()));
  }
  return ordinals;
}

// The bytes of all outputs together: every output holds the shared lines
// and one property line.
std::uint64_t output_bytes(const scan_result& scanned) {
  std::uint64_t properties = 0;
  for (const line_range& range : scanned.property_ranges) properties += range.end - range.begin;
  std::uint64_t shared = scanned.lines.text().size() - properties;
  return shared * scanned.property_ranges.size() + properties;
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
        if (name_taken(*directory, base_name(own_name))) return EEXIST;
      }
      return write_output(output, *directory, layout, kept[number], sharing, pieces);
    };
    output_writers writers(count, output_thread_count(count, output_bytes(scanned)), write);
    on_fatal_error stop_writers([&] { writers.stop(); });

    for (; current < count; ++current) {
      output_file* output;
      error = writers.wait_for(current, output);
      naming.build(current, name);
      if (grouped && error == 0) {
        pending.add(writers.take(current), directory, name);
        writers.release(current);
        continue;
      }
      if (error == 0) error = output->publish(base_name(name), options.force_overwrite);
      if ((error == ENOSPC || error == EDQUOT) && writers.continue_alone()) {
        // What was written ahead took space that one thread would have
        // left free, for the output or for its name: this output is
        // written again with nothing ahead of it, and named.
        error = writers.wait_for(current, output);
        if (grouped && error == 0) {
          pending.add(writers.take(current), directory, name);
          continue;
        }
        if (error == 0) error = output->publish(base_name(name), options.force_overwrite);
      }
      if (error == EEXIST && !options.force_overwrite)
        exit_with_error("Output file %s already exists. Delete or use -f to overwrite",
                        name.c_str());
      if (error != 0) naming.exit_cannot_write(current, error);
      writers.release(current);
      if (options.verbosity != 0) pending.print("Generated ", name);
    }
  } catch (const std::bad_alloc&) {
    // Nothing partial is left: the writers are gone, and with them what was
    // not named.
    naming.exit_cannot_write(current, ENOMEM);
  }
  // No clone follows: a writer of the input need not wait for the tool.
  platform::drop_read_lease();
}

void generate_outputs(const std::string& input_path, const scan_result& scanned,
                      const settings& options) {
  split_run run(options);
  generate_outputs(input_path, scanned, run);
  run.pending.commit();
}
