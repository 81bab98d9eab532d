// The writing threads, with a stand-in write function: outputs come back in
// number order whatever the threads, a failure stops the run at its number,
// a full disk is retried alone once, stop() ends the threads and starts no
// output, and a thread that cannot start changes nothing but the speed.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/system_calls.h"
#include "split/output_writers.h"

namespace {

enum class stopping { never, at_once, after_a_take };
enum class start_failure { none, system_error, bad_alloc };

struct row {
  const char* name;
  unsigned threads;
  std::map<std::uint64_t, int> fails;  // number: the errno of its first write
  stopping stop = stopping::never;
  start_failure start = start_failure::none;
  unsigned failing_thread = 0;
  std::string seen;  // what the publishing loop sees
  std::uint64_t held = UINT64_MAX;  // taken, and held until a write has failed
};

constexpr std::uint64_t count = 40;

// "from from+1 ... to-1 "
std::string numbers(std::uint64_t from, std::uint64_t to) {
  std::string text;
  for (std::uint64_t n = from; n < to; ++n) text += std::to_string(n) + " ";
  return text;
}

// Shared with the entries of the table, which are plain functions.
start_failure failing_start;
unsigned failing_index;
std::atomic<bool> armed, holding, a_write_failed;
std::uint64_t held_number;
thread_local bool let_go = false;  // this thread's hook waited for stop()

void fail_to_start(unsigned index) {
  if (index != failing_index) return;
  if (failing_start == start_failure::bad_alloc) throw std::bad_alloc();
  throw std::system_error(EAGAIN, std::generic_category());
}

// The thread that takes `held_number` holds it until a write has failed;
// the first thread to take a number, when armed, until stop() is under way.
void hold_after_a_take(std::uint64_t number, const std::atomic<bool>& stopping) {
  if (number == held_number)
    while (!a_write_failed.load()) std::this_thread::yield();
  if (!armed.exchange(false)) return;
  holding = true;
  holding.notify_all();
  while (!stopping.load()) std::this_thread::yield();  // stop() sets it without a notice
  let_go = true;
}

}  // namespace

TEST(OutputWriters, OrderFailuresRetriesAndStops) {
  const row rows[] = {
      {"one thread", 1, {}, stopping::never, start_failure::none, 0, numbers(0, count)},
      {"three threads", 3, {}, stopping::never, start_failure::none, 0, numbers(0, count)},
      {"a failure", 3, {{5, EIO}}, stopping::never, start_failure::none, 0,
       numbers(0, 5) + "failed 5"},
      {"a failure before an earlier number is written", 2, {{5, EIO}}, stopping::never,
       start_failure::none, 0, numbers(0, 5) + "failed 5", 4},
      {"a full disk, retried alone", 3, {{5, ENOSPC}}, stopping::never, start_failure::none, 0,
       numbers(0, 5) + "alone " + numbers(5, count)},
      {"a full disk, one thread", 1, {{5, EDQUOT}}, stopping::never, start_failure::none, 0,
       numbers(0, 5) + "failed 5"},
      {"a full disk again: no second retry", 3, {{5, ENOSPC}, {9, ENOSPC}}, stopping::never,
       start_failure::none, 0, numbers(0, 5) + "alone " + numbers(5, 9) + "failed 9"},
      {"stop while waiting", 3, {}, stopping::at_once, start_failure::none, 0, "stopped"},
      {"stop after a take", 2, {}, stopping::after_a_take, start_failure::none, 0, "stopped"},
      {"no thread starts", 3, {}, stopping::never, start_failure::system_error, 0,
       numbers(0, count)},
      {"the second thread cannot start", 3, {{7, ENOSPC}}, stopping::never,
       start_failure::system_error, 1, numbers(0, 7) + "alone " + numbers(7, count)},
      {"memory runs out starting the third", 3, {}, stopping::never, start_failure::bad_alloc, 2,
       "out of memory"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::atomic<int> writes[count] = {};
    std::atomic<int> late{0}, ahead_too_far{0}, alone_on_other_threads{0};
    std::atomic<std::uint64_t> published{0};
    std::atomic<bool> alone{false};
    std::uint64_t alone_from = count;
    const std::thread::id main_thread = std::this_thread::get_id();
    const unsigned slots = 2 * r.threads;
    auto write = [&](std::uint64_t number, output_file&, output_scratch&) {
      int calls = ++writes[number];
      if (let_go) ++late;  // a number taken as stop() began was written
      if (number >= published + slots) ++ahead_too_far;
      if (alone && std::this_thread::get_id() != main_thread) ++alone_on_other_threads;
      auto fail = r.fails.find(number);
      if (fail == r.fails.end() || calls != 1) return 0;
      a_write_failed = true;
      return fail->second;
    };

    failing_start = r.start;
    failing_index = r.failing_thread;
    armed = r.stop == stopping::after_a_take;
    holding = false;
    a_write_failed = false;
    held_number = r.held;
    if (r.start != start_failure::none) sys::calls.starting_thread = fail_to_start;
    sys::calls.took_number = hold_after_a_take;
    std::string seen;
    try {
      output_writers writers(count, r.threads, write);
      if (r.stop == stopping::after_a_take) holding.wait(false);
      if (r.stop != stopping::never) {
        writers.stop();
        seen = "stopped";
      }
      for (std::uint64_t number = 0; number < count && r.stop == stopping::never; ++number) {
        output_file* output;
        int error = writers.wait_for(number, output);
        if ((error == ENOSPC || error == EDQUOT) && writers.stop_writing_ahead()) {
          alone = true;
          alone_from = number;
          seen += "alone ";
          error = writers.wait_for(number, output);
        }
        if (error != 0) {
          seen += "failed " + std::to_string(number);
          break;
        }
        seen += std::to_string(number) + " ";
        published = number + 1;
        writers.release(number);
      }
    } catch (const std::bad_alloc&) {
      seen += "out of memory";
    }
    sys::calls.starting_thread = nullptr;
    sys::calls.took_number = nullptr;

    EXPECT_EQ(seen, r.seen);
    EXPECT_EQ(late, 0);
    EXPECT_EQ(ahead_too_far, 0);
    EXPECT_EQ(alone_on_other_threads, 0);
    // Every output published was written once, but the one written again
    // alone; those after it may have been written ahead before.
    for (std::uint64_t number = 0; number < published; ++number) {
      int expected = number < alone_from ? 1 : 2;
      if (number > alone_from) expected = std::min(writes[number].load(), 2);
      EXPECT_EQ(writes[number], expected) << number;
    }
  }
}
