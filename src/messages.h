#pragma once

#include <string_view>

// Writes `text` and a newline on standard output at once, unbuffered, so
// progress lines appear as they happen and in order with errors on standard
// error. A write that fails raises a failure (kind standard_output).
void print_line(std::string_view text);

// The same for a message made of two pieces, as "Generated " and a name.
void print_line(std::string_view first, std::string_view second);

// Standard output was closed when the process started: its descriptor now
// reads /dev/null, only so that no output file takes its place. Every
// message fails then, with EBADF, as a write to the closed descriptor would
// have: a message that cannot be written is an error.
void standard_output_was_closed();
