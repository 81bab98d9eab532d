#pragma once

#include <string>

#include "command_line.h"
#include "split/output_directory.h"
#include "split/pending_outputs.h"
#include "split/scan.h"

// What the inputs of one run share on their way out: the output directory
// opened last, and the queue of what the run owes (messages, and outputs
// waiting for their names).
struct run_state {
  explicit run_state(const settings& options)
      : options(options), queue(options.force_overwrite, options.verbosity != 0) {}
  const settings& options;
  output_directories directories;
  pending_outputs queue;
};

// Writes one output file per property of an input with two or more, named
// by output_naming and numbered in the iteration order of property_lines,
// into the directory the input's path names now; each goes to the run's
// queue, which names it once complete (and, on a disk, durable). Raises a
// failure when an output exists (without force_overwrite) or cannot be
// written. On a copy-on-write file system an output shares the input's
// blocks where it holds the same bytes at the same offsets. Outputs are
// written on several threads where that pays, and named in number order.
void generate_outputs(const std::string& input_path, const scan_result& scanned, run_state& run);
