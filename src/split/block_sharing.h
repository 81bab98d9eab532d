#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "split/output_file.h"
#include "split/scan.h"

// Outputs share the input's blocks where they hold its bytes at the same
// offsets, as long as the file system agrees and the input is unchanged
// since it was read (input_guard): a clone reads the file again, and must
// never bring in bytes that another process wrote since.
class block_sharing {
 public:
  explicit block_sharing(const scan_result& scanned)
      : source_(scanned.input.get()),
        block_(static_cast<std::size_t>(scanned.guard.status().st_blksize)),
        guard_(scanned.guard),
        on_(source_ >= 0 && block_ > 0 && scanned.guard.how() != input_guard::kind::none) {}

  // Shares what it can of the first `prefix` bytes of `output` and sets
  // `shared` to how many. The first refusal turns sharing off; a full disk
  // or quota is no refusal but the failure of this output, returned (0
  // otherwise).
  int share(output_file& output, std::size_t prefix, std::size_t& shared) {
    shared = 0;
    std::size_t length = on_ ? prefix - prefix % block_ : 0;
    if (length == 0) return 0;
    int error = output.clone_from(source_, length);
    if (error == ENOSPC || error == EDQUOT) return error;
    if (error != 0)
      on_ = false;
    else
      shared = length;
    return 0;
  }

  // After an output shared blocks: false (and no more sharing) when the
  // input may have changed since it was read. The lease is given up as
  // soon as it is broken, before anyone writes: a clone that ended before
  // it was seen broken holds the bytes read.
  bool input_unchanged() {
    int error;
    if (!guard_.unchanged(error)) on_ = false;
    return on_;
  }

 private:
  const int source_;
  const std::size_t block_;
  const input_guard& guard_;
  std::atomic<bool> on_;  // outputs are written on several threads
};
