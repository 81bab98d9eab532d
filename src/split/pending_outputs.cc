#include "split/pending_outputs.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "error.h"
#include "messages.h"

namespace {

// The most outputs a group holds: each keeps a descriptor open, and a
// named temporary its place in the list that a signal removes (which has
// room for these and for those the writing threads have in hand).
constexpr std::size_t entries_at_most = 1024;
static_assert(entries_at_most + 128 <= temporaries_at_most);

// The most bytes a group holds: dirty pages that the sync waits for. On
// a disk with little room left a group holds at most a quarter of it, so
// that outputs waiting to be named never take the room that the output
// being written would have had (with a nearly full disk, one output at a
// time).
constexpr std::uint64_t bytes_at_most = std::uint64_t{256} << 20;

// The longest a group waits for more outputs: a run over slow inputs still
// names its outputs (and says so) as it goes.
constexpr std::int64_t wait_at_most_ns = 1'000'000'000;

// The most message text that waits with a group, however few outputs it
// has (inputs with fewer than two properties add messages, no outputs).
constexpr std::size_t text_at_most = std::size_t{1} << 20;

}  // namespace

void pending_outputs::print(std::string_view first, std::string_view second) {
  if (entries_.empty()) {
    print_line(first, second);
    return;
  }
  text_.append(first).append(second);
  line_ends_.push_back(text_.size());
  if (text_.size() >= text_at_most) commit();
}

namespace {

std::int64_t monotonic_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

void pending_outputs::start_group(const output_directory& directory) {
  started_ns_ = monotonic_ns();
  // Where the room left cannot be told, as much as on a roomy disk.
  std::uint64_t free = 0;
  bytes_at_most_ = directory.free_bytes(free) == 0 ? std::min(bytes_at_most, free / 4) : bytes_at_most;
  // Descriptors: half of what the process may open, the rest for the
  // inputs, the directories and the writing threads.
  entries_at_most_ = entries_at_most;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    entries_at_most_ = std::clamp<rlim_t>(files.rlim_cur > 64 ? (files.rlim_cur - 64) / 2 : 1, 1,
                                          entries_at_most);
}

void pending_outputs::add(std::unique_ptr<output_file> file,
                          std::shared_ptr<output_directory> directory, const std::string& name) {
  if (entries_.empty()) start_group(*directory);
  bytes_ += file->bytes_written();
  entries_.push_back({std::move(file), std::move(directory), name, line_ends_.size()});
  if (entries_.size() >= entries_at_most_ || bytes_ >= bytes_at_most_ ||
      monotonic_ns() - started_ns_ >= wait_at_most_ns)
    commit();
}

void pending_outputs::before_reading(const std::string& path) {
  if (entries_.empty()) return;
  struct stat status;
  if (!replace_) {
    // Names that waiting outputs take are free until then.
    if (stat(path.c_str(), &status) != 0) commit();
    return;
  }
  // With -f a name may hold the file that its output replaces. Another
  // name for that file (a hard link) keeps it when the name is replaced,
  // so only a path that ends in such a name, or goes through a link,
  // reads what the output replaces.
  if (lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
    commit();
    return;
  }
  std::string_view base = base_name(path);
  if (base.find("-p") == std::string_view::npos) return;  // in every output's name
  for (const entry& output : entries_) {
    if (base == base_name(output.name)) {
      commit();
      return;
    }
  }
}

std::size_t pending_outputs::sync_group(int& error) {
  // One output alone waits for its own bytes only.
  if (entries_.size() == 1) {
    error = entries_.front().file->sync();
    return error == 0 ? 1 : 0;
  }
  // The file system of each directory at once (a group nearly always has
  // one directory).
  const output_directory* synced = nullptr;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].directory.get() == synced) continue;
    synced = entries_[i].directory.get();
    error = entries_[i].file->sync_file_system();
    if (error == ENOSYS) break;
    if (error != 0) return i;
  }
  // A system that syncs file by file: one after the other, in order.
  if (error == ENOSYS) {
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if ((error = entries_[i].file->sync()) != 0) return i;
  }
  error = 0;
  return entries_.size();
}

void pending_outputs::commit() {
  // Should this end the process, what was not named is thrown away first.
  on_fatal_error discard_the_rest([this] { discard(); });
  int error = 0;
  std::size_t synced = sync_group(error);
  for (std::size_t next = 0; next < entries_.size(); ++next) {
    entry& output = entries_[next];
    print_lines_up_to(output.lines_before);
    if (next == synced || (error = output.file->publish(output.directory->name_of(output.name), replace_)) != 0) {
      std::string name = std::move(output.name);
      discard();
      if (error == EEXIST && !replace_)
        exit_with_error("Output file %s already exists. Delete or use -f to overwrite",
                        name.c_str());
      exit_with_error("Cannot write output file %s: %s", name.c_str(), error_text(error));
    }
    if (verbose_) print_line("Generated ", output.name);
  }
  print_lines_up_to(line_ends_.size());
  clear();
}

void pending_outputs::print_lines_up_to(std::size_t line) {
  for (; lines_printed_ < line; ++lines_printed_) {
    std::size_t begin = lines_printed_ == 0 ? 0 : line_ends_[lines_printed_ - 1];
    print_line(std::string_view(text_).substr(begin, line_ends_[lines_printed_] - begin));
  }
}

void pending_outputs::discard() {
  // Those named already are left alone by their discard().
  for (entry& output : entries_) output.file->discard();
  clear();
}

void pending_outputs::clear() {
  entries_.clear();
  bytes_ = 0;
  text_.clear();
  line_ends_.clear();
  lines_printed_ = 0;
}
