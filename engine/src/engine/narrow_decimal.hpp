// Shortest round-trip decimal of a double in 32-bit arithmetic: the same digits and exponent as
// Dragonbox's to_decimal with the sign ignored and the static-boundary round-to-nearest-even,
// computed on its own table of powers of ten. Dragonbox itself divides 64-bit integers by 10 and
// 1000, which a 32-bit target does in a library call of a few hundred instructions; here every
// division by a constant is a multiplication, and the wide products are built from 32 x 32 -> 64
// multiplies. Used where the machine word is 32 bits; compiled and tested everywhere.
#pragma once

#include <dragonbox/dragonbox.h>

#include <bit>
#include <cstdint>

#include "shared/portable.hpp"
#include "shared/word_math.hpp"

namespace korvane::json::narrow {

using word_math::mul32;
using word_math::mul_add;

struct Decimal {
  std::uint64_t significand;  // without trailing zeros
  int exponent;               // value = significand * 10^exponent
};

// The upper 64 bits of x * y.
KORVANE_ALWAYS_INLINE std::uint64_t mul_high(std::uint64_t x, std::uint64_t y) {
  const auto x0 = static_cast<std::uint32_t>(x), x1 = static_cast<std::uint32_t>(x >> 32);
  const auto y0 = static_cast<std::uint32_t>(y), y1 = static_cast<std::uint32_t>(y >> 32);
  std::uint32_t r0 = 0, r1 = 0, r2, carry = 0;
  mul_add(r0, carry, x0, y0);
  mul_add(r1, carry, x1, y0);
  r2 = carry;
  carry = 0;
  mul_add(r1, carry, x0, y1);
  mul_add(r2, carry, x1, y1);
  return (static_cast<std::uint64_t>(carry) << 32) | r2;
}

// v / 10^8 for every 64-bit v: ceil(2^90 / 10^8) errs by less than 2^26 per unit of v.
KORVANE_ALWAYS_INLINE std::uint64_t div_1e8(std::uint64_t v) {
  return mul_high(v, 12379400392853802749ULL) >> 26;
}

// v / 10 for every 64-bit v.
KORVANE_ALWAYS_INLINE std::uint64_t div_10(std::uint64_t v) {
  return mul_high(v, 0xCCCCCCCCCCCCCCCDULL) >> 3;
}

// v / 1000 for every 64-bit v, as (v / 8) / 125: ceil(2^70 / 125) is exact below 2^61.
KORVANE_ALWAYS_INLINE std::uint64_t div_1000(std::uint64_t v) {
  return mul_high(v >> 3, 0x83126E978D4FDF3CULL) >> 6;
}

namespace detail {

namespace db = jkj::dragonbox::detail;
using Impl = db::impl<double, jkj::dragonbox::default_float_traits<double>>;
using Cache = db::cache_holder<jkj::dragonbox::ieee754_binary64>;
constexpr int kKappa = Impl::kappa;
static_assert(kKappa == 2);

struct Wide {  // 128 bits
  std::uint64_t high, low;
};

inline Wide cache_of(int k) {
  const auto& entry = Cache::cache[static_cast<unsigned>(k - Cache::min_k)];
  return {entry.high(), entry.low()};
}

// Bits 64..191 of the 192-bit u * cache, row by row in 32-bit words (each step's a * b + c + d
// fits in 64 bits, one multiply-accumulate on ARM).
KORVANE_ALWAYS_INLINE Wide upper_128(std::uint64_t u, const Wide& c) {
  const auto u0 = static_cast<std::uint32_t>(u), u1 = static_cast<std::uint32_t>(u >> 32);
  const auto c0 = static_cast<std::uint32_t>(c.low), c1 = static_cast<std::uint32_t>(c.low >> 32);
  const auto c2 = static_cast<std::uint32_t>(c.high), c3 = static_cast<std::uint32_t>(c.high >> 32);
  std::uint32_t w0 = 0, w1 = 0, w2 = 0, w3 = 0, w4, carry = 0;
  mul_add(w0, carry, u0, c0);
  mul_add(w1, carry, u0, c1);
  mul_add(w2, carry, u0, c2);
  mul_add(w3, carry, u0, c3);
  w4 = carry;
  carry = 0;
  mul_add(w1, carry, u1, c0);
  mul_add(w2, carry, u1, c1);
  mul_add(w3, carry, u1, c2);
  mul_add(w4, carry, u1, c3);
  return {(static_cast<std::uint64_t>(carry) << 32) | w4,
          (static_cast<std::uint64_t>(w3) << 32) | w2};
}

// The parity of the integer part of two_f * cache * 2^(beta - 128) and whether it is an integer
// (Dragonbox's compute_mul_parity); only needed near ties, so plainly written.
struct Parity {
  bool parity;
  bool is_integer;
};
inline Parity mul_parity(std::uint64_t two_f, const Wide& c, int beta) {
  const std::uint64_t high = two_f * c.high + mul_high(two_f, c.low);
  const std::uint64_t low = two_f * c.low;
  return {((high >> (64 - beta)) & 1) != 0, ((high << beta) | (low >> (64 - beta))) == 0};
}

// Trailing zeros off n < 10^17 (Dragonbox's remove_trailing_zeros), in 32-bit pieces.
inline int remove_trailing_zeros(std::uint64_t& n) {
  constexpr std::uint32_t kInv5 = 0xcccccccd, kInv25 = kInv5 * kInv5;
  const std::uint64_t high = div_1e8(n);
  std::uint32_t low = static_cast<std::uint32_t>(n) - static_cast<std::uint32_t>(high) * 100000000u;
  const bool whole = low == 0;
  std::uint32_t x = whole ? static_cast<std::uint32_t>(high) : low;  // high < 10^9 when whole
  int s = 0;
  for (;;) {
    const std::uint32_t q = std::rotr(x * kInv25, 2);
    if (q > 0xffffffffu / 100) break;
    x = q;
    s += 2;
  }
  const std::uint32_t q = std::rotr(x * kInv5, 1);
  if (q <= 0xffffffffu / 10) {
    x = q;
    s += 1;
  }
  if (whole) {
    n = x;
    return s + 8;
  }
  if (s != 0) {
    static constexpr std::uint32_t kScale[8] = {100000000, 10000000, 1000000, 100000,
                                                10000,     1000,     100,     10};
    n = mul32(static_cast<std::uint32_t>(high), kScale[s]) + x;
  }
  return s;
}

// A power of two (significand bits zero): the interval below is half as wide as above.
inline Decimal shorter_interval(int exponent) {
  const int minus_k = db::log::floor_log10_pow2_minus_log10_4_over_3(exponent);
  const int beta = exponent + db::log::floor_log2_pow10(-minus_k);
  const std::uint64_t cache = cache_of(-minus_k).high;
  std::uint64_t xi = (cache - (cache >> 54)) >> (11 - beta);
  const std::uint64_t zi = (cache + (cache >> 53)) >> (11 - beta);
  // Even significand bits: both endpoints belong to the interval.
  if (!(exponent >= 2 && exponent <= Impl::case_shorter_interval_left_endpoint_upper_threshold)) {
    ++xi;
  }
  Decimal r{div_10(zi), 0};
  if (r.significand * 10 >= xi) {
    r.exponent = minus_k + 1;
    r.exponent += remove_trailing_zeros(r.significand);
    return r;
  }
  r.significand = ((cache >> (10 - beta)) + 1) / 2;
  r.exponent = minus_k;
  if ((r.significand & 1) != 0 && exponent >= Impl::shorter_interval_tie_lower_threshold &&
      exponent <= Impl::shorter_interval_tie_upper_threshold) {
    --r.significand;
  } else if (r.significand < xi) {
    ++r.significand;
  }
  return r;
}

}  // namespace detail

// Precondition: value is finite and not zero (its sign is ignored).
inline Decimal to_decimal(double value) {
  using namespace detail;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const auto exponent_bits = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t two_fc = fraction << 1;
  int exponent;
  if (exponent_bits != 0) {
    exponent = exponent_bits - 1075;
    if (two_fc == 0) [[unlikely]] {
      return shorter_interval(exponent);
    }
    two_fc |= std::uint64_t{1} << 53;
  } else {
    exponent = -1074;
  }
  // Even significand bits: the interval is closed, else open.
  const bool closed = (fraction & 1) == 0;

  const int minus_k = db::log::floor_log10_pow2(exponent) - kKappa;
  const Wide cache = cache_of(-minus_k);
  const int beta = exponent + db::log::floor_log2_pow10(-minus_k);  // 6 to 9
  // Word by word: for these shifts the 64-bit ones would also handle 32 and more.
  const auto deltai = static_cast<std::uint32_t>(cache.high >> 32) >> (31 - beta);
  const auto u_low = static_cast<std::uint32_t>(two_fc) | 1;
  const auto u_high = (static_cast<std::uint32_t>(two_fc >> 32) << beta) | (u_low >> (32 - beta));
  const Wide z = upper_128((static_cast<std::uint64_t>(u_high) << 32) | (u_low << beta), cache);
  const bool z_is_integer = z.low == 0;

  Decimal r{div_1000(z.high), 0};
  std::uint32_t rem =
      static_cast<std::uint32_t>(z.high) - static_cast<std::uint32_t>(r.significand) * 1000u;
  if (rem < deltai) {
    if (rem == 0 && z_is_integer && !closed) [[unlikely]] {
      --r.significand;
      rem = 1000;
      goto small_divisor;
    }
  } else if (rem > deltai) {
    goto small_divisor;
  } else {
    // rem == deltai: compare the fractional parts.
    const std::uint64_t two_fl = two_fc - 1;
    const Parity x = mul_parity(two_fl, cache, beta);
    if (!closed || exponent < Impl::case_fc_pm_half_lower_threshold ||
        exponent > Impl::divisibility_check_by_5_threshold) {
      if (!x.parity) goto small_divisor;
    } else if (!x.parity && !x.is_integer) {
      goto small_divisor;
    }
  }
  r.exponent = minus_k + kKappa + 1;
  r.exponent += remove_trailing_zeros(r.significand);
  return r;

small_divisor:
  r.significand *= 10;
  r.exponent = minus_k + kKappa;
  {
    std::uint32_t dist = rem - (deltai / 2) + 50;
    const bool approx_y_parity = ((dist ^ 50) & 1) != 0;
    dist *= 656;  // dist / 100, and whether it divides, for dist <= 1000
    const bool divisible = (dist & 0xffff) < 656;
    dist >>= 16;
    r.significand += dist;
    if (divisible) {
      const Parity y = mul_parity(two_fc, cache, beta);
      if (y.parity != approx_y_parity) {
        --r.significand;
      } else if ((r.significand & 1) != 0 && y.is_integer) {
        --r.significand;
      }
    }
  }
  return r;
}

}  // namespace korvane::json::narrow
