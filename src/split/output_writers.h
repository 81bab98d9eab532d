#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "split/output_file.h"

// Writes the outputs of one input, numbered 0 to count - 1, on worker
// threads, two outputs per thread ahead of the one thread that takes them
// in number order to publish them. So the numbering, the messages and what
// a failure leaves stay those of a single thread, by construction, and the
// unpublished temporaries never hold more than a few outputs' worth of
// disk. With one thread, each output is written when it is asked for.
// Memory a write may reuse from one output to the next: each slot has its
// own, made on the thread that starts the writers.
struct output_scratch {
  std::string name;
  std::vector<iovec> pieces;
};

// Outputs in flight per thread: one being written, one waiting for its turn
// to be named while the next is written.
constexpr unsigned outputs_ahead_per_thread = 2;
// Copying into the page cache is bound by memory long before this many
// threads.
constexpr unsigned most_threads = 64;
constexpr std::size_t outputs_in_flight_at_most = std::size_t{most_threads} * outputs_ahead_per_thread;

class output_writers {
 public:
  // Writes output `number` into `output` (created by it); returns 0 or an
  // errno value. Called on any thread, for each number once (twice for an
  // output that failed before the run went on alone).
  using write_function =
      std::function<int(std::uint64_t number, output_file& output, output_scratch& scratch)>;

  output_writers(std::uint64_t count, unsigned threads, write_function write);
  ~output_writers() { stop(); }
  output_writers(const output_writers&) = delete;
  output_writers& operator=(const output_writers&) = delete;

  // Waits until output `number` is written, the lowest not yet released,
  // and returns the result of its writing; `output` is then its file.
  int wait_for(std::uint64_t number, output_file*& output);
  // The file of output `number`, written: whoever moves it away (to name
  // it later) leaves its place to a new one.
  std::unique_ptr<output_file>& file(std::uint64_t number) { return slot_for(number).file; }
  // Done with output `number`: its place goes to one further ahead.
  void release(std::uint64_t number);
  // Ends the threads and discards what they wrote ahead; from then on each
  // output is written when it is asked for. False when there were none.
  bool stop_writing_ahead();
  // Lets the threads finish the output each is writing and ends them;
  // everything not published is discarded. Call before ending the process.
  void stop();

 private:
  struct slot {
    std::unique_ptr<output_file> file;  // made when first written into
    output_scratch scratch;
    int error = 0;
    // One more than the number of the output last written into it: set
    // after `file` and `error`, which it hands to the publishing thread.
    std::atomic<std::uint64_t> written{0};
  };
  void work();
  slot& slot_for(std::uint64_t number) { return *slots_[number % slots_.size()]; }

  const std::uint64_t count_;
  const write_function write_;
  std::vector<std::unique_ptr<slot>> slots_;
  std::vector<std::thread> threads_;

  // Handed between the threads without a lock: the writing threads wait on
  // released_, the publishing thread on each slot's `written`, spinning a
  // little before they sleep, so that small outputs pass quickly.
  std::atomic<std::uint64_t> next_{0};      // the next number to hand to a thread
  std::atomic<std::uint64_t> released_{0};  // numbers below this are done with
  std::atomic<bool> failed_{false};         // an output could not be written
  std::atomic<bool> stopping_{false};
};

// The descriptors outputs may hold at once, from the open-file limit less
// what a run keeps open besides (the standard streams, an input, a
// directory), worked out once: `writing` for the outputs in flight on the
// writing threads (two per thread, a thread per processor, half the
// descriptors at most), `waiting` for those in the queue: all the rest.
struct output_descriptors {
  std::size_t writing, waiting;
};
const output_descriptors& output_descriptors_at_most();

// How many threads should write outputs: as many as the process may run
// on, no more than there are outputs or than output_descriptors_at_most()
// lets write, and one where the bytes to write are too few for threads to
// pay.
unsigned output_thread_count(std::uint64_t outputs, std::uint64_t bytes);
