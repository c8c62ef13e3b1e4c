// Byte scanning shared by the reader's stream and its fast scanners: runs of plain string bytes and
// of whitespace. Nothing here throws or allocates; `last` and `end` are one past the text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "shared/portable.hpp"
#include "shared/text.hpp"
#include "shared/word_math.hpp"

namespace korvane::sync_detail {

// No position: what the scanners return for a value that they leave to the reader.
inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

KORVANE_ALWAYS_INLINE const char* skip_spaces(const char* p, const char* last) {
  // The one space after a separator that common encoders write, without the general test.
  if (p != last && *p == ' ') ++p;
  while (p != last && static_cast<unsigned char>(*p) <= ' ' && text::is_space(*p)) ++p;
  return p;
}

// The first offset at or after `i` that is not whitespace.
inline std::size_t space_end(std::string_view input, std::size_t i) {
  while (i < input.size() && static_cast<unsigned char>(input[i]) <= ' ' &&
         text::is_space(input[i])) {
    ++i;
  }
  return i;
}

// Printable ASCII other than the quote and the backslash: a string byte that needs neither
// decoding nor validation.
inline bool is_plain(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
}

// The first byte at or after `p` that is not plain, eight bytes at a time.
KORVANE_ALWAYS_INLINE const char* plain_end(const char* p, const char* end) {
  // Words of the machine's width: on 32 bits a 64-bit word costs two of everything and more.
  using Word = std::conditional_t<word_math::kNarrow, std::uint32_t, std::uint64_t>;
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101u);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080u);
  while (end - p >= static_cast<std::ptrdiff_t>(sizeof(Word))) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    const Word quote = w ^ (kOnes * '"');
    const Word backslash = w ^ (kOnes * '\\');
    // A high bit marks a quote or backslash (a zero byte after the xor), a control or a non-ASCII
    // byte; the lowest marked byte is exact (borrows only run upwards from a marked byte).
    const Word stop =
        (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (w - kOnes * 0x20) | w) &
        kHigh;
    if (stop != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(stop) >> 3);
      }
      break;
    }
    p += sizeof w;
  }
  while (p != end && is_plain(*p)) ++p;
  return p;
}

}  // namespace korvane::sync_detail
