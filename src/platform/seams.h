#pragma once

// For tests only: stand-ins for what the platform layer does, so that the
// same suites run with several writing threads, with named temporaries as
// on file systems that refuse unnamed ones, and with a clone that a test
// controls. They exist only in the build with PROPSLICE_SEAMED defined,
// which propslice_seamed and the test programs link (tests/CMakeLists.txt):
// the tool neither holds nor checks them.

#ifndef PROPSLICE_SEAMED
#error "platform/seams.h belongs to the seamed build (PROPSLICE_SEAMED) only"
#endif

#include <cstdint>

namespace platform::seams {

// When set, how blocks are shared instead of the system's way.
extern int (*share_blocks)(int source, int target, std::uint64_t length);

// Refuse unnamed temporaries, as some file systems do.
extern bool named_temporaries;

// When not 0, the thread count to write outputs on, whatever the work.
extern unsigned thread_count;

}  // namespace platform::seams
