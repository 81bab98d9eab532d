#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <vector>

// Writes `pieces` to `fd` from the current offset, starting `skip` bytes
// into piece `first`: as few system calls as the system's limit on pieces
// per call allows, short writes carried on. Returns 0 or an errno value.
int write_pieces(int fd, const std::vector<iovec>& pieces, std::size_t first, std::size_t skip);
