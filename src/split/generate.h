#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "split/background_writer.h"
#include "split/output_directory.h"
#include "split/pending_outputs.h"
#include "split/scan.h"

class input_split;  // the outputs of one input on their way out

// What the inputs of one run share on their way out: the output directory
// opened last, the outputs waiting to be synced and named, and a thread
// that writes the outputs of a small input while the next one is read.
// Messages go through print(), so that each comes after the outputs
// before it are named.
class split_run {
 public:
  explicit split_run(const settings& options);
  ~split_run();
  split_run(const split_run&) = delete;
  split_run& operator=(const split_run&) = delete;

  // Prints a message line, after the outputs before it are named.
  void print(std::string_view first, std::string_view second = {});
  // Before the input at `path` is read: if it may be an output still to
  // be named, or what one is to replace, those outputs are named first,
  // so that it is read as it would be after them.
  void before_reading(const std::string& path);
  // Names the outputs of the input whose outputs are being written in the
  // background, if any, then prints the messages held behind them.
  void finish_in_flight();

  const settings& options;
  output_directories directories;
  pending_outputs pending;
  background_writer background;
  const bool background_usable;  // a second processor, and no thread count fixed

 private:
  friend class input_split;
  friend void generate_outputs(const std::string&, std::unique_ptr<scan_result>, split_run&);
  // The input read, then the split that writes from it: gone in the
  // other order.
  std::unique_ptr<scan_result> in_flight_input_;
  std::unique_ptr<input_split> in_flight_;
  std::vector<std::string> held_;  // messages that come after its outputs
};

// Writes one output file per property of an input with two or more, named
// by output_naming and numbered in the iteration order of property_lines.
// Ends the process through exit_with_error when an output exists (without
// force_overwrite) or cannot be written. Each output takes its name only when
// complete; on a copy-on-write file system it shares the input's blocks
// where it holds the same bytes at the same offsets. Outputs are written on
// several threads where that pays, and named in number order. The names
// may be given after the call returns (the next input's read, or the sync
// of a group, comes first): as the messages wait for them, nothing of
// that shows.
void generate_outputs(const std::string& input_path, std::unique_ptr<scan_result> scanned,
                      split_run& run);

// The same for one input alone: its outputs are all named on return.
void generate_outputs(const std::string& input_path, const scan_result& scanned,
                      const settings& options);
