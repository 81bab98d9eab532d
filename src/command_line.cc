#include "command_line.h"

#include <string_view>

command_line parse_command_line(int argc, const char* const* argv) {
  command_line result;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      result.show_help = true;
      return result;
    }
    if (argument == "-v")
      ++result.run.verbosity;
    else if (argument == "-f")
      result.run.force_overwrite = true;
    else
      result.run.input_paths.emplace_back(argument);
  }
  return result;
}
