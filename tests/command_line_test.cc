#include "command_line.h"

#include <gtest/gtest.h>

#include <vector>

TEST(CommandLine, EveryArgumentIsAnOptionOrAPath) {
  struct example {
    std::vector<const char*> arguments;
    bool show_help;
    int verbosity;
    bool force_overwrite;
    std::vector<std::string> paths;
  };
  const example examples[] = {
      {{}, false, 0, false, {}},
      {{"-v", "-f"}, false, 1, true, {}},
      {{"a.zelk"}, false, 0, false, {"a.zelk"}},
      {{"-v", "-v", "a.zelk"}, false, 2, false, {"a.zelk"}},
      {{"a.zelk", "-f", "b.zelk"}, false, 0, true, {"a.zelk", "b.zelk"}},
      {{"a.zelk", "a.zelk"}, false, 0, false, {"a.zelk", "a.zelk"}},
      // No bundling, no "--", no other long options: all of these are paths.
      {{"-vv", "-fv", "-x", "--verbose", "-help", "--h", "-", "", "--", "-V", "-F"},
       false, 0, false,
       {"-vv", "-fv", "-x", "--verbose", "-help", "--h", "-", "", "--", "-V", "-F"}},
      // Help ends the examination wherever it stands.
      {{"-h"}, true, 0, false, {}},
      {{"--help"}, true, 0, false, {}},
      {{"a.zelk", "-h", "b.zelk"}, true, 0, false, {"a.zelk"}},
      {{"-v", "--help", "-f"}, true, 1, false, {}},
  };
  for (const example& e : examples) {
    std::vector<const char*> argv = {"propslice"};
    argv.insert(argv.end(), e.arguments.begin(), e.arguments.end());
    command_line parsed = parse_command_line(static_cast<int>(argv.size()), argv.data());
    SCOPED_TRACE(testing::PrintToString(e.paths));
    EXPECT_EQ(parsed.show_help, e.show_help);
    if (e.show_help) continue;  // the rest is never looked at then
    EXPECT_EQ(parsed.run.verbosity, e.verbosity);
    EXPECT_EQ(parsed.run.force_overwrite, e.force_overwrite);
    EXPECT_EQ(parsed.run.input_paths, e.paths);
  }
}
