#pragma once

#include <cstddef>
#include <cstdint>

// Readable bytes that must follow every piece handed to line_search, so that
// the block search may load a whole block at its end. Their values do not
// matter.
constexpr std::size_t search_padding = 64;

// Where one property line stands in the input: its index, and the offsets
// of its bytes in the input as a whole, which are offsets in the buffer
// where the input is held whole. (An input searched without being held,
// through a window, may be longer than memory: there only the index is
// used.)
struct line_range {
  std::uint64_t index;  // 0-based line number
  std::size_t begin;    // offset of its first byte
  std::size_t end;      // one past its '\n'
};

// The one search of an input: counts its lines and finds its property lines
// (those holding "bad"), over bytes fed piece by piece in input order. Pieces
// may end anywhere, inside a line or inside a "bad": of an unfinished line
// only its start, whether it holds "bad" so far and its last two bytes are
// kept, so the caller may reuse the memory of a piece once it is searched.
//
//   search.feed(bytes, size);
//   while (search.next_property(line)) ...;   // then the next piece
//   search.finish();
//   while (search.next_property(line)) ...;
class line_search {
 public:
  // Starts on the next `size` bytes of the input; `search_padding` readable
  // bytes must follow them. The previous piece must be searched through.
  void feed(const char* piece, std::size_t size);

  // The input ended: a last line without '\n' ends here as if it had one
  // (its `end` counts that '\n').
  void finish();

  // Searches on to the next property line that ends in the current piece;
  // false when the piece holds no more, every line end in it counted.
  bool next_property(line_range& line);

  // Lines ended so far; after finish(), all the lines of the input.
  std::uint64_t lines() const { return lines_; }

 private:
  void keep_tail();

  const char* piece_ = nullptr;
  std::size_t size_ = 0;
  std::size_t at_ = 0;           // bytes of the piece before this are searched
  std::uint64_t offset_ = 0;     // where the piece starts in the input
  std::uint64_t lines_ = 0;
  std::uint64_t line_begin_ = 0;  // where the unfinished line starts
  bool line_has_bad_ = false;     // in the part of it searched so far
  // The last bytes of the unfinished line before this piece (only while it
  // holds no "bad"): a "bad" may straddle two pieces, or three.
  char tail_[2] = {};
  std::size_t tail_size_ = 0;
};
