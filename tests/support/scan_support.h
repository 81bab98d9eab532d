#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "split/scan.h"

// The scan over bytes already in memory, as if read from a pipe.
scan_result scan_text(std::string_view bytes);

// The lines of `lines`, without their '\n'.
std::vector<std::string> lines_of(const input_lines& lines);

// scan(path) with reads of `read_size` bytes.
scan_result scan_reading(const std::string& path, std::size_t read_size);
