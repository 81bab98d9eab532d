#pragma once

// Hooks into output_writers for its unit test. They exist only in the build
// with PROPSLICE_SEAMED defined, which propslice_seamed and the test
// programs link (tests/CMakeLists.txt): the tool neither holds nor calls
// them. Null unless a test sets them, before any writers start.

#ifndef PROPSLICE_SEAMED
#error "split/output_writers_test_hooks.h belongs to the seamed build (PROPSLICE_SEAMED) only"
#endif

#include <atomic>
#include <cstdint>

struct output_writers_test_hooks {
  // Runs before writing thread `index` (from 0) is started; may throw what
  // starting a thread can throw.
  void (*starting_thread)(unsigned index) = nullptr;
  // Runs on a writing thread right after it took output `number`, with the
  // flag that stop() sets.
  void (*took_number)(std::uint64_t number, const std::atomic<bool>& stopping) = nullptr;
};

extern output_writers_test_hooks output_writers_hooks;
