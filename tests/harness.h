#pragma once

// What harness.cc puts in the tool's table of system calls, for a test
// that runs the tool's code in its own process.

#include <sys/types.h>

#include <cstdint>

// Makes the `length` bytes of `target` at `to` those of `source` at
// `from`; returns 0 or an errno value.
using clone_function = int (*)(int source, off_t from, int target, off_t to, std::uint64_t length);

// A clone_function that copies the bytes.
int copy_bytes(int source, off_t from, int target, off_t to, std::uint64_t length);

// From now on, clones (FICLONERANGE, copy_file_range) go through `copy`, as
// on a copy-on-write file system; nullptr: through the system again.
void clone_through(clone_function copy);

// Whether this build shares blocks through a system call at all (the POSIX
// baseline has none): tests of clones need one to stand in for.
bool shares_blocks_through_a_call();
