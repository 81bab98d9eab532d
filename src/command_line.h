#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The settings of one run, fixed from the whole command line before any
// file is touched, and only read afterwards.
struct settings {
  std::int32_t verbosity = 0;  // one per "-v"; only zero and non-zero matter
  bool force_overwrite = false;
  std::vector<std::string> input_paths;  // in command-line order, duplicates kept
};

struct command_line {
  bool show_help = false;  // "-h" or "--help" was met; nothing else counts then
  settings run;
};

// Reads the arguments after the program name. Arguments are compared as
// whole strings: no bundling, no "--" marker, so "-vv", "-", "" and "-x" are
// input paths. Stops at the first "-h" or "--help".
command_line parse_command_line(int argc, const char* const* argv);
