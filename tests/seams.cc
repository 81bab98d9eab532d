// Sets the tool's internal seams from PROPSLICE_TEST_SEAMS before main
// runs, so that the same suites run with several writing threads and with
// named temporaries: "threads=N" and "named", separated by commas.

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "platform/seams.h"

namespace {

const bool seams_set = [] {
  const char* seams = std::getenv("PROPSLICE_TEST_SEAMS");
  if (seams == nullptr) return false;
  std::string_view rest = seams;
  while (!rest.empty()) {
    std::string_view seam = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), seam.size() + 1));
    if (seam == "named") platform::seams::named_temporaries = true;
    if (seam.starts_with("threads="))
      platform::seams::thread_count = static_cast<unsigned>(std::atoi(seam.data() + 8));
  }
  return true;
}();

}  // namespace
