// The reader's byte helpers, shared by its stream, its fast scanners, its number reading and its
// messages: classes of bytes, runs of whitespace and of plain string bytes. Pointer-based; `last`
// and `end` are one past the text. Nothing here throws or allocates.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "shared/portable.hpp"
#include "shared/word_math.hpp"

namespace korvane::sync_detail {

// No position: what the scanners return for a value that they leave to the reader.
inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// JSON's four whitespace bytes.
constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

constexpr bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

constexpr bool is_hex(char c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value of a hex digit.
constexpr unsigned hex_value(char c) noexcept {
  if (c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// The first byte at or after `p` that is not whitespace.
KORVANE_ALWAYS_INLINE const char* skip_space(const char* p, const char* last) noexcept {
  while (p != last && static_cast<unsigned char>(*p) <= ' ' && is_space(*p)) ++p;
  return p;
}

// The same where a separator was just passed: the one space after it that common encoders write
// is taken without the general test.
KORVANE_ALWAYS_INLINE const char* skip_space_after_separator(const char* p,
                                                             const char* last) noexcept {
  if (p != last && *p == ' ') ++p;
  return skip_space(p, last);
}

// The last byte before `p` that is not whitespace, or nullptr when there is none after `first`.
inline const char* last_non_space(const char* first, const char* p) noexcept {
  while (p != first) {
    if (!is_space(*--p)) return p;
  }
  return nullptr;
}

// Printable ASCII other than the quote and the backslash: a string byte that needs neither
// decoding nor validation.
inline bool is_plain(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
}

// The first byte at or after `p` that is not plain, a machine word at a time.
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
