#include "run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "error.h"
#include "failure.h"
#include "messages.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "split/generate.h"
#include "split/temporaries.h"
#include "split/scan.h"

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (sys::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    if (sys::open("/dev/null", O_RDWR) != fd) std::_Exit(1);  // no stderr to say why
    if (fd == 1) standard_output_was_closed();
  }
  // A reader of standard output that goes away (as `head` does) then fails
  // the next message with EPIPE, which is reported, instead of killing the
  // process without a word.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) raise_failure(failure::kind::signals, errno);
  handle_signals_for_outputs();
  // A lease break must reach the process, whatever signal mask it was
  // started with, or a writer of the input waits for the system to give up.
  if (int error = platform::prepare_read_leases()) raise_failure(failure::kind::signals, error);
}

namespace {

void handle_input(const std::string& path, run_state& state) {
  if (state.options.verbosity != 0) state.queue.print("Processing ", path);
  state.queue.before_reading(path);
  scan_result scanned = scan(path);
  if (scanned.property_lines.size() < 2) {
    state.queue.print("Found only one property. Nothing to split");
    return;
  }
  generate_outputs(path, scanned, state);
}  // the input's buffer and sets are released here, before the next input

}  // namespace

void run(const settings& options) {
  run_state state(options);
  try {
    for (const std::string& path : options.input_paths) {
      // An input too large to be held and cut up in memory. No output is
      // open when memory is asked for, so nothing partial is left.
      try {
        handle_input(path, state);
      } catch (const std::bad_alloc&) {
        raise_failure(failure::kind::input, ENOMEM, path);
      }
    }
    state.queue.commit();
  } catch (const failure& failed) {
    // The writing threads are stopped, and what they left unfinished gone.
    // What the run owes from before the failure comes first: the outputs
    // complete before it are named, the messages before it printed. A
    // failure of standard output leaves nothing waiting (see commit()).
    if (failed.what != failure::kind::standard_output) {
      try {
        state.queue.commit();
      } catch (const failure& earlier) {
        report_failure(earlier);
      }
    }
    report_failure(failed);
  }
}
