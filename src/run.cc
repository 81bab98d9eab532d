#include "run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"
#include "messages.h"
#include "split/generate.h"
#include "split/scan.h"

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    if (open("/dev/null", O_RDWR) != fd) std::_Exit(1);  // no stderr to say why
  }
  handle_signals_for_outputs();
}

void run(const settings& run) {
  for (const std::string& path : run.input_paths) {
    if (run.verbosity != 0) print_line("Processing ", path);
    scan_result scanned = scan(path);
    if (scanned.property_lines.size() < 2) {
      print_line("Found only one property. Nothing to split");
      continue;
    }
    generate_outputs(path, scanned, run);
  }  // this input's buffer and sets are released here, before the next
}
