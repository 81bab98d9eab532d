#pragma once

#include <string>

// What ends a run, as a value: raised (thrown) where it is found, carried
// up to the run loop, which first does what the run owes (names the
// complete outputs before it) and then reports it through report_failure.
struct failure {
  enum class kind {
    input,            // "Cannot read input file NAME: REASON"
    output_exists,    // "Output file NAME already exists. Delete or use -f to overwrite"
    output,           // "Cannot write output file NAME: REASON"
    standard_output,  // "Cannot write to standard output: REASON"
    signals,          // "Cannot set up signal handling: REASON"
  };
  kind what;
  int error = 0;       // the errno value; 0 where `reason` says why
  std::string name;    // the input or output path; moved in, not built, when memory is short
  const char* reason = nullptr;  // a reason no errno value words
};

// Throws failure{what, error, name}.
[[noreturn]] void raise_failure(failure::kind what, int error, std::string name = {});

// Prints the one line that tells `f` and ends the process with status 1.
[[noreturn]] void report_failure(const failure& f);
