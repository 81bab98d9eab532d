#pragma once

#include <string_view>

// Writes `text` and a newline on standard output and flushes it at once, so
// progress lines appear as they happen and in order with errors on standard
// error. A failed write is a fatal error.
void print_line(std::string_view text);

// The same for a message made of two pieces, as "Generated " and a name.
void print_line(std::string_view first, std::string_view second);
