#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

// Makes one group of outputs durable (platform::make_durable) on a thread
// of its own, so that the run writes the next group while the disk takes
// this one. Where no thread can be started, start() makes it durable there.
//
// Calling sequence: start(), then finished() as often as wanted, then
// wait() once; then start() again. The descriptors stay open until wait()
// has returned.
class background_sync {
 public:
  background_sync() = default;
  ~background_sync();
  background_sync(const background_sync&) = delete;
  background_sync& operator=(const background_sync&) = delete;

  // Starts on the descriptors in `fds`, which it takes; `fds` is left
  // empty, with the room of an earlier group's list.
  void start(std::vector<int>& fds, bool one_directory);
  // Started and not waited for.
  bool busy() const { return busy_; }
  // Busy, and wait() would return at once.
  bool finished() const { return busy_ && finished_.load(std::memory_order_acquire); }
  // Returns make_durable()'s result and `durable`.
  int wait(std::size_t& durable);

 private:
  void run();

  std::vector<int> fds_;
  bool one_directory_ = false;
  bool busy_ = false;
  std::atomic<bool> finished_{false};
  std::thread thread_;
  int error_ = 0;
  std::size_t durable_ = 0;
};
