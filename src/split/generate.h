#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "split/output_directory.h"
#include "split/pending_outputs.h"
#include "split/scan.h"

// What the inputs of one run share on their way out: the output directory
// opened last, and the outputs waiting to be synced and named.
struct split_run {
  explicit split_run(const settings& options)
      : options(options), pending(options.force_overwrite, options.verbosity != 0) {}
  const settings& options;
  output_directories directories;
  pending_outputs pending;
};

// Writes one output file per property of an input with two or more, named
// by output_naming and numbered in the iteration order of property_lines.
// Ends the process through exit_with_error when an output exists (without
// force_overwrite) or cannot be written. Each output takes its name only when
// complete (on a disk, when its group is synced: that may be after later
// inputs were read); on a copy-on-write file system it shares the input's blocks
// where it holds the same bytes at the same offsets. Outputs are written on
// several threads where that pays, and named in number order.
void generate_outputs(const std::string& input_path, const scan_result& scanned, split_run& run);

// The same for one input alone: its outputs are all named on return.
void generate_outputs(const std::string& input_path, const scan_result& scanned,
                      const settings& options);

// The bytes of each output, as spans of the input text: the text minus every
// property line but the one the output keeps. Built once per input; an output
// costs one span per run of shared lines, however many lines there are.
class output_layout {
 public:
  explicit output_layout(const scan_result& scanned);

  // Replaces `pieces` with the spans of the output that keeps the property
  // line `ordinal` (its position among the property lines in file order).
  void pieces_for(std::size_t ordinal, std::vector<iovec>& pieces) const;

  // How many leading bytes of that output stand at the same offsets in the
  // input: all up to the first property line that the output leaves out.
  std::size_t shared_prefix(std::size_t ordinal) const;

 private:
  struct span {
    std::size_t begin, end;
  };
  std::string_view text_;
  const std::vector<line_range>& properties_;
  std::vector<span> shared_;  // the non-empty runs of lines between property lines
  std::vector<std::size_t> shared_before_;  // per property: runs of shared_ before it
};

// Output names: the input path with "-p" and the zero-padded number inserted
// before the extension, which is the final path component's last "." and
// what follows it ("" when that component has no "."). The padding is the
// digit count of the number of outputs.
class output_naming {
 public:
  output_naming(std::string_view input_path, std::uint64_t output_count);
  // The name of output `number`; valid until the next call.
  const std::string& name(std::uint64_t number) {
    build(number, name_);
    return name_;
  }
  // The same into `name`, which may belong to any thread.
  void build(std::uint64_t number, std::string& name) const;
  // Ends the process with "Cannot write output file NAME: REASON" for
  // output `number`, through exit_with_error. Asks for no memory, which may
  // be what ran short.
  [[noreturn]] void exit_cannot_write(std::uint64_t number, int error) const;

 private:
  struct number_part {
    char text[32];  // "-p" and the padded number
  };
  number_part part_for(std::uint64_t number) const;

  std::string_view stem_, extension_;
  int width_;
  std::string name_;
};
