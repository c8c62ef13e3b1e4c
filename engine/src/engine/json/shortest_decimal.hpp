// Shortest round-trip decimal of a double: the significand and exponent that Dragonbox gives with
// round-to-nearest-even (shortest digits in the rounding interval, the nearest of them to the
// value, ties to even), from one multiplication by a 125-bit power of ten. No allocation, no
// exceptions, no division: the same code on 64-bit machines and, with products made of 32 x 32-bit
// multiplies, on 32-bit ones (word_math::kNarrow).
//
// The method. A finite double is c * 2^q; its rounding interval is c * 2^q +- 2^(q-1) (closed when
// c is even), or [c - 1/4, c + 1/2] * 2^q at an exact power of two. With K = floor(log10 2^q),
// the interval is at least 10^K and less than 10^(K+1) wide, so it holds at most one multiple of
// 10^(K+1); if there is none, the multiple of 10^K nearest to the value lies inside and is the
// answer. Scaled by 10^(-K-1), x = c * 2^q * 10^(-K-1) < 2^53: its integer part is the longer
// candidate, its first fractional digit the last digit of the shorter one. x is computed as a
// 64.64 fixed-point number from the upper 128 bits of (c << s) times the table entry.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>

#include "engine/json/pow10_table.hpp"
#include "shared/double_bits.hpp"
#include "shared/portable.hpp"
#include "shared/word_math.hpp"

namespace korvane::json::shortest {

struct Decimal {
  std::uint64_t significand;
  int exponent;  // value = significand * 10^exponent
};

// The search's answer as the writer takes it: value = head * 10^exponent when last is kNoDigit
// (the longer candidate, which may end in zeros), else (head * 10 + last) * 10^(exponent - 1)
// (the shorter one, which never does: a multiple of 10 there would be a longer candidate).
// head < 10^16; for a normal double it has 15 or 16 digits.
inline constexpr std::uint32_t kNoDigit = 10;
struct Split {
  std::uint64_t head;
  std::uint32_t last;
  int exponent;
};

using word_math::mul_64x64;
using word_math::Wide;

// The upper 128 bits of the 192-bit u * t: the integer part of x and 64 bits of its fraction.
template <bool Narrow>
KORVANE_ALWAYS_INLINE Wide scaled(std::uint64_t u, const Pow10Scale& t) {
  if constexpr (Narrow) {
    // Row by row in 32-bit words; each step's a * b + c + d fits in 64 bits (one UMAAL on ARM).
    using word_math::mul_add;
    const auto u0 = static_cast<std::uint32_t>(u), u1 = static_cast<std::uint32_t>(u >> 32);
    const auto t0 = static_cast<std::uint32_t>(t.low), t1 = static_cast<std::uint32_t>(t.low >> 32);
    const auto t2 = static_cast<std::uint32_t>(t.high);
    const auto t3 = static_cast<std::uint32_t>(t.high >> 32);
    std::uint32_t w0 = 0, w1 = 0, w2 = 0, w3 = 0, w4, carry = 0;
    mul_add(w0, carry, u0, t0);
    mul_add(w1, carry, u0, t1);
    mul_add(w2, carry, u0, t2);
    mul_add(w3, carry, u0, t3);
    w4 = carry;
    carry = 0;
    mul_add(w1, carry, u1, t0);
    mul_add(w2, carry, u1, t1);
    mul_add(w3, carry, u1, t2);
    mul_add(w4, carry, u1, t3);
    return {(static_cast<std::uint64_t>(carry) << 32) | w4,
            (static_cast<std::uint64_t>(w3) << 32) | w2};
  } else {
    const Wide high = mul_64x64<Narrow>(u, t.high);
    const std::uint64_t middle = mul_64x64<Narrow>(u, t.low).high;
    const std::uint64_t fraction = high.low + middle;
    return {high.high + (fraction < middle), fraction};
  }
}

// (digit, rest) with digit * 2^64 + rest = 10 * fraction.
template <bool Narrow>
KORVANE_ALWAYS_INLINE Wide times_ten(std::uint64_t fraction) {
  if constexpr (Narrow) {
    std::uint32_t low = 0, middle = 0, carry = 0;
    word_math::mul_add(low, carry, static_cast<std::uint32_t>(fraction), 10);
    middle = carry;
    carry = 0;
    word_math::mul_add(middle, carry, static_cast<std::uint32_t>(fraction >> 32), 10);
    return {carry, (static_cast<std::uint64_t>(middle) << 32) | low};
  } else {
    return mul_64x64<Narrow>(fraction, 10);
  }
}

// The slacks, in units of 2^-64 of x, for an exact power of two's path, whose 2046 doubles are
// all checked: larger than the computed values' errors, so that an exact end or half falls on the
// side that the closed interval or the even digit asks for.
inline constexpr std::uint64_t kEndpointSlack = 8;
inline constexpr std::uint64_t kHalfSlack = 16;

// The common path decides from 64 fractional bits whose errors stay below 10 units of 2^-64; a
// value within kWindow units of a decision's threshold goes to exact_search instead.
inline constexpr std::uint64_t kWindow = 16;

// An exact power of two 2^52 * 2^q, q > -1075: the interval is [x - f/4, x + f/2] in units of
// 10^(K+1), K = floor(log10(3/4 * 2^q)), f = 2^q * 10^(-K-1) in [0.13, 1.34), closed.
template <bool Narrow>
KORVANE_NOINLINE inline Split power_of_two(int q) {
  const int k = floor_log10_three_quarters_pow2(q);
  const Pow10Scale& t = kPow10Scales[k - kMinK];
  const int s = pre_shift(q, k);  // 1 to 4
  const Wide x = scaled<Narrow>(std::uint64_t{1} << (double_bits::kFractionBits + s), t);
  const std::uint64_t half = t.high << (s - 1);  // f/2 * 2^64, low by less than 8
  const std::uint64_t quarter = half >> 1;
  const std::uint64_t up = x.low + half + kEndpointSlack;
  if (up < x.low) return {x.high + 1, kNoDigit, k + 1};
  if (x.low <= quarter + kEndpointSlack) return {x.high, kNoDigit, k + 1};
  const Wide ten = times_ten<Narrow>(x.low);
  const std::uint64_t threshold = ((std::uint64_t{1} << 63) + kHalfSlack) - ((ten.high & 1) << 5);
  const bool round_up = ten.low > threshold;
  auto digit = static_cast<std::uint32_t>(ten.high) + round_up;
  // Rounded down below the lower end, 10 * f/4 under 10 * x: the next one up is inside.
  if (!round_up && half < 0x3333333333333333u && ten.low > half * 5) ++digit;
  return {x.high, digit, k + 1};
}

// x << s for s in [0, 7] and x < 2^56: in 32-bit words where a 64-bit shift by a variable amount
// would also handle 32 and more.
template <bool Narrow>
KORVANE_ALWAYS_INLINE std::uint64_t shift_left(std::uint64_t x, int s) {
  if constexpr (Narrow) {
    const auto low = static_cast<std::uint32_t>(x), high = static_cast<std::uint32_t>(x >> 32);
    return (static_cast<std::uint64_t>((high << s) | ((low >> 1) >> (31 - s))) << 32) | (low << s);
  } else {
    return x << s;
  }
}

// Whether 5^j divides n, by multiplying with 5's inverse modulo 2^64 (no division).
inline bool divisible_by_pow5(std::uint64_t n, int j) {
  for (; j > 0; --j) {
    n *= 0xCCCCCCCCCCCCCCCDULL;  // 5 times this is 1 modulo 2^64
    if (n > 0xFFFFFFFFFFFFFFFFULL / 5) return false;
  }
  return true;
}

// The search near a threshold: x to 128 fractional bits (off by less than 2^-72 of x: the table's
// rounding) and f/2 to 128 bits, and the exact ties found by divisibility. An end of the interval
// is a multiple of 10^(K+1) only when 10^(K+1) divides (2c -+ 1) * 2^(q-1): 2^(K+1) | 2^(q-1) and
// 5^(K+1) | 2c -+ 1; 10x is half an integer only when K < 0 and c has K - q - 1 trailing zero bits.
// Every other value is farther from each threshold than these errors (checked by the tests).
template <bool Narrow>
KORVANE_ALWAYS_INLINE Split exact_search(std::uint64_t c, int q) {
  const int k = floor_log10_pow2(q);
  const Pow10Scale& t = kPow10Scales[k - kMinK];
  const int s = pre_shift(q, k);
  const std::uint64_t u = c << s;
  const Wide upper = mul_64x64<Narrow>(u, t.high), lower = mul_64x64<Narrow>(u, t.low);
  const std::uint64_t fraction_high = upper.low + lower.high;
  const std::uint64_t integer = upper.high + (fraction_high < lower.high);
  const Wide fraction{fraction_high, lower.low};
  // f = T * 2^s / 2^128 (below 1), and f/2.
  const Wide f{(t.high << s) | (s == 0 ? 0 : t.low >> (64 - s)), t.low << s};
  const Wide half{f.high >> 1, (f.low >> 1) | (f.high << 63)};
  const bool closed = (c & 1) == 0;
  const bool ends_can_tie = k + 1 >= 1 && q - 1 >= k + 1;
  if (ends_can_tie && divisible_by_pow5(2 * c - 1, k + 1)) {
    if (closed) return {integer, kNoDigit, k + 1};  // the lower end, x - f/2, is this integer
  } else if (ends_can_tie && divisible_by_pow5(2 * c + 1, k + 1)) {
    if (closed) return {integer + 1, kNoDigit, k + 1};  // the upper end, x + f/2
  } else {
    // fraction <= f/2: the integer part is within f/2.
    if (fraction.high < half.high || (fraction.high == half.high && fraction.low <= half.low)) {
      return {integer, kNoDigit, k + 1};
    }
    // fraction + f/2 >= 1: so is the next integer.
    const std::uint64_t sum_low = fraction.low + half.low;
    const std::uint64_t sum_high = fraction.high + half.high + (sum_low < half.low);
    if (sum_high < fraction.high || (sum_high == fraction.high && sum_low < half.low)) {
      return {integer + 1, kNoDigit, k + 1};
    }
  }
  // 10 * fraction: its digit, and the rest against one half.
  const Wide ten_low = mul_64x64<Narrow>(fraction.low, 10),
             ten_high = mul_64x64<Narrow>(fraction.high, 10);
  const std::uint64_t rest_high = ten_high.low + ten_low.high;
  const auto digit = static_cast<std::uint32_t>(ten_high.high + (rest_high < ten_low.high));
  // c's lowest set bit is bit K - q - 1 (a shift, not a 64-bit bit count: no library call).
  const int zeros = k - q - 1;
  const bool half_tie =
      k < 0 && zeros >= 0 && zeros < 64 && c << (63 - zeros) == std::uint64_t{1} << 63;
  const bool round_up = half_tie ? (digit & 1) != 0 : rest_high >= (std::uint64_t{1} << 63);
  return {integer, digit + round_up, k + 1};
}

// The same from a double's bits (sign ignored): the fast path keeps them rather than q.
template <bool Narrow>
KORVANE_NOINLINE inline Split exact_search_bits(std::uint64_t bits) {
  const auto exponent_bits = static_cast<int>(double_bits::exponent_field(bits));
  const std::uint64_t fraction = double_bits::fraction(bits);
  if (exponent_bits == 0) return exact_search<Narrow>(fraction, double_bits::kSubnormalQ);
  return exact_search<Narrow>(fraction | double_bits::kHiddenBit,
                              exponent_bits - double_bits::kUnitBias);
}

// The interval's width f in units of x as the decisions read it: f/2 in 64 fractional bits (low
// by less than 4.5), or on 32-bit machines f itself in 32 (low by less than 1).
template <bool Narrow>
using Width = std::conditional_t<Narrow, std::uint32_t, std::uint64_t>;

template <bool Narrow>
constexpr Width<Narrow> interval_width(const Pow10Scale& t, int s) {
  if constexpr (Narrow) {
    const auto t3 = static_cast<std::uint32_t>(t.high >> 32);
    const auto t2 = static_cast<std::uint32_t>(t.high);
    return (t3 << s) | ((t2 >> 1) >> (31 - s));
  } else {
    return (t.high << s) >> 1;
  }
}

// The decisions from x (its integer part and 64 bits of its fraction) and the width, for a value
// that is not a power of two; K + 1 is the answer's exponent and bits the double's own, for the
// exact path.
template <bool Narrow>
KORVANE_ALWAYS_INLINE Split choose(const Wide& x, Width<Narrow> width, int k, std::uint64_t bits) {
  // The distance from x to the nearest integer is at most f/2 exactly when the sum of the fraction
  // and f/2, taken modulo 1, is at most f: that integer is x's integer part plus the carry. The sum
  // is compared less a window, so that the windows around both thresholds lie just above f.
  if constexpr (Narrow) {
    // In the upper words alone, with windows of a few 2^32 units: as rare, and 32-bit arithmetic.
    const std::uint32_t fraction = static_cast<std::uint32_t>(x.low >> 32);
    const std::uint32_t sum = fraction + (width >> 1);  // low by less than 2
    const std::uint32_t shifted = sum - 1;
    if (shifted < width - 3) return {x.high + (sum < fraction), kNoDigit, k + 1};
    if (shifted <= width + 1 || shifted >= 0xFFFFFFFDu) [[unlikely]]
      return exact_search_bits<Narrow>(bits);
    const Wide ten = times_ten<Narrow>(x.low);
    const auto rest = static_cast<std::uint32_t>(ten.low >> 32);
    if (rest - 0x7FFFFFFFu < 2) [[unlikely]]
      return exact_search_bits<Narrow>(bits);
    return {x.high, static_cast<std::uint32_t>(ten.high) + (rest >> 31), k + 1};
  } else {
    const std::uint64_t half = width;
    const std::uint64_t sum = x.low + half;
    const std::uint64_t shifted = sum - kWindow;
    if (shifted <= 2 * half - 2 * kWindow) return {x.high + (sum < half), kNoDigit, k + 1};
    if (shifted < 2 * half || shifted >= 0 - 2 * kWindow) [[unlikely]] {
      return exact_search_bits<Narrow>(bits);
    }
    // The shorter candidate: 10x rounded, its last digit x's first fractional one plus the
    // rounding.
    const Wide ten = times_ten<Narrow>(x.low);
    if (ten.low - ((std::uint64_t{1} << 63) - kWindow) < 2 * kWindow) [[unlikely]] {
      return exact_search_bits<Narrow>(bits);
    }
    return {x.high,
            static_cast<std::uint32_t>(ten.high) + static_cast<std::uint32_t>(ten.low >> 63),
            k + 1};
  }
}

// c * 2^q, not a power of two (c in [2^52, 2^53), or a subnormal's c in [1, 2^52) with
// q = -1074), whose K = floor(log10 2^q) has the table entry t and the pre-shift s.
template <bool Narrow>
KORVANE_ALWAYS_INLINE Split search_scaled(std::uint64_t c, std::uint64_t bits, int k,
                                          const Pow10Scale& t, int s) {
  const Wide x = scaled<Narrow>(shift_left<Narrow>(c, s), t);
  return choose<Narrow>(x, interval_width<Narrow>(t, s), k, bits);
}

// The bits of a normal double (exponent bits neither 0 nor 0x7ff), sign ignored.
template <bool Narrow = word_math::kNarrow>
KORVANE_ALWAYS_INLINE Split search_normal(std::uint64_t bits) {
  const std::uint64_t fraction = double_bits::fraction(bits);
  const auto exponent_bits = static_cast<int>(double_bits::exponent_field(bits));
  if (fraction == 0) [[unlikely]] {
    return power_of_two<Narrow>(exponent_bits - double_bits::kUnitBias);
  }
  // floor_log10_pow2(q) - kMinK and pre_shift(q, K), with q = bits - kUnitBias
  // and the constants folded in before the shifts (exact: they add multiples of the divisors).
  constexpr int kIndexBias = -kMinK * (1 << kLog10Of2Shift) - double_bits::kUnitBias * kLog10Of2;
  constexpr int kShiftBias =
      (-kMinK - 1) * kLog2Of10 + (4 - double_bits::kUnitBias) * (1 << kLog2Of10Shift);
  const int index = (exponent_bits * kLog10Of2 + kIndexBias) >> kLog10Of2Shift;
  const int s = exponent_bits + ((kShiftBias - index * kLog2Of10) >> kLog2Of10Shift);
  return search_scaled<Narrow>(fraction | double_bits::kHiddenBit, bits, index + kMinK,
                               kPow10Scales[index], s);
}

// 1 <= |v| < 2^52, the usual range of the engine's numbers: exponent bits 1023 + r for r < 52,
// each with its power, pre-shift and width looked up rather than computed.
struct UnitPower {
  Pow10Scale power;
  std::uint64_t half;  // interval_width<false>
  std::uint32_t word;  // interval_width<true>
  std::int32_t shift;
  std::int32_t k;
};

inline constexpr int kUnitPowers = 52;  // K < 0: the shorter candidate's digit is a fraction's
inline constexpr auto kUnitPower = [] {
  std::array<UnitPower, kUnitPowers> table{};
  for (int r = 0; r < kUnitPowers; ++r) {
    const int q = r - double_bits::kFractionBits, k = floor_log10_pow2(q), s = pre_shift(q, k);
    const Pow10Scale& t = kPow10Scales[k - kMinK];
    table[static_cast<std::size_t>(r)] = {t, interval_width<false>(t, s),
                                          interval_width<true>(t, s), s, k};
  }
  return table;
}();

// The bits of a double with exponent bits 1023 + r, r < kUnitPowers, and a non-zero fraction.
template <bool Narrow = word_math::kNarrow>
KORVANE_ALWAYS_INLINE Split search_unit(std::uint64_t bits, unsigned r) {
  const UnitPower& e = kUnitPower[r];
  const std::uint64_t c = double_bits::fraction(bits) | double_bits::kHiddenBit;
  const Wide x = scaled<Narrow>(shift_left<Narrow>(c, e.shift), e.power);
  if constexpr (Narrow) {
    return choose<Narrow>(x, e.word, e.k, bits);
  } else {
    return choose<Narrow>(x, e.half, e.k, bits);
  }
}

// Precondition: value is finite and not zero (its sign is ignored).
template <bool Narrow = word_math::kNarrow>
inline Split search(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const unsigned r = double_bits::exponent_field(bits) - double_bits::kExponentBias;
  if (r < kUnitPowers && double_bits::fraction(bits) != 0) {
    return search_unit<Narrow>(bits, r);  // the writer's route for these
  }
  if (double_bits::exponent_field(bits) != 0) return search_normal<Narrow>(bits);
  constexpr int q = double_bits::kSubnormalQ, k = floor_log10_pow2(q);
  return search_scaled<Narrow>(double_bits::fraction(bits), bits, k, kPow10Scales[k - kMinK],
                               pre_shift(q, k));
}

// v / 10^8 for every 64-bit v: ceil(2^90 / 10^8) errs by less than 2^26 per unit of v.
template <bool Narrow = word_math::kNarrow>
KORVANE_ALWAYS_INLINE std::uint64_t div_1e8(std::uint64_t v) {
  if constexpr (Narrow) {
    return mul_64x64<Narrow>(v, 12379400392853802749ULL).high >> 26;
  } else {
    return v / 100000000;
  }
}

// As search, in one number without trailing zeros: Dragonbox's form.
template <bool Narrow = word_math::kNarrow>
inline Decimal to_decimal(double value) {
  const Split split = search<Narrow>(value);
  Decimal d{split.head, split.exponent};
  if (split.last != kNoDigit) {
    return {word_math::times_ten_plus<Narrow>(split.head, split.last), split.exponent - 1};
  }
  for (;;) {
    const std::uint64_t tenth = mul_64x64<Narrow>(d.significand, 0xCCCCCCCCCCCCCCCDULL).high >> 3;
    if (tenth * 10 != d.significand) return d;
    d.significand = tenth;
    ++d.exponent;
  }
}

}  // namespace korvane::json::shortest
