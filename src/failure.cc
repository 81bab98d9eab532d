#include "failure.h"

#include <utility>

#include "error.h"

void raise_failure(failure::kind what, int error, std::string name) {
  throw failure{what, error, std::move(name)};
}

void report_failure(const failure& f) {
  const char* reason = f.reason != nullptr ? f.reason : error_text(f.error);
  const char* name = f.name.c_str();
  switch (f.what) {
    case failure::kind::input:
      exit_with_error("Cannot read input file %s: %s", name, reason);
    case failure::kind::output_exists:
      exit_with_error("Output file %s already exists. Delete or use -f to overwrite", name);
    case failure::kind::output:
      exit_with_error("Cannot write output file %s: %s", name, reason);
    case failure::kind::standard_output:
      exit_with_error("Cannot write to standard output: %s", reason);
    case failure::kind::signals:
      exit_with_error("Cannot set up signal handling: %s", reason);
  }
  exit_with_error("%s", reason);
}
