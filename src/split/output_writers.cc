#include "split/output_writers.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

unsigned output_threads_for_tests = 0;

namespace {

// Outputs in flight per thread: one being written, one waiting for its turn
// to be published while the next is written.
constexpr unsigned outputs_ahead_per_thread = 2;

// Threads pay where copying bytes is the work. Below this many bytes in
// all, starting them costs more than it saves (a thread starts in tens of
// microseconds, a megabyte is copied into the page cache in about a
// hundred); below this many per output, the work is the making and naming
// of files, which serialize on the directory, and handing outputs between
// threads only adds to it (measured: 100,000 outputs of 150 bytes took
// 1.1 times as long on three threads as on one).
constexpr std::uint64_t bytes_worth_threads = std::uint64_t{4} << 20;
constexpr std::uint64_t output_bytes_worth_threads = std::uint64_t{64} << 10;

}  // namespace

unsigned output_thread_count(std::uint64_t outputs, std::uint64_t bytes) {
  std::uint64_t threads = output_threads_for_tests;
  if (threads == 0) {
    cpu_set_t cpus;
    if (outputs == 0 || bytes < bytes_worth_threads || bytes / outputs < output_bytes_worth_threads ||
        sched_getaffinity(0, sizeof cpus, &cpus) != 0)
      return 1;
    threads = static_cast<unsigned>(CPU_COUNT(&cpus));
  }
  return static_cast<unsigned>(std::clamp<std::uint64_t>(std::min(threads, outputs), 1, 1024));
}

output_writers::output_writers(std::uint64_t count, unsigned threads, write_function write)
    : count_(count), write_(std::move(write)) {
  if (threads <= 1) {
    slots_.push_back(std::make_unique<slot>());
    return;
  }
  for (unsigned i = 0; i < threads * outputs_ahead_per_thread; ++i)
    slots_.push_back(std::make_unique<slot>());
  // The threads never take the signals that remove temporaries: those are
  // handled on this thread, where publishing blocks them while it runs.
  cleanup_signals_blocked blocked;
  try {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back(&output_writers::work, this);
  } catch (const std::system_error&) {
    // Fewer threads than hoped for (none, even): the work gets done all
    // the same, on those there are or when each output is waited for.
  }
  if (threads_.empty()) slots_.resize(1);
}

void output_writers::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_to_do_.wait(lock, [this] {
      return stopping_ || failed_ || next_ == count_ || next_ < released_ + slots_.size();
    });
    // After a failure nothing further is started: the outputs before it,
    // all taken already, are what remains to be published.
    if (stopping_ || failed_ || next_ == count_) return;
    std::uint64_t number = next_++;
    slot& place = slot_for(number);
    lock.unlock();
    int error;
    try {
      error = write_(number, place.file);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
    lock.lock();
    place.number = number;
    place.error = error;
    place.ready = true;
    if (error != 0) {
      failed_ = true;
      work_to_do_.notify_all();
    }
    output_ready_.notify_all();
  }
}

int output_writers::wait_for(std::uint64_t number, output_file*& output) {
  slot& place = slot_for(number);
  output = &place.file;
  if (threads_.empty()) return write_(number, place.file);
  std::unique_lock lock(mutex_);
  output_ready_.wait(lock, [&] { return place.ready && place.number == number; });
  return place.error;
}

void output_writers::release(std::uint64_t number) {
  if (threads_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    slot_for(number).ready = false;
    released_ = number + 1;
  }
  work_to_do_.notify_all();
}

void output_writers::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_to_do_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  for (auto& place : slots_) place->file.discard();
}
