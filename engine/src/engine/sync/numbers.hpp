// Number text of the sync reader: one reading of a JSON number (where it ends, how it is written,
// its correctly rounded value) and the inline reading of the usual spelling, a plain decimal.
// Nothing here throws or allocates; positions are byte offsets into the document.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "shared/portable.hpp"
#include "shared/powers_of_ten.hpp"
#include "shared/word_math.hpp"

namespace korvane::sync_detail {

// One number at input[start], read once: where it ends, how it is written and its value.
// A number whose exponent passes 2147483647 is out of range at that exponent digit, unless its
// digits are all zero or the exponent is negative (then it is a signed zero).
struct NumberRead {
  std::size_t end = 0;    // one past the number; if incomplete, the offset of the byte ending it
  std::size_t fault = 0;  // if complete but out of range: the bytes consumed when that was found
  double value = 0.0;     // correctly rounded; below the smallest subnormal a signed zero
  bool complete = false;  // every sign, point and exponent marker has its digits
  bool integer = false;   // written without fraction or exponent
  bool in_range = false;  // complete, and its magnitude within the double range
};
NumberRead read_number(std::string_view input, std::size_t start) noexcept;

// Where the machine word is 32 bits, 64-bit conversions, divisions and bit counts are library
// calls; there the same results come from 32-bit halves.
using word_math::kNarrow;

// m exactly as a double, for m <= 2^53: on 32 bits from its two halves, each converted exactly,
// whose sum is exact as well.
KORVANE_ALWAYS_INLINE double exact_double(std::uint64_t m) noexcept {
  if constexpr (kNarrow) {
    return static_cast<double>(static_cast<std::uint32_t>(m >> 32)) * 0x1.0p32 +
           static_cast<double>(static_cast<std::uint32_t>(m));
  } else {
    return static_cast<double>(m);
  }
}

// The index of the lowest set bit of stop != 0.
KORVANE_ALWAYS_INLINE int lowest_bit(std::uint64_t stop) noexcept {
  if constexpr (kNarrow) {
    const auto low = static_cast<std::uint32_t>(stop);
    return low != 0 ? std::countr_zero(low)
                    : 32 + std::countr_zero(static_cast<std::uint32_t>(stop >> 32));
  } else {
    return std::countr_zero(stop);
  }
}

// Powers of ten that doubles hold exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The digits at `p` added to `mantissa` (which wraps past 19 digits, where no caller uses it);
// returns the first byte after them.
KORVANE_ALWAYS_INLINE const char* take_digits(const char* p, const char* last,
                                              std::uint64_t& mantissa) noexcept {
  unsigned digit;
  while (p != last && (digit = static_cast<unsigned>(*p - '0')) < 10) {
    mantissa = word_math::times_ten_plus(mantissa, digit);
    ++p;
  }
  return p;
}

// The value of eight digit values, the first in the low byte; zero bytes below them count as
// leading zeros.
KORVANE_ALWAYS_INLINE std::uint64_t read_eight_digits(std::uint64_t v) noexcept {
  if constexpr (kNarrow) {
    // Four digits in each 32-bit half, then one multiplication joins them.
    const auto four = [](std::uint32_t x) {
      x = (x * 10 + (x >> 8)) & 0x00FF00FFu;
      return (x * 100 + (x >> 16)) & 0xFFFFu;
    };
    return static_cast<std::uint64_t>(four(static_cast<std::uint32_t>(v))) * 10000 +
           four(static_cast<std::uint32_t>(v >> 32));
  }
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFFu;
}

// take_digits for a fraction: its first three digits a byte at a time, as most fractions have no
// more, the rest eight at a time.
KORVANE_ALWAYS_INLINE const char* take_fraction(const char* p, const char* last,
                                                std::uint64_t& mantissa) noexcept {
  unsigned digit;
  for (int i = 0; i < 3; ++i) {
    if (p == last || (digit = static_cast<unsigned>(*p - '0')) >= 10) return p;
    mantissa = word_math::times_ten_plus(mantissa, digit);
    ++p;
  }
  if constexpr (std::endian::native == std::endian::little) {
    while (last - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      v -= 0x3030303030303030u;
      // Digits are now 0..9; the first other byte has its high bit set here or after adding 0x76.
      const std::uint64_t stop = (v | (v + 0x7676767676767676u)) & 0x8080808080808080u;
      const int count = stop == 0 ? 8 : lowest_bit(stop) >> 3;
      if (count == 0) return p;
      mantissa = mantissa * kPowersOfTen[count] + read_eight_digits(v << (64 - 8 * count));
      p += count;
      if (count < 8) return p;
    }
  }
  return take_digits(p, last, mantissa);
}

// The library's correctly rounded conversion of the decimal in [first, last), a signed zero below
// the smallest subnormal; false when its magnitude is beyond the double range.
bool read_rounded(const char* first, const char* last, double& value) noexcept;

// The spelling of nearly every number in sync documents, a decimal without exponent, at `cursor`:
// its value, and `cursor` moved past it, from one scan of its text. Digits that a double holds
// exactly take one division by an exact power of ten, which rounds correctly; longer ones the
// library conversion. False, with nothing moved, for any other spelling and for a magnitude
// beyond the double range either way (read_number reads those).
KORVANE_ALWAYS_INLINE bool read_decimal(const char*& cursor, const char* last, double& value,
                                        bool& integer) noexcept {
  const char* p = cursor;
  const bool negative = p != last && *p == '-';
  p += negative ? 1 : 0;
  const char* const digits = p;
  std::uint64_t mantissa = 0;
  p = take_digits(p, last, mantissa);
  const auto integer_digits = static_cast<std::size_t>(p - digits);
  if (integer_digits == 0 || (integer_digits > 1 && *digits == '0')) return false;
  std::size_t fraction_digits = 0;
  if (p != last && *p == '.') {
    const char* const fraction = ++p;
    p = take_fraction(p, last, mantissa);
    fraction_digits = static_cast<std::size_t>(p - fraction);
    if (fraction_digits == 0) return false;
  }
  if (p != last && (*p | 0x20) == 'e') return false;
  if (integer_digits + fraction_digits > 19 || mantissa > (std::uint64_t{1} << 53)) [[unlikely]] {
    if (!read_rounded(cursor, p, value)) return false;
  } else {
    const double v = exact_double(mantissa) / kExactPowers[fraction_digits];
    value = negative ? -v : v;
  }
  integer = fraction_digits == 0;
  cursor = p;
  return true;
}

// read_number, with a decimal read inline.
inline NumberRead read_decimal_number(std::string_view input, std::size_t start) noexcept {
  const char* p = input.data() + start;
  NumberRead r;
  if (!read_decimal(p, input.data() + input.size(), r.value, r.integer)) {
    return read_number(input, start);
  }
  r.end = static_cast<std::size_t>(p - input.data());
  r.complete = true;
  r.in_range = true;
  return r;
}

}  // namespace korvane::sync_detail
