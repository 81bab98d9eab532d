#include "split/pending_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include "failure.h"
#include "messages.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/output_writers.h"
#include "split/temporaries.h"

namespace {

// The most outputs a group holds, whatever the descriptors allow.
constexpr std::size_t entries_at_most = 1024;

// The most outputs that wait under hidden names, which a SIGKILL leaves
// behind: past these a group is named.
constexpr std::size_t named_temporaries_at_most = 4;
static_assert(named_temporaries_at_most + outputs_in_flight_at_most <= temporaries_at_most);

// The most bytes a group holds: dirty pages that the sync waits for. On
// a disk with little room left a group holds at most a quarter of it, so
// that outputs waiting to be named never take the room that the output
// being written would have had (with a nearly full disk, one output at a
// time).
constexpr std::uint64_t bytes_at_most = std::uint64_t{256} << 20;

// The longest an output waits for its name.
constexpr std::int64_t wait_at_most_ns = 1'000'000'000;

// An input this large may take longer to read than an output waits.
constexpr off_t long_read = off_t{4} << 20;

// The most message text that waits with a group, however few outputs it
// has (inputs with fewer than two properties add messages, no outputs).
constexpr std::size_t text_at_most = std::size_t{1} << 20;

// An output this large has its writeback started when it joins a group,
// while the next ones are written (a small one costs more to start alone).
constexpr std::uint64_t writeback_early = std::uint64_t{1} << 20;

std::int64_t monotonic_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Room for one more element, growing as push_back would, so that the push
// after it cannot fail.
template <typename T>
void make_room(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
}

// Grows the descriptor table, while the process has one thread, to what a
// run holds at most. Grown later, beside the thread that syncs, each step
// would wait until every processor has left the old table (milliseconds).
void reserve_descriptor_table() {
  const output_descriptors& most = output_descriptors_at_most();
  // A group holds two descriptors per output at most (with its directory);
  // seven more stand for what the run keeps besides.
  const std::size_t last = most.writing + std::min(most.waiting, 2 * entries_at_most) + 7;
  int fd = sys::fcntl(0, F_DUPFD_CLOEXEC, static_cast<int>(last));
  if (fd >= 0) (void)sys::close(fd);
}

}  // namespace

pending_outputs::pending_outputs(bool replace, bool verbose)
    : replace_(replace), verbose_(verbose) {
  reserve_descriptor_table();
}

void pending_outputs::print(std::string_view first, std::string_view second) {
  if (entries_.empty()) {
    print_line(first, second);
    return;
  }
  text_.append(first).append(second);
  line_ends_.push_back(text_.size());
  if (text_.size() >= text_at_most) commit();
}

bool pending_outputs::worth_syncing() const {
  return entries_.size() - syncing_count_ >= entries_at_most / 4 ||
         filling_.bytes >= bytes_at_most_ / 4;
}

bool pending_outputs::must_wait() const {
  const group& f = filling_;
  const group& s = syncing_;
  return entries_.size() >= entries_at_most ||
         f.descriptors + s.descriptors >= output_descriptors_at_most().waiting ||
         f.named_temporaries + s.named_temporaries >= named_temporaries_at_most ||
         f.bytes + s.bytes >= bytes_at_most_ || monotonic_ns() - oldest_ns() >= wait_at_most_ns;
}

std::int64_t pending_outputs::oldest_ns() const {
  return syncing_count_ != 0 ? syncing_.started_ns : filling_.started_ns;
}

int pending_outputs::add(std::unique_ptr<output_file>& file,
                         std::shared_ptr<output_directory> directory, const std::string& name) {
  if (!directory->survives_power_loss()) {
    commit();
    int error = file->publish(directory->name_of(name), replace_);
    if (error == 0 && verbose_) print_line("Generated ", name);
    return error;
  }
  std::string own_name;
  try {
    make_room(entries_);
    make_room(fds_);
    own_name = name;
  } catch (...) {
    file->discard();
    throw;
  }
  group& f = filling_;
  const bool first = entries_.size() == syncing_count_;
  if (first) {
    f.started_ns = monotonic_ns();
    // Where the room left cannot be told, as much as on a roomy disk.
    std::uint64_t free = 0;
    bytes_at_most_ =
        directory->free_bytes(free) == 0 ? std::min(bytes_at_most, free / 4) : bytes_at_most;
  }
  if (file->bytes_written() >= writeback_early) file->start_writeback();
  f.one_directory = first || (f.one_directory && entries_[syncing_count_].directory == directory);
  f.descriptors += first || entries_.back().directory != directory ? 2 : 1;
  f.named_temporaries += file->under_hidden_name() ? 1 : 0;
  f.bytes += file->bytes_written();
  fds_.push_back(file->fd());
  entries_.push_back({std::move(file), std::move(directory), std::move(own_name), line_ends_.size()});
  if (sync_.finished() || (sync_.busy() && must_wait())) name_synced();
  if (!sync_.busy() && (worth_syncing() || must_wait())) {
    start_sync();
    if (must_wait()) name_synced();  // it holds all that may wait, or waited long
  }
  return 0;
}

void pending_outputs::before_reading(const std::string& path) {
  if (entries_.empty()) return;
  struct stat status;
  // With -f a name may hold the file that its output replaces. Another
  // name for that file (a hard link) keeps it when the name is replaced,
  // so only a path that ends in such a name, or goes through a link,
  // reads what the output replaces. Without -f, names that waiting
  // outputs take are free until then.
  int found = replace_ ? sys::lstat(path.c_str(), &status) : sys::stat(path.c_str(), &status);
  if (found != 0 || S_ISLNK(status.st_mode) || !S_ISREG(status.st_mode) ||
      status.st_size >= long_read || monotonic_ns() - oldest_ns() >= wait_at_most_ns) {
    commit();
    return;
  }
  if (!replace_) return;
  std::string_view base = base_name(path);
  if (base.find("-p") == std::string_view::npos) return;  // in every output's name
  for (const entry& output : entries_) {
    if (base == base_name(output.name)) {
      commit();
      return;
    }
  }
}

void pending_outputs::commit() {
  while (!entries_.empty()) {
    if (!sync_.busy()) start_sync();
    name_synced();
  }
  try {
    print_lines_up_to(line_ends_.size());
  } catch (...) {
    clear();
    throw;
  }
  clear();
}

void pending_outputs::start_sync() {
  sync_.start(fds_, filling_.one_directory);
  syncing_ = std::exchange(filling_, group{});
  syncing_count_ = entries_.size();
}

void pending_outputs::name_synced() {
  std::size_t durable = 0;
  const int sync_error = sync_.wait(durable);
  try {
    for (std::size_t next = 0; next < syncing_count_; ++next) {
      entry& output = entries_[next];
      print_lines_up_to(output.lines_before);
      int error = sync_error;
      if (next == durable || (error = output.file->publish(output.directory->name_of(output.name),
                                                           replace_)) != 0) {
        std::string name = std::move(output.name);
        discard();
        raise_output_failure(std::move(name), error);
      }
      if (verbose_) print_line("Generated ", output.name);
    }
    print_lines_up_to(syncing_count_ < entries_.size() ? entries_[syncing_count_].lines_before
                                                        : line_ends_.size());
  } catch (...) {
    discard();  // a message that failed: what comes after it never was
    throw;
  }
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(syncing_count_));
  syncing_count_ = 0;
  syncing_ = group{};
  drop_printed();
}

void pending_outputs::raise_output_failure(std::string name, int error) const {
  raise_failure(error == EEXIST && !replace_ ? failure::kind::output_exists : failure::kind::output,
                error, std::move(name));
}

void pending_outputs::print_lines_up_to(std::size_t line) {
  for (; lines_printed_ < line; ++lines_printed_) {
    std::size_t begin = lines_printed_ == 0 ? 0 : line_ends_[lines_printed_ - 1];
    print_line(std::string_view(text_).substr(begin, line_ends_[lines_printed_] - begin));
  }
}

void pending_outputs::drop_printed() {
  if (lines_printed_ == 0) return;
  const std::size_t cut = line_ends_[lines_printed_ - 1];
  text_.erase(0, cut);
  line_ends_.erase(line_ends_.begin(), line_ends_.begin() + static_cast<std::ptrdiff_t>(lines_printed_));
  for (std::size_t& end : line_ends_) end -= cut;
  for (entry& output : entries_) output.lines_before -= lines_printed_;
  lines_printed_ = 0;
}

void pending_outputs::discard() {
  if (sync_.busy()) {
    std::size_t durable = 0;
    (void)sync_.wait(durable);  // its files are closed below
  }
  // Those named already are left alone by their discard().
  for (entry& output : entries_) output.file->discard();
  clear();
}

void pending_outputs::clear() {
  entries_.clear();
  fds_.clear();
  syncing_count_ = 0;
  syncing_ = filling_ = group{};
  text_.clear();
  line_ends_.clear();
  lines_printed_ = 0;
}
