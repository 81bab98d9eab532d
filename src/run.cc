#include "run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "error.h"
#include "failure.h"
#include "messages.h"
#include "platform/platform.h"
#include "split/generate.h"
#include "split/temporaries.h"
#include "split/scan.h"

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    if (open("/dev/null", O_RDWR) != fd) std::_Exit(1);  // no stderr to say why
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

// A failure is reported here, while the outputs waiting to be named are
// still those of the run: they are named first.
void handle_input(const std::string& path, split_run& outputs) try {
  if (outputs.options.verbosity != 0) outputs.pending.print("Processing ", path);
  outputs.pending.before_reading(path);
  scan_result scanned = scan(path);
  if (scanned.property_lines.size() < 2) {
    outputs.pending.print("Found only one property. Nothing to split");
    return;
  }
  generate_outputs(path, scanned, outputs);
  // the input's buffer and sets are released here, before the next input
} catch (const failure& f) {
  report_failure(f);
}

}  // namespace

void run(const settings& options) {
  split_run outputs(options);
  // Outputs waiting to be named when the run fails are named first, as
  // they would have been had each been named when written.
  on_fatal_error name_waiting_outputs([&] { outputs.pending.commit(); });
  for (const std::string& path : options.input_paths) {
    // An input too large to be held and cut up in memory. No output is
    // open when memory is asked for, so nothing partial is left.
    try {
      handle_input(path, outputs);
    } catch (const std::bad_alloc&) {
      exit_with_error("Cannot read input file %s: %s", path.c_str(), error_text(ENOMEM));
    }
  }
  outputs.pending.commit();
}
