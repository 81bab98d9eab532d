#include "split/background_sync.h"

#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/temporaries.h"

background_sync::~background_sync() {
  if (thread_.joinable()) thread_.join();
}

void background_sync::start(std::vector<int>& fds, bool one_directory) {
  fds_.swap(fds);
  fds.clear();
  one_directory_ = one_directory;
  busy_ = true;
  finished_.store(false, std::memory_order_relaxed);
  bool started = false;
  {
    // The signals that remove temporaries stay with the thread that names.
    cleanup_signals_blocked blocked;
    try {
      if (sys::calls.starting_thread != nullptr) sys::calls.starting_thread(0);
      thread_ = std::thread(&background_sync::run, this);
      started = true;
    } catch (...) {  // std::system_error, std::bad_alloc
    }
  }
  if (!started) run();  // no thread, or no memory for one: here, signals taken
}

void background_sync::run() {
  error_ = platform::make_durable(fds_.data(), fds_.size(), one_directory_, durable_);
  finished_.store(true, std::memory_order_release);
}

int background_sync::wait(std::size_t& durable) {
  if (thread_.joinable()) thread_.join();
  busy_ = false;
  durable = durable_;
  return error_;
}
