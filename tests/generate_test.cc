#include "split/output_layout.h"
#include "split/output_naming.h"
#include "support/scan_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string output_text(const output_layout& layout, std::size_t ordinal) {
  std::vector<iovec> pieces;
  layout.pieces_for(ordinal, pieces);
  std::string text;
  for (const iovec& piece : pieces) text.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
  return text;
}

}  // namespace

TEST(OutputNaming, NamesFromPathCountAndNumber) {
  struct example {
    const char* path;
    std::uint64_t count, number;
    const char* name;
  };
  const example examples[] = {
      {"model.zelk", 3, 0, "model-p0.zelk"},
      {"model.zelk", 3, 2, "model-p2.zelk"},
      {"model.zelk", 9, 8, "model-p8.zelk"},
      {"model.zelk", 10, 0, "model-p00.zelk"},
      {"model.zelk", 12, 11, "model-p11.zelk"},
      {"model.zelk", 99, 98, "model-p98.zelk"},
      {"model.zelk", 100, 0, "model-p000.zelk"},
      {"model.zelk", 100, 99, "model-p099.zelk"},
      {"model.zelk", 10000, 42, "model-p00042.zelk"},
      {"runs/a.b.zelk", 2, 1, "runs/a.b-p1.zelk"},
      {"a.", 2, 0, "a-p0."},
      {".zelk", 2, 0, "-p0.zelk"},
      {"/abs/dir/m.zelk", 2, 0, "/abs/dir/m-p0.zelk"},
      // A "." in a directory starts no extension: outputs stay beside the input.
      {"work.d/model", 2, 0, "work.d/model-p0"},
      {"./model", 2, 1, "./model-p1"},
      {"../x.y/model.zelk", 2, 0, "../x.y/model-p0.zelk"},
      {"model", 2, 0, "model-p0"},
      {"dir/.hidden", 2, 0, "dir/-p0.hidden"},
      // Paths are bytes, passed through as they are.
      {"my model %s.zelk", 2, 0, "my model %s-p0.zelk"},
      {"-vv", 2, 1, "-vv-p1"},
      {"\xff\xfe.zelk", 2, 0, "\xff\xfe-p0.zelk"},
  };
  for (const example& e : examples) {
    output_naming naming(e.path, e.count);
    std::string name;
    naming.build(e.number, name);
    EXPECT_EQ(name, e.name) << e.path << " " << e.count << " " << e.number;
  }
}

TEST(OutputLayout, EachOutputKeepsSharedLinesAndOneProperty) {
  struct example {
    std::string input;
    std::vector<std::string> outputs;  // by property, in file order
  };
  const example examples[] = {
      {"a\nbad1\nbad2\n", {"a\nbad1\n", "a\nbad2\n"}},
      {"bad1\nbad2", {"bad1\n", "bad2\n"}},
      {"bad1\na\nbad2\nb\n", {"bad1\na\nb\n", "a\nbad2\nb\n"}},
      {"x\r\nbad1\r\ny\r\nbad2\r\nz", {"x\r\nbad1\r\ny\r\nz\n", "x\r\ny\r\nbad2\r\nz\n"}},
      {"bad1\nbad2\nbad3\n\n", {"bad1\n\n", "bad2\n\n", "bad3\n\n"}},
  };
  for (const example& e : examples) {
    scan_result scanned = scan_text(e.input);
    output_layout layout(scanned);
    ASSERT_EQ(scanned.property_lines.size(), e.outputs.size());
    for (std::size_t i = 0; i < e.outputs.size(); ++i)
      EXPECT_EQ(output_text(layout, i), e.outputs[i]) << testing::PrintToString(e.input) << " #" << i;
  }
}

TEST(OutputLayout, PropertiesAtTheEndCostAtMostTwoPiecesPerOutput) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "17 and 1 12 9\n";
  for (int i = 0; i < 1000; ++i) input += std::to_string(i) + " bad 1\n";
  scan_result scanned = scan_text(input);
  output_layout layout(scanned);
  std::vector<iovec> pieces;
  for (std::size_t i = 0; i < 1000; ++i) {
    layout.pieces_for(i, pieces);
    EXPECT_LE(pieces.size(), 2u);
  }
}
