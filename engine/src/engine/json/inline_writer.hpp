// The writer's number and member-name writing, inline: for the loops that write one member per
// arm, which must not call out per number (writer.cpp's own loops and the pull's scoring pass).
// The contract is writer.hpp's write_double: room for kDoubleRoom bytes, the byte before p kept,
// no allocation, no exception. Only writer.cpp defines write_rare, the path of the rare values.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/json/shortest_decimal.hpp"
#include "engine/json/writer.hpp"
#include "shared/double_bits.hpp"
#include "shared/portable.hpp"
#include "shared/text.hpp"
#include "shared/word_math.hpp"

namespace korvane::json {
namespace detail {

// A 32-bit machine divides 64-bit integers in a library call: there the search's products are
// made of 32-bit ones and every division by a constant is a multiplication.
using word_math::kNarrow;

#if !KORVANE_SSE2
// "00" to "99", a copy in each file that writes numbers: its own table is read without the GOT.
static constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// The four digits of v < 10^4 at p, two by two from the table of pairs.
KORVANE_ALWAYS_INLINE void four_digits(char* p, std::uint32_t v) {
  const std::uint32_t high = (v * 5243) >> 19;  // v / 100
  std::memcpy(p, &kPairs[2 * high], 2);
  std::memcpy(p + 2, &kPairs[2 * (v - high * 100)], 2);
}
#endif

// The sixteen digits of high and low (each below 10^8) as ASCII at p, most significant first.
KORVANE_ALWAYS_INLINE void sixteen_digits(char* p, std::uint32_t high, std::uint32_t low) {
#if KORVANE_SSE2
  // Every lane splits in two at once, in text order: 4 + 4 digits per 64-bit lane, 2 + 2 per
  // 32-bit lane, 1 + 1 per 16-bit lane, the quotients by multiplications with the high half kept.
  const __m128i x = _mm_set_epi64x(low, high);
  const __m128i by_10000 = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(0xd1b71759)), 45);
  const __m128i below_10000 = _mm_sub_epi32(x, _mm_mul_epu32(by_10000, _mm_set1_epi32(10000)));
  const __m128i fours = _mm_or_si128(by_10000, _mm_slli_epi64(below_10000, 32));
  // (v * 41944) >> 22 is v / 100 for v < 10^4; the remainder's -100 * quotient in one madd.
  const __m128i by_100 =
      _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi16(static_cast<short>(41944))), 6);
  const __m128i minus_hundreds = _mm_madd_epi16(by_100, _mm_set1_epi32(0xff9c));  // -100 * q
  const __m128i twos =
      _mm_add_epi32(by_100, _mm_slli_epi32(_mm_add_epi32(fours, minus_hundreds), 16));
  // v / 10 for v < 100 is the high half of v * 6554, the next digit that of 10 * the low half.
  const __m128i tenths = _mm_mullo_epi16(twos, _mm_set1_epi16(6554));
  const __m128i by_10 = _mm_mulhi_epu16(twos, _mm_set1_epi16(6554));
  const __m128i below_10 = _mm_mulhi_epu16(tenths, _mm_set1_epi16(10));
  const __m128i ones = _mm_or_si128(by_10, _mm_slli_epi16(below_10, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_add_epi8(ones, _mm_set1_epi8('0')));
#else
  const std::uint32_t a = high / 10000, b = low / 10000;
  four_digits(p, a);
  four_digits(p + 4, high - a * 10000);
  four_digits(p + 8, b);
  four_digits(p + 12, low - b * 10000);
#endif
}

// head / 10^8 and the remainder, for head < 10^16.
struct Halves {
  std::uint32_t upper, lower;
};

KORVANE_ALWAYS_INLINE Halves split_head(std::uint64_t head) {
  if constexpr (kNarrow) {
    // head < 2^54: floor(2^58 / 10^8) gives the quotient low by at most one (head / 2^58 < 1/16),
    // from two 32 × 32-bit products; the remainder, below 2 × 10^8, says which.
    constexpr std::uint32_t kM = static_cast<std::uint32_t>((std::uint64_t{1} << 58) / 100000000);
    const std::uint64_t low = std::uint64_t{static_cast<std::uint32_t>(head)} * kM;
    const std::uint64_t high =
        std::uint64_t{static_cast<std::uint32_t>(head >> 32)} * kM + (low >> 32);
    Halves h{static_cast<std::uint32_t>(high >> 26), 0};
    h.lower = static_cast<std::uint32_t>(head) - h.upper * 100000000;
    if (h.lower >= 100000000) {
      ++h.upper;
      h.lower -= 100000000;
    }
    return h;
  } else {
    const auto upper = static_cast<std::uint32_t>(shortest::div_1e8<kNarrow>(head));
    return {upper, static_cast<std::uint32_t>(head) - upper * 100000000};
  }
}

// The digits up to the last non-zero one among the sixteen at p, the first of which is not zero:
// the longer candidate keeps its trailing zeros, which the text shows for free.
KORVANE_ALWAYS_INLINE int significant_count(const char* p) {
  std::uint64_t last, first;
  std::memcpy(&last, p + 8, 8);
  std::memcpy(&first, p, 8);
  last ^= 0x3030303030303030ULL;  // zero bytes where the digits are '0'
  first ^= 0x3030303030303030ULL;
  // The text's last byte is the word's most significant one on a little-endian machine.
  const auto zero_digits = [](std::uint64_t w) {
    return (std::endian::native == std::endian::little ? std::countl_zero(w)
                                                       : std::countr_zero(w)) >>
           3;
  };
  if (last != 0) [[likely]]
    return 16 - zero_digits(last);
  return 8 - zero_digits(first);
}

// The search's digits for the text that starts at p: head's sixteen from p - leading_zero (the
// byte before p is kept), then the shorter candidate's last digit; returns how many digits from p
// are significant.
KORVANE_ALWAYS_INLINE int store_digits(char* p, const shortest::Split& split, Halves halves,
                                       int leading_zero) {
  char* const at = p - leading_zero;
  const char before = p[-1];
  sixteen_digits(at, halves.upper, halves.lower);
  p[-1] = before;
  if (split.last == shortest::kNoDigit) {
    at[16] = '0';  // a whole number's sixteenth digit when the first fifteen are all of head's
    return significant_count(at) - leading_zero;
  }
  at[16] = static_cast<char>('0' + split.last);
  return 17 - leading_zero;
}

// Zero, subnormals, infinities and not-a-number, away from the common path (writer.cpp).
KORVANE_NOINLINE char* write_rare(char* p, double value);

// The decimal point at `point`, the (at most 16) digits there moved one byte on.
KORVANE_ALWAYS_INLINE void put_point(char* point) {
  if constexpr (kNarrow) {
    // In four words held in registers: a 16-byte copy goes through the stack there.
    std::uint32_t fraction[4];
    for (int k = 0; k < 4; ++k) std::memcpy(&fraction[k], point + 4 * k, 4);
    for (int k = 0; k < 4; ++k) std::memcpy(point + 1 + 4 * k, &fraction[k], 4);
  } else {
    char fraction[16];
    std::memcpy(fraction, point, 16);
    std::memcpy(point + 1, fraction, 16);
  }
  *point = '.';
}

// The digits go straight to their place, sixteen at a time and the last one after them; the
// bytes past the text are scratch, and the point is put in by moving the digits after it one byte
// on.
KORVANE_ALWAYS_INLINE char* write_other(char* p, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  // One test for zero, the subnormals and the values with the largest exponent.
  if (double_bits::exponent_field(bits) - 1 >= double_bits::kExponentMask - 1) [[unlikely]]
    return write_rare(p, value);
  *p = '-';
  p += bits >> 63;
  const shortest::Split split = shortest::search_normal<kNarrow>(bits);
  const Halves halves = split_head(split.head);
  const int leading_zero = halves.upper < 10000000;  // a normal double's head has 15 or 16 digits
  const int leading = split.exponent + 15 - leading_zero;  // decimal exponent of the first digit
  if (leading < -5 || leading > 15) {
    const int count = store_digits(p + 1, split, halves, leading_zero);
    p[0] = p[1];
    if (count == 1) {
      ++p;
    } else {
      p[1] = '.';
      p += count + 1;
    }
    *p++ = 'e';
    *p++ = leading < 0 ? '-' : '+';
    return std::to_chars(p, p + 3, leading < 0 ? -leading : leading).ptr;
  }
  const int point = leading + 1;  // digits before the decimal point
  if (point <= 0) {
    std::memcpy(p, "0.0000", 6);  // "0." and up to four zeros
    p += 2 - point;
    return p + store_digits(p, split, halves, leading_zero);
  }
  const int count = store_digits(p, split, halves, leading_zero);
  if (count <= point) {  // a whole number of at most 16 digits: the padding zeros are its own
    p += point;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  put_point(p + point);
  return p + count + 1;
}

// 1 <= |value| < 2^52, not a power of two: one to sixteen digits before the point, the layout
// known from the exponent bits alone but for the head's leading zero.
KORVANE_ALWAYS_INLINE char* write_unit_range(char* p, std::uint64_t bits, unsigned r) {
  *p = '-';
  p += bits >> 63;
  const shortest::Split split = shortest::search_unit<kNarrow>(bits, r);
  const Halves halves = split_head(split.head);
  // Positions rather than counts: a head of 15 digits starts a byte early, on its leading zero.
  char* const at = p - (halves.upper < 10000000);
  char* const point = at + 16 + split.exponent;
  const char before = p[-1];
  char* end;
  // Each branch writes the digits itself, which keeps 32-bit ARM from spilling (performance.md).
  if (split.last != shortest::kNoDigit) {
    // The shorter candidate's digit is a fraction's (K < 0): the text always has one.
    sixteen_digits(at, halves.upper, halves.lower);
    p[-1] = before;
    at[16] = static_cast<char>('0' + split.last);
    end = at + 18;
  } else {
    sixteen_digits(at, halves.upper, halves.lower);
    p[-1] = before;
    at[16] = '0';  // a whole number's sixteenth digit when the first fifteen are all of head's
    end = at + significant_count(at);
    if (end <= point) {  // a whole number of at most 16 digits: the padding zeros are its own
      std::memcpy(point, ".0", 2);
      return point + 2;
    }
    ++end;
  }
  put_point(point);
  return end;
}

}  // namespace detail

// write_double, inlined.
KORVANE_ALWAYS_INLINE char* write_double_at(char* p, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const unsigned r = double_bits::exponent_field(bits) - double_bits::kExponentBias;
  if (r < shortest::kUnitPowers && double_bits::fraction(bits) != 0) [[likely]]
    return detail::write_unit_range(p, bits, r);
  return detail::write_other(p, value);
}

// A member's name, from a slot copied whole.
KORVANE_ALWAYS_INLINE char* write_key(char* p, const KeySlot& key) {
  if constexpr (word_math::kNarrow) {
    // Sixteen bytes hold every name of an identifier below 10^12; longer ones take the rest.
    std::memcpy(p, &key, 16);
    if (key.length > 16) std::memcpy(p + 16, key.text + 16, sizeof(KeySlot) - 16);
  } else {
    std::memcpy(p, &key, sizeof(KeySlot));
  }
  return p + key.length;
}

}  // namespace korvane::json
