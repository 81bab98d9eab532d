#pragma once

#include <cstddef>
#include <string>

#include "split/file_descriptor.h"
#include "split/input_buffer.h"
#include "split/input_guard.h"
#include "split/property_set.h"

struct scan_result {
  // The input's lines; only counted when the input is not split (a regular
  // file with fewer than two property lines): then the text is empty.
  input_lines lines;
  // Numbered in iteration order; by ordinal, in file order.
  property_set property_lines;
  // A regular file that is split stays open, so that outputs may share its
  // blocks while `guard` tells that it holds the bytes read.
  file_descriptor input;
  input_guard guard;
};

// The bytes asked for by one read: large enough to make the system call
// cost vanish, small enough that the bytes are still in cache when they are
// searched right after the read.
constexpr std::size_t default_read_size = std::size_t{256} * 1024;


// Reads the file at `path` completely and finds its property lines: those
// holding the bytes "bad" anywhere. Lines end at '\n' only. The file may be
// a pipe, read whole as it comes. A small regular file (four window reads
// at most) is read once, into a buffer of its size; a larger one is first
// searched through a window (32 KiB at the most), and read whole only when
// it has two property lines or more.
// An input that cannot be opened or read raises a failure: splitting a
// model that was read only in part would lose data silently. So does one
// that keeps changing while it is read: every read of a regular file,
// through the window too, is kept only when input_guard tells it holds one
// version of the file, and done again otherwise, a few times at most.
// Memory running short, or an input that cannot fit in the memory the
// process can be given, throws std::bad_alloc.
scan_result scan(const std::string& path);
