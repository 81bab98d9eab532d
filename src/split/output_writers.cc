#include "split/output_writers.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace {

// Below this many bytes in all, starting threads costs more than it saves:
// a thread starts in tens of microseconds, a megabyte is copied into the
// page cache in about a hundred. Above it, even outputs of a few hundred
// bytes gain: one thread makes and writes a file while another names the
// one before.
constexpr std::uint64_t bytes_worth_threads = std::uint64_t{4} << 20;

}  // namespace

const output_descriptors& output_descriptors_at_most() {
  static const output_descriptors at_most = [] {
    constexpr rlim_t kept_for_the_rest = 8;
    rlimit files{};
    std::size_t all = std::size_t{1} << 20;
    if (sys::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
      all = static_cast<std::size_t>(std::max<rlim_t>(files.rlim_cur, kept_for_the_rest + 2) -
                                     kept_for_the_rest);
    const std::size_t threads = std::min<std::size_t>(
        std::max(platform::usable_processors(), sys::calls.writing_threads), most_threads);
    const std::size_t writing = std::max<std::size_t>(
        1, std::min(all / 2, threads * outputs_ahead_per_thread));
    return output_descriptors{writing, all - writing};
  }();
  return at_most;
}

unsigned output_thread_count(std::uint64_t outputs, std::uint64_t bytes) {
  std::uint64_t threads = sys::calls.writing_threads;
  if (threads == 0) {
    if (bytes < bytes_worth_threads) return 1;
    threads = platform::usable_processors();
  }
  // Each output in flight holds a descriptor.
  threads = std::min<std::uint64_t>(threads,
                                    output_descriptors_at_most().writing / outputs_ahead_per_thread);
  threads = std::clamp<std::uint64_t>(std::min(threads, outputs), 1, most_threads);
  return static_cast<unsigned>(threads);
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
  threads_.reserve(threads);  // so that only starting a thread can fail below
  try {
    for (unsigned i = 0; i < threads; ++i) {
      if (sys::calls.starting_thread != nullptr) sys::calls.starting_thread(i);
      threads_.emplace_back(&output_writers::work, this);
    }
  } catch (const std::system_error&) {
    // Fewer threads than hoped for (none, even): the work gets done all
    // the same, on those there are or when each output is waited for.
  } catch (...) {
    // Memory ran short (a thread's state is allocated): those started end,
    // and what they wrote is discarded, before the failure is reported.
    stop();
    throw;
  }
  if (threads_.empty()) slots_.resize(1);
}

void output_writers::work() {
  for (;;) {
    // Take the next number, once its slot is free again.
    std::uint64_t number = next_.load();
    for (;;) {
      // After a failure nothing further is started: the outputs before it,
      // all taken already, are what remains to be published.
      if (stopping_.load() || failed_.load() || number >= count_) return;
      std::uint64_t released = released_.load();
      if (number >= released + slots_.size()) {
        released_.wait(released);
        number = next_.load();
      } else if (next_.compare_exchange_weak(number, number + 1)) {
        break;
      }
    }
    if (sys::calls.took_number != nullptr) sys::calls.took_number(number, stopping_);
    // Stopped since the check above: an output written now would only be
    // thrown away. A failure since then is of a later number, or of one
    // before it that the wait for it ends first; either way this one is
    // written, as it may be waited for.
    if (stopping_.load()) return;
    slot& place = slot_for(number);
    int error;
    try {
      if (!place.file) place.file = std::make_unique<output_file>();
      error = write_(number, *place.file, place.scratch);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
    place.error = error;
    if (error != 0) failed_.store(true);
    place.written.store(number + 1);  // publishes the file and the error
    place.written.notify_one();
  }
}

int output_writers::wait_for(std::uint64_t number, output_file*& output) {
  slot& place = slot_for(number);
  if (threads_.empty()) {
    if (!place.file) place.file = std::make_unique<output_file>();
    output = place.file.get();
    return write_(number, *place.file, place.scratch);
  }
  for (std::uint64_t written; (written = place.written.load()) != number + 1;)
    place.written.wait(written);
  output = place.file.get();  // made by the thread that wrote it
  return place.error;
}

void output_writers::release(std::uint64_t number) {
  if (threads_.empty()) return;
  released_.store(number + 1);  // the file is done with: its slot is free
  released_.notify_all();
}

bool output_writers::stop_writing_ahead() {
  if (threads_.empty()) return false;
  stop();
  slots_.resize(1);
  return true;
}

void output_writers::stop() {
  stopping_.store(true);
  released_.store(count_ + slots_.size());  // wakes the threads that wait
  released_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  for (auto& place : slots_)
    if (place->file) place->file->discard();
}
