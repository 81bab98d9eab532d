#include "split/line_search.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/platform.h"

// The block search, sixteen bytes at a time, needs SSE2, which every x86-64
// has (and a 32-bit x86 build has when asked for), or the NEON of every
// aarch64. Every other machine runs the word search, in portable C++, which
// PROPSLICE_PLAIN_SEARCH forces so that it is built and tested here too.
#if defined(__SSE2__) && !defined(PROPSLICE_PLAIN_SEARCH)
#define PROPSLICE_SSE2_SEARCH 1
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__) && !defined(PROPSLICE_PLAIN_SEARCH)
#define PROPSLICE_NEON_SEARCH 1
#include <arm_neon.h>
#endif

namespace {

#ifndef PROPSLICE_SSE2_SEARCH
bool bad_at(const char* text, std::size_t at) {
  return text[at] == 'b' && text[at + 1] == 'a' && text[at + 2] == 'd';
}

// find_bad with integer arithmetic on 64-bit words, eight bytes in each: the
// tests of the block search made on all bytes of a word at once, two words
// (sixteen bytes) a step. Nothing here depends on the order of the bytes in
// a word, so it runs the same on big- and little-endian machines.
std::size_t find_bad_in_words(const char* text, std::size_t at, std::size_t limit,
                              std::uint64_t& newlines) {
  constexpr std::uint64_t ones = ~std::uint64_t{0} / 0xff;  // 0x01 in every byte
  constexpr std::uint64_t high = ones * 0x80;
  auto load = [text](std::size_t offset) {
    std::uint64_t word;
    std::memcpy(&word, text + offset, sizeof word);
    return word;
  };
  // Some byte has its top bit set when "bad" starts in the eight bytes at
  // `offset`, none when it does not (which bytes are set is not used: a
  // borrow from a zero byte may set the next one too). The second and third
  // letters come from loads one and two bytes further on; a byte of the
  // three tests' union is zero only where all three match.
  auto bad_starts = [&](std::size_t offset) {
    std::uint64_t differ =
        (load(offset) ^ ones * 'b') | (load(offset + 1) ^ ones * 'a') | (load(offset + 2) ^ ones * 'd');
    return (differ - ones) & ~differ;
  };
  // 0x01 in each byte of `word` that is not '\n', 0x00 in the others. With
  // its top bit set, no byte borrows from the next.
  auto not_newline = [](std::uint64_t word) {
    std::uint64_t differ = word ^ ones * '\n';
    return ((((differ | high) - ones) | differ) & high) >> 7;
  };
  while (limit - at >= 16) {
    // The bytes other than '\n' are summed in byte counters, each gaining at
    // most two a step: folded at least every 127 steps.
    std::size_t start = at;
    std::size_t steps_end = at + std::min<std::size_t>((limit - at) / 16, 127) * 16;
    std::uint64_t counts = 0;
    for (; at < steps_end; at += 16) {
      if (((bad_starts(at) | bad_starts(at + 8)) & high) != 0) break;
      counts += not_newline(load(at)) + not_newline(load(at + 8));
    }
    // Four sums of two counters, then their sum in the top 16 bits.
    constexpr std::uint64_t even = 0x00ff00ff00ff00ff;
    std::uint64_t pairs = (counts & even) + ((counts >> 8) & even);
    newlines += (at - start) - ((pairs * 0x0001000100010001) >> 48);
    if (at < steps_end) {
      // A "bad" starts in the sixteen bytes at `at`.
      std::size_t found = at;
      while (!bad_at(text, found)) ++found;
      // A "bad" running past `limit` is not in the range, and no later one is.
      if (found + 3 > limit) found = limit;
      newlines += static_cast<std::uint64_t>(std::count(text + at, text + found, '\n'));
      return found;
    }
  }
  // The last few bytes, one by one.
  for (; at < limit; ++at) {
    if (limit - at >= 3 && bad_at(text, at)) return at;
    if (text[at] == '\n') ++newlines;
  }
  return limit;
}
#endif

// Finds the first "bad" lying wholly in text[at, limit) and adds the
// newlines before it to `newlines`; returns its offset, or `limit` when there
// is none (all newlines of the range added then). The `search_padding`
// bytes past `limit` must be readable; what they hold does not matter.
std::size_t find_bad(const char* text, std::size_t at, std::size_t limit, std::uint64_t& newlines) {
#if defined(PROPSLICE_SSE2_SEARCH)
  // Sixteen bytes at a time: one compare for '\n', three for "bad" (the
  // second and third letters from loads one and two bytes further on).
  // Newlines are summed in byte counters, folded at least every 255 blocks.
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i b = _mm_set1_epi8('b'), a = _mm_set1_epi8('a'), d = _mm_set1_epi8('d');
  auto load = [text](std::size_t offset) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + offset));
  };
  auto bad_mask = [&](std::size_t offset, __m128i first) {
    __m128i found = _mm_and_si128(_mm_cmpeq_epi8(first, b), _mm_cmpeq_epi8(load(offset + 1), a));
    found = _mm_and_si128(found, _mm_cmpeq_epi8(load(offset + 2), d));
    return static_cast<unsigned>(_mm_movemask_epi8(found));
  };
  while (at < limit) {
    std::size_t blocks_end = at + std::min<std::size_t>((limit - at) / 16, 255) * 16;
    __m128i counts = _mm_setzero_si128();
    unsigned hits = 0;
    for (; at < blocks_end; at += 16) {
      __m128i block = load(at);
      hits = bad_mask(at, block);
      if (hits != 0) break;
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(block, newline));
    }
    // Two sums of eight byte counters, each below 2^16: read as 16-bit
    // words, which 32-bit x86 can do as well as x86-64.
    __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    newlines += static_cast<std::uint64_t>(_mm_extract_epi16(sums, 0)) +
                static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
    if (hits == 0 && at < limit && limit - at < 16) {
      // The last, partial block: bytes past `limit` may be anything.
      __m128i block = load(at);
      unsigned keep = (1u << (limit - at)) - 1;
      hits = bad_mask(at, block) & keep;
      if (hits == 0) {
        auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline)));
        newlines += static_cast<unsigned>(__builtin_popcount(found & keep));
        return limit;
      }
    }
    if (hits != 0) {
      std::size_t found = at + static_cast<std::size_t>(__builtin_ctz(hits));
      // A "bad" running past `limit` is not in the range, and no later one is.
      if (found + 3 > limit) found = limit;
      newlines += static_cast<std::uint64_t>(std::count(text + at, text + found, '\n'));
      return found;
    }
  }
  return limit;
#elif defined(PROPSLICE_NEON_SEARCH)
  // The same tests as with SSE2, sixteen bytes at a time, over the blocks
  // without "bad"; the block with one, and the last few bytes, are left to
  // the word search.
  const uint8x16_t newline = vdupq_n_u8('\n');
  const uint8x16_t b = vdupq_n_u8('b'), a = vdupq_n_u8('a'), d = vdupq_n_u8('d');
  auto load = [text](std::size_t offset) {
    return vld1q_u8(reinterpret_cast<const std::uint8_t*>(text + offset));
  };
  while (limit - at >= 16) {
    std::size_t blocks_end = at + std::min<std::size_t>((limit - at) / 16, 255) * 16;
    uint8x16_t counts = vdupq_n_u8(0);
    for (; at < blocks_end; at += 16) {
      uint8x16_t block = load(at);
      uint8x16_t found = vandq_u8(vandq_u8(vceqq_u8(block, b), vceqq_u8(load(at + 1), a)),
                                  vceqq_u8(load(at + 2), d));
      // Whether any byte matched: the compare narrowed to four bits a byte.
      if (vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(found), 4)), 0) != 0)
        break;
      counts = vsubq_u8(counts, vceqq_u8(block, newline));
    }
    newlines += vaddlvq_u8(counts);
    if (at < blocks_end) break;
  }
  return find_bad_in_words(text, at, limit, newlines);
#else
  return find_bad_in_words(text, at, limit, newlines);
#endif
}

}  // namespace

void line_search::feed(const char* piece, std::size_t size) {
  offset_ += size_;
  piece_ = piece;
  size_ = size;
  at_ = 0;
  if (tail_size_ == 0 || size == 0) return;
  // A "bad" that the unfinished line's last bytes begin and this piece ends.
  char joined[4];
  std::memcpy(joined, tail_, tail_size_);
  std::size_t length = tail_size_;
  for (std::size_t i = 0; i < size && i < 2 && piece[i] != '\n'; ++i) joined[length++] = piece[i];
  if (std::string_view(joined, length).find("bad") != std::string_view::npos) {
    line_has_bad_ = true;
    tail_size_ = 0;
  }
}

void line_search::finish() {
  static const char newline[1 + search_padding] = {'\n'};
  bool unfinished = offset_ + size_ > line_begin_;
  feed(newline, unfinished ? 1 : 0);
}

bool line_search::next_property(line_range& line) {
  for (;;) {
    if (line_has_bad_) {
      auto* newline = static_cast<const char*>(std::memchr(piece_ + at_, '\n', size_ - at_));
      if (newline == nullptr) {  // it ends in a later piece
        at_ = size_;
        return false;
      }
      std::size_t end = static_cast<std::size_t>(newline - piece_) + 1;
      line = {lines_, static_cast<std::size_t>(line_begin_), static_cast<std::size_t>(offset_ + end)};
      ++lines_;
      line_begin_ = offset_ + end;
      at_ = end;
      line_has_bad_ = false;
      tail_size_ = 0;
      return true;
    }
    // `at_` is the piece's start or a line start; the line there holds no
    // "bad" in what was searched of it.
    std::size_t bad = find_bad(piece_, at_, size_, lines_);
    if (bad == size_) {
      keep_tail();
      at_ = size_;
      return false;
    }
    const char* before = platform::find_last(piece_ + at_, bad - at_, '\n');
    if (before != nullptr) line_begin_ = offset_ + static_cast<std::size_t>(before - piece_) + 1;
    line_has_bad_ = true;
    at_ = bad + 3;
  }
}

// The piece is searched from `at_` without a "bad": remembers where its
// last line starts and that line's last bytes.
void line_search::keep_tail() {
  std::size_t start = at_;
  const char* last = platform::find_last(piece_ + at_, size_ - at_, '\n');
  if (last != nullptr) {
    start = static_cast<std::size_t>(last - piece_) + 1;
    line_begin_ = offset_ + start;
    tail_size_ = 0;
  }
  for (std::size_t i = size_ - std::min<std::size_t>(size_ - start, 2); i < size_; ++i) {
    if (tail_size_ == 2) {
      tail_[0] = tail_[1];
      tail_[1] = piece_[i];
    } else {
      tail_[tail_size_++] = piece_[i];
    }
  }
}
