#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A thread that a run keeps to write the outputs of one small input while
// the main thread reads the next: started on first use and kept, as
// starting a thread per input would cost as much as the input's outputs.
// It takes one task at a time.
class background_writer {
 public:
  background_writer() = default;
  ~background_writer();
  background_writer(const background_writer&) = delete;
  background_writer& operator=(const background_writer&) = delete;

  // Runs `task` on the thread. The task before must be done (wait()).
  // False when no thread can be started: the caller does the work itself.
  bool start(std::function<void()> task);
  // Waits until the task in hand, if any, is done.
  void wait();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> task_;  // set while a task waits or runs
  bool ending_ = false;
  std::thread thread_;
};
