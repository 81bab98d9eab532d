// The built tool, run in a fresh directory: what it prints, how it ends and
// the files it leaves, byte for byte.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

using files = std::map<std::string, std::string>;

const std::string usage =
    "Usage:\n"
    "  propslice [options] ZELK2_FILE...\n"
    "\n"
    "Options:\n"
    "  -h,--help   Print this help and exit.\n"
    "  -v          Increase verbosity.\n"
    "  -f          Overwrite output file if it already exists.\n"
    "\n"
    "Split multi-property ZELK2 files into single property files. For each\n"
    "property a new file '<basename>p[0-9]+.zelk is generated\n";

const std::string no_input = "error: No ZELK2 input file(s) specified.\n";
const std::string nothing_to_split = "Found only one property. Nothing to split\n";

// Lines 0-9 shared, 10-12 properties.
const std::string shared = [] {
  std::string text;
  for (int i = 0; i < 10; ++i) text += std::to_string(i) + " state 1 counter\n";
  return text;
}();
const std::string model = shared + "10 bad 1\n11 bad 2\n12 bad 3\n";

const files model_outputs = {
    {"model.zelk", model},
    {"model-p0.zelk", shared + "12 bad 3\n"},
    {"model-p1.zelk", shared + "11 bad 2\n"},
    {"model-p2.zelk", shared + "10 bad 1\n"},
};

const std::string verbose_model_run =
    "Processing model.zelk\n"
    "Found 3 properties in 13 lines\n"
    "Generated model-p0.zelk\n"
    "Generated model-p1.zelk\n"
    "Generated model-p2.zelk\n";

struct case_ {
  const char* name;
  files before;
  std::vector<std::string> arguments;
  std::string out, err;
  int status;
  files after;  // everything in the directory afterwards
};

void run_case(const case_& c) {
  SCOPED_TRACE(c.name);
  scratch_directory dir;
  for (const auto& [name, bytes] : c.before) dir.write(name, bytes);
  tool_result result = run_tool(dir.path(), c.arguments);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(dir.files(), c.after);
}

files with(files base, const files& more) {
  for (const auto& [name, bytes] : more) base[name] = bytes;
  return base;
}

}  // namespace

TEST(EndToEnd, CommandLine) {
  const files input = {{"model.zelk", model}};
  const case_ cases[] = {
      {"no arguments", {}, {}, "", no_input, 1, {}},
      {"only options", input, {"-v", "-f"}, "", no_input, 1, input},
      {"-h", input, {"-h"}, usage, "", 0, input},
      {"--help", input, {"--help"}, usage, "", 0, input},
      {"help after a path", input, {"model.zelk", "-h"}, usage, "", 0, input},
      {"help before a path", input, {"-h", "model.zelk"}, usage, "", 0, input},
      {"help after a missing path", {}, {"missing.zelk", "-v", "--help"}, usage, "", 0, {}},
      {"-help is a path", input, {"-help"}, "",
       "error: Cannot read input file -help: No such file or directory\n", 1, input},
      {"--h is a path", input, {"--h"}, "",
       "error: Cannot read input file --h: No such file or directory\n", 1, input},
      {"-vv is a path, not two -v", input, {"-vv", "model.zelk"}, "",
       "error: Cannot read input file -vv: No such file or directory\n", 1, input},
      {"empty path", input, {""}, "",
       "error: Cannot read input file : No such file or directory\n", 1, input},
      {"- is a file name", {{"-", model}}, {"-"}, "", "", 0,
       {{"-", model}, {"--p0", shared + "12 bad 3\n"}, {"--p1", shared + "11 bad 2\n"},
        {"--p2", shared + "10 bad 1\n"}}},
      {"quiet split", input, {"model.zelk"}, "", "", 0, model_outputs},
      {"verbose split", input, {"-v", "model.zelk"}, verbose_model_run, "", 0, model_outputs},
      {"-v twice is -v", input, {"-v", "model.zelk", "-v"}, verbose_model_run, "", 0, model_outputs},
  };
  for (const case_& c : cases) run_case(c);
}

TEST(EndToEnd, InputsWithFewerThanTwoProperties) {
  const case_ cases[] = {
      {"empty file", {{"e.zelk", ""}}, {"-v", "e.zelk"}, "Processing e.zelk\n" + nothing_to_split,
       "", 0, {{"e.zelk", ""}}},
      {"one property", {{"one.zelk", "1 a\n2 bad\n"}}, {"one.zelk"}, nothing_to_split, "", 0,
       {{"one.zelk", "1 a\n2 bad\n"}}},
      {"no property, twice", {{"n.zelk", "1 BAD\n2 ba d\n"}}, {"n.zelk", "n.zelk"},
       nothing_to_split + nothing_to_split, "", 0, {{"n.zelk", "1 BAD\n2 ba d\n"}}},
  };
  for (const case_& c : cases) run_case(c);
}

TEST(EndToEnd, OutputContentAndNumbering) {
  const case_ cases[] = {
      {"two properties: the later is number 0",
       {{"m.zelk", "0\n1\n2\n3 bad\n4\n5\n6\n7\n8 bad\n9\n"}}, {"m.zelk"}, "", "", 0,
       {{"m.zelk", "0\n1\n2\n3 bad\n4\n5\n6\n7\n8 bad\n9\n"},
        {"m-p0.zelk", "0\n1\n2\n4\n5\n6\n7\n8 bad\n9\n"},
        {"m-p1.zelk", "0\n1\n2\n3 bad\n4\n5\n6\n7\n9\n"}}},
      {"no final newline: every output ends with one", {{"m.zelk", "a\r\nbad 1\r\nbad 2"}},
       {"m.zelk"}, "", "", 0,
       {{"m.zelk", "a\r\nbad 1\r\nbad 2"}, {"m-p0.zelk", "a\r\nbad 2\n"},
        {"m-p1.zelk", "a\r\nbad 1\r\n"}}},
      {"NUL bytes and tabs pass through", {{"m.zelk", std::string("a\0\tb\nbad\0\nbad\t\n", 14)}},
       {"m.zelk"}, "", "", 0,
       {{"m.zelk", std::string("a\0\tb\nbad\0\nbad\t\n", 14)},
        {"m-p0.zelk", std::string("a\0\tb\nbad\t\n", 10)},
        {"m-p1.zelk", std::string("a\0\tb\nbad\0\n", 10)}}},
  };
  for (const case_& c : cases) run_case(c);

  // Properties at lines 3, 7, 20, 21 and 22 of 25 get the numbers 4, 3, 1, 0, 2.
  auto is_property = [](int line) { return line == 3 || line == 7 || (line >= 20 && line <= 22); };
  auto lines_keeping = [&](int kept) {
    std::string text;
    for (int i = 0; i < 25; ++i)
      if (!is_property(i) || i == kept) text += std::to_string(i) + (is_property(i) ? " bad\n" : "\n");
    return text;
  };
  std::string all;
  for (int i = 0; i < 25; ++i) all += std::to_string(i) + (is_property(i) ? " bad\n" : "\n");
  run_case({"scattered", {{"s.zelk", all}}, {"s.zelk"}, "", "", 0,
            {{"s.zelk", all}, {"s-p0.zelk", lines_keeping(21)}, {"s-p1.zelk", lines_keeping(20)},
             {"s-p2.zelk", lines_keeping(22)}, {"s-p3.zelk", lines_keeping(7)},
             {"s-p4.zelk", lines_keeping(3)}}});
}

TEST(EndToEnd, OutputNamesAndPadding) {
  auto properties = [](int count) {
    std::string text = "shared\n";
    for (int i = 0; i < count; ++i) text += "bad " + std::to_string(i) + "\n";
    return text;
  };
  for (auto [count, first, last] : {std::tuple{9, "m-p0.zelk", "m-p8.zelk"},
                                    std::tuple{10, "m-p00.zelk", "m-p09.zelk"},
                                    std::tuple{100, "m-p000.zelk", "m-p099.zelk"}}) {
    scratch_directory dir;
    dir.write("m.zelk", properties(count));
    ASSERT_EQ(run_tool(dir.path(), {"m.zelk"}).status, 0);
    files after = dir.files();
    EXPECT_EQ(after.size(), static_cast<std::size_t>(count) + 1);
    // An unbroken run of properties is numbered from its end.
    EXPECT_EQ(after[first], "shared\nbad " + std::to_string(count - 1) + "\n");
    EXPECT_EQ(after[last], "shared\nbad 0\n");
  }

  const std::string two = "x\nbad 1\nbad 2\n";
  const case_ cases[] = {
      {"dot in a directory", {{"work.d/model", two}}, {"-v", "work.d/model"},
       "Processing work.d/model\nFound 2 properties in 3 lines\n"
       "Generated work.d/model-p0\nGenerated work.d/model-p1\n", "", 0,
       {{"work.d", "<dir>"}, {"work.d/model", two}, {"work.d/model-p0", "x\nbad 2\n"},
        {"work.d/model-p1", "x\nbad 1\n"}}},
      {"dot slash", {{"model", two}}, {"./model"}, "", "", 0,
       {{"model", two}, {"model-p0", "x\nbad 2\n"}, {"model-p1", "x\nbad 1\n"}}},
      {"spaces and %", {{"a b %s%n.zelk", two}}, {"-v", "a b %s%n.zelk"},
       "Processing a b %s%n.zelk\nFound 2 properties in 3 lines\n"
       "Generated a b %s%n-p0.zelk\nGenerated a b %s%n-p1.zelk\n", "", 0,
       {{"a b %s%n.zelk", two}, {"a b %s%n-p0.zelk", "x\nbad 2\n"}, {"a b %s%n-p1.zelk", "x\nbad 1\n"}}},
      {"leading dash", {{"-x.zelk", two}}, {"-x.zelk"}, "", "", 0,
       {{"-x.zelk", two}, {"-x-p0.zelk", "x\nbad 2\n"}, {"-x-p1.zelk", "x\nbad 1\n"}}},
      {"not UTF-8", {{"\xff\xfe.zelk", two}}, {"-v", "\xff\xfe.zelk"},
       "Processing \xff\xfe.zelk\nFound 2 properties in 3 lines\n"
       "Generated \xff\xfe-p0.zelk\nGenerated \xff\xfe-p1.zelk\n", "", 0,
       {{"\xff\xfe.zelk", two}, {"\xff\xfe-p0.zelk", "x\nbad 2\n"}, {"\xff\xfe-p1.zelk", "x\nbad 1\n"}}},
  };
  for (const case_& c : cases) run_case(c);
}

TEST(EndToEnd, ExistingOutputs) {
  const files input = {{"model.zelk", model}};
  const files old_p1 = {{"model.zelk", model}, {"model-p1.zelk", "old\n"}};
  const case_ cases[] = {
      {"stops at the first existing output", old_p1, {"-v", "model.zelk"},
       "Processing model.zelk\nFound 3 properties in 13 lines\nGenerated model-p0.zelk\n",
       "error: Output file model-p1.zelk already exists. Delete or use -f to overwrite\n", 1,
       with(old_p1, {{"model-p0.zelk", shared + "12 bad 3\n"}})},
      {"-f overwrites", old_p1, {"-f", "model.zelk"}, "", "", 0, model_outputs},
      {"-f counts wherever it stands", old_p1, {"model.zelk", "-f"}, "", "", 0, model_outputs},
      {"same input twice", input, {"model.zelk", "model.zelk"}, "",
       "error: Output file model-p0.zelk already exists. Delete or use -f to overwrite\n", 1,
       model_outputs},
      {"same input twice with -f", input, {"-f", "model.zelk", "model.zelk"}, "", "", 0,
       model_outputs},
      // Outputs are named before a later input that is one of them is read,
      // however it is spelled, and with -f before what they replace is.
      {"outputs read as later inputs", input, {"model.zelk", "model-p0.zelk", "./model-p1.zelk"},
       nothing_to_split + nothing_to_split, "", 0, model_outputs},
      {"-f outputs read as later inputs", {{"model.zelk", model}, {"model-p0.zelk", "old\nbad 8\nbad 9\n"}},
       {"-f", "model.zelk", "model-p0.zelk", "./model-p0.zelk"}, nothing_to_split + nothing_to_split,
       "", 0, model_outputs},
  };
  for (const case_& c : cases) run_case(c);
}

TEST(EndToEnd, InputsAreHandledInOrderUntilAFailure) {
  const std::string two = "x\nbad 1\nbad 2\n";
  run_case({"missing input in the middle",
            {{"a.zelk", two}, {"c.zelk", two}},
            {"-v", "a.zelk", "missing.zelk", "c.zelk"},
            "Processing a.zelk\nFound 2 properties in 3 lines\nGenerated a-p0.zelk\n"
            "Generated a-p1.zelk\nProcessing missing.zelk\n",
            "error: Cannot read input file missing.zelk: No such file or directory\n", 1,
            {{"a.zelk", two}, {"a-p0.zelk", "x\nbad 2\n"}, {"a-p1.zelk", "x\nbad 1\n"},
             {"c.zelk", two}}});
}
