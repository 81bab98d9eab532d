// propslice: splits multi-property ZELK2 models into one file per property.

#include "command_line.h"
#include "error.h"
#include "run.h"
#include "usage.h"

int main(int argc, char** argv) {
  prepare_process();
  command_line arguments = parse_command_line(argc, argv);
  if (arguments.show_help) {
    print_usage();
    return 0;
  }
  if (arguments.run.input_paths.empty()) exit_with_error("No ZELK2 input file(s) specified.");
  run(arguments.run);
  return 0;
}
