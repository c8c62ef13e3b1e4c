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

#include <bit>
#include <cstdint>

#include "engine/pow10_table.hpp"
#include "engine/word_math.hpp"

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

struct Wide {  // 128 bits
  std::uint64_t high, low;
};

// The one use of a compiler's 128-bit integer: a * b in full, where the machine has it.
[[gnu::always_inline]] inline Wide mul_64x64(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
  __extension__ using Unsigned128 = unsigned __int128;
  const Unsigned128 p = static_cast<Unsigned128>(a) * b;
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#else
  using word_math::mul_add;
  const auto a0 = static_cast<std::uint32_t>(a), a1 = static_cast<std::uint32_t>(a >> 32);
  const auto b0 = static_cast<std::uint32_t>(b), b1 = static_cast<std::uint32_t>(b >> 32);
  std::uint32_t r0 = 0, r1 = 0, r2 = 0, r3, carry = 0;
  mul_add(r0, carry, a0, b0);
  mul_add(r1, carry, a1, b0);
  r2 = carry;
  carry = 0;
  mul_add(r1, carry, a0, b1);
  mul_add(r2, carry, a1, b1);
  r3 = carry;
  return {(static_cast<std::uint64_t>(r3) << 32) | r2, (static_cast<std::uint64_t>(r1) << 32) | r0};
#endif
}

// floor(q * log10 2), floor(log10(3/4 * 2^q)) and floor(n * log2 10) over the exponents of a
// double (checked exactly by scripts/pow10_table.py).
constexpr int floor_log10_pow2(int q) {
  return (q * 315653) >> 20;
}
constexpr int floor_log10_three_quarters_pow2(int q) {
  return (q * 315653 - 131008) >> 20;
}
constexpr int floor_log2_pow10(int n) {
  return (n * 1741647) >> 19;
}

// The upper 128 bits of the 192-bit u * t: the integer part of x and 64 bits of its fraction.
template <bool Narrow>
[[gnu::always_inline]] inline Wide scaled(std::uint64_t u, const Pow10Entry& t) {
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
    const Wide high = mul_64x64(u, t.high);
    const std::uint64_t middle = mul_64x64(u, t.low).high;
    const std::uint64_t fraction = high.low + middle;
    return {high.high + (fraction < middle), fraction};
  }
}

// (digit, rest) with digit * 2^64 + rest = 10 * fraction.
template <bool Narrow>
[[gnu::always_inline]] inline Wide times_ten(std::uint64_t fraction) {
  if constexpr (Narrow) {
    std::uint32_t low = 0, middle = 0, carry = 0;
    word_math::mul_add(low, carry, static_cast<std::uint32_t>(fraction), 10);
    middle = carry;
    carry = 0;
    word_math::mul_add(middle, carry, static_cast<std::uint32_t>(fraction >> 32), 10);
    return {carry, (static_cast<std::uint64_t>(middle) << 32) | low};
  } else {
    return mul_64x64(fraction, 10);
  }
}

// m * 10 + digit, below 2^64.
template <bool Narrow>
[[gnu::always_inline]] inline std::uint64_t ten_times_plus(std::uint64_t m, std::uint64_t digit) {
  if constexpr (Narrow) {
    return word_math::times_ten_plus(m, static_cast<std::uint32_t>(digit));
  } else {
    return m * 10 + digit;
  }
}

// The slack, in units of 2^-64 of x, that the computed half-width gains (closed interval) or
// loses (open): larger than the computed values' error, so that an endpoint that is exactly a
// multiple of 10^(K+1) falls on the side its closedness says. The rounding to the nearest multiple
// of 10^K gets the same treatment at exact halves, where the even neighbour wins.
inline constexpr std::uint64_t kEndpointSlack = 8;
inline constexpr std::uint64_t kHalfSlack = 16;

// The last digit of 10 * x rounded to the nearest integer, ties to even: x's first fractional
// digit, plus one when the rest is above a half by more than the slack, or within the slack of it
// and the digit is odd. It is at most 9: 10 would make the shorter candidate a multiple of 10.
template <bool Narrow>
[[gnu::always_inline]] inline std::uint32_t nearest_digit(std::uint64_t fraction) {
  const Wide ten = times_ten<Narrow>(fraction);
  const std::uint64_t threshold = ((std::uint64_t{1} << 63) + kHalfSlack) - ((ten.high & 1) << 5);
  return static_cast<std::uint32_t>(ten.high) + (ten.low > threshold);
}

// An exact power of two 2^52 * 2^q, q > -1075: the interval is [x - f/4, x + f/2] in units of
// 10^(K+1), K = floor(log10(3/4 * 2^q)), f = 2^q * 10^(-K-1) in [0.13, 1.34), closed.
template <bool Narrow>
[[gnu::noinline]] inline Split power_of_two(int q) {
  const int k = floor_log10_three_quarters_pow2(q);
  const Pow10Entry& t = kPow10[k - kPow10MinK];
  const int s = q + 4 + floor_log2_pow10(-k - 1);  // 1 to 4
  const Wide x = scaled<Narrow>(std::uint64_t{1} << (52 + s), t);
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
[[gnu::always_inline]] inline std::uint64_t shift_left(std::uint64_t x, int s) {
  if constexpr (Narrow) {
    const auto low = static_cast<std::uint32_t>(x), high = static_cast<std::uint32_t>(x >> 32);
    return (static_cast<std::uint64_t>((high << s) | ((low >> 1) >> (31 - s))) << 32) | (low << s);
  } else {
    return x << s;
  }
}

// c * 2^q, not a power of two (c in [2^52, 2^53), or a subnormal's c in [1, 2^52) with
// q = -1074), whose K = floor(log10 2^q) has the table entry t and the pre-shift s.
template <bool Narrow>
[[gnu::always_inline]] inline Split search_scaled(std::uint64_t c, int k, const Pow10Entry& t,
                                                  int s) {
  const Wide x = scaled<Narrow>(shift_left<Narrow>(c, s), t);
  // f/2 * 2^64 (low by less than 4.5), widened for a closed interval and narrowed for an open one.
  const std::uint64_t half =
      (shift_left<Narrow>(t.high, s) >> 1) + kEndpointSlack - ((c & 1) << 4);
  // The distance from x to the nearest integer is at most f/2 exactly when the sum of the fraction
  // and f/2, taken modulo 1, is at most f: that integer, x's integer part plus the carry.
  const std::uint64_t sum = x.low + half;
  if (sum <= 2 * half) return {x.high + (sum < half), kNoDigit, k + 1};
  return {x.high, nearest_digit<Narrow>(x.low), k + 1};
}

// The bits of a normal double (exponent bits neither 0 nor 0x7ff), sign ignored.
template <bool Narrow = word_math::kNarrow>
[[gnu::always_inline]] inline Split search_normal(std::uint64_t bits) {
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const auto exponent_bits = static_cast<int>((bits >> 52) & 0x7ff);
  if (fraction == 0) [[unlikely]] {
    return power_of_two<Narrow>(exponent_bits - 1075);
  }
  // floor_log10_pow2(q) - kPow10MinK and q + 4 + floor_log2_pow10(-K-1), with q = bits - 1075
  // and the constants folded in before the shifts (exact: they add multiples of the divisors).
  constexpr int kIndexBias = -kPow10MinK * (1 << 20) - 1075 * 315653;
  constexpr int kShiftBias = (-kPow10MinK - 1) * 1741647 + (4 - 1075) * (1 << 19);
  const int index = (exponent_bits * 315653 + kIndexBias) >> 20;
  const int s = exponent_bits + ((kShiftBias - index * 1741647) >> 19);
  return search_scaled<Narrow>(fraction | (std::uint64_t{1} << 52), index + kPow10MinK,
                               kPow10[index], s);
}

// Precondition: value is finite and not zero (its sign is ignored).
template <bool Narrow = word_math::kNarrow>
inline Split search(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  if ((bits << 1) >> 53 != 0) return search_normal<Narrow>(bits);
  constexpr int q = -1074, k = floor_log10_pow2(q);
  return search_scaled<Narrow>(bits & ((std::uint64_t{1} << 52) - 1), k, kPow10[k - kPow10MinK],
                               q + 4 + floor_log2_pow10(-k - 1));
}

// v / 10^8 for every 64-bit v: ceil(2^90 / 10^8) errs by less than 2^26 per unit of v.
template <bool Narrow = word_math::kNarrow>
[[gnu::always_inline]] inline std::uint64_t div_1e8(std::uint64_t v) {
  if constexpr (Narrow) {
    return mul_64x64(v, 12379400392853802749ULL).high >> 26;
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
    return {ten_times_plus<Narrow>(split.head, split.last), split.exponent - 1};
  }
  for (;;) {
    const std::uint64_t tenth = mul_64x64(d.significand, 0xCCCCCCCCCCCCCCCDULL).high >> 3;
    if (tenth * 10 != d.significand) return d;
    d.significand = tenth;
    ++d.exponent;
  }
}

}  // namespace korvane::json::shortest
