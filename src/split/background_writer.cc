#include "split/background_writer.h"

#include <system_error>
#include <utility>

#include "split/temporaries.h"

background_writer::~background_writer() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool background_writer::start(std::function<void()> task) {
  if (!thread_.joinable()) {
    // The signals that remove temporaries are taken on the main thread,
    // which blocks them while it names outputs.
    cleanup_signals_blocked blocked;
    try {
      thread_ = std::thread(&background_writer::loop, this);
    } catch (const std::system_error&) {
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = std::move(task);
  }
  changed_.notify_all();
  return true;
}

void background_writer::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !task_; });
}

void background_writer::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return task_ || ending_; });
    if (!task_) return;  // ending, and nothing left to do
    lock.unlock();
    task_();
    lock.lock();
    task_ = nullptr;
    changed_.notify_all();
  }
}
