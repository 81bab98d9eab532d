// propslice: splits multi-property ZELK2 models into one file per property.

#include <cerrno>
#include <cstring>
#include <new>

#include "command_line.h"
#include "error.h"
#include "failure.h"
#include "run.h"
#include "usage.h"

int main(int argc, char** argv) {
  try {
    prepare_process();
    command_line arguments = parse_command_line(argc, argv);
    if (arguments.show_help) {
      print_usage();
      return 0;
    }
    if (arguments.run.input_paths.empty()) exit_with_error("No ZELK2 input file(s) specified.");
    run(arguments.run);
  } catch (const failure& failed) {
    report_failure(failed);
  } catch (const std::bad_alloc&) {
    // Short of memory before any file is involved: an input or an output
    // that memory fails for is named where it happens (run, generate).
    exit_with_error("%s", error_text(ENOMEM));
  }
  return 0;
}
