// The shortest-digit search, both its 64-bit and its 32-bit products, against Dragonbox.
//
// Why the checks below cover every double. For c * 2^q (not a power of two) the common path
// decides from the 64 fractional bits F of x = c * a, a = A / 2^128 being 10^(-K-1) * 2^q rounded
// up by the table (by less than 8 units of 2^-128): F is at most one unit of 2^-64 low and 2^-8
// high, its half-width at most 4.5 low. Outside a window of kWindow = 16 units around a
// threshold its decisions are therefore the exact ones; inside, exact_search decides with 128
// fractional bits (errors below 2^-72) and finds exact ties by divisibility. What remains to show
// is that no value other than a tie lies within the errors of a threshold, and that the common
// path's windows hold only values that are checked here:
//  1. an interval's end within 22 units of an integer: n * a within 44 * 2^-64 of an integer,
//     n = 2c -+ 1 < 2^54 + 2;
//  2. 10x within 27 units of a half: c * (20a mod 1) within 54 * 2^-64 of an integer.
// In both, |n theta - m| < eps with 2 n eps < 1, so by Legendre's theorem m/n in lowest terms is a
// convergent p_i/q_i of theta: n = k q_i with k |q_i theta - p_i| < eps. The continued fraction of
// A / 2^128, in 128-bit words, gives every q_i up to 2^54 and its distance (exact to the table's
// rounding, far below these bounds); EveryNearMissOfEveryExponent checks every such n against the
// library and that every distance but an exact tie's exceeds the exact path's errors. A distance
// of (almost) zero is a family of exact ties, possible only where a has a small denominator (q in
// [2, 76] for the ends, [-77, -1] for the halves); EveryExactTie checks each such exponent's ties.
// The 2046 powers of two take their own path and are all checked. For 1 <= x < 2^52 `search`
// takes the writer's route, each exponent's A, shift and half-width from a table computed by the
// same formulas: the checks of those exponents are checks of that route.
#include "engine/json/shortest_decimal.hpp"

#include <dragonbox/dragonbox.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace shortest = korvane::json::shortest;

// Both searches against the library for the double with these significand and exponent bits.
bool same_as_library(std::uint64_t bits) {
  const double v = std::bit_cast<double>(bits);
  namespace policy = jkj::dragonbox::policy;
  const auto want = jkj::dragonbox::to_decimal(
      v, policy::sign::ignore, policy::decimal_to_binary_rounding::nearest_to_even_static_boundary);
  for (const shortest::Decimal got :
       {shortest::to_decimal<false>(v), shortest::to_decimal<true>(v)}) {
    if (got.significand != want.significand || got.exponent != want.exponent) {
      ADD_FAILURE() << std::hexfloat << v << ": " << got.significand << "e" << got.exponent
                    << " instead of " << want.significand << "e" << want.exponent;
      return false;
    }
  }
  return true;
}

constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;

// The double c * 2^q for a normal significand c in [2^52, 2^53), exponent bits e = q + 1075.
std::uint64_t normal(std::uint64_t c, int e) {
  return (static_cast<std::uint64_t>(e) << 52) | (c - kHidden);
}

TEST(ShortestDecimal, EveryPowerOfTwo) {
  for (int e = 1; e < 2047; ++e) ASSERT_TRUE(same_as_library(static_cast<std::uint64_t>(e) << 52));
}

// For every exponent: both ends of its significands, their neighbours and a random sample.
TEST(ShortestDecimal, EveryExponentAtItsEndsAndAtRandom) {
  std::mt19937_64 random(20261208);
  for (int e = 0; e < 2047; ++e) {
    const std::uint64_t base = static_cast<std::uint64_t>(e) << 52;
    for (const std::uint64_t c :
         {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, kHidden - 2, kHidden - 1}) {
      ASSERT_TRUE(same_as_library(base + c));
    }
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(same_as_library(base + (random() >> 12 | 1)));
  }
  for (std::uint64_t c = 1; c < 20000; ++c) ASSERT_TRUE(same_as_library(c));  // subnormals
}

// The significands where an interval's endpoint is a multiple of 10^(K+1), and those where 10x is
// a half-integer: each exponent's first ones and some at random.
TEST(ShortestDecimal, EveryExactTie) {
  std::mt19937_64 random(20261209);
  const auto check_progression = [&](std::uint64_t residue, std::uint64_t step, int e) {
    const std::uint64_t first = kHidden + (residue + step - kHidden % step) % step;
    const std::uint64_t count = (kHidden - 1 - (first - kHidden)) / step + 1;
    for (std::uint64_t m = 0; m < 4 && m < count; ++m) {
      ASSERT_TRUE(same_as_library(normal(first + m * step, e)));
    }
    for (int i = 0; i < 16; ++i) {
      ASSERT_TRUE(same_as_library(normal(first + (random() % count) * step, e)));
    }
  };
  int endpoint_ties = 0, half_ties = 0;
  for (int e = 1; e < 2047; ++e) {
    const int q = e - 1075;
    const int k = shortest::floor_log10_pow2(q);
    // 10^(K+1) divides (2c +- 1) * 2^(q-1): 2^(K+1) | 2^(q-1) and 5^(K+1) | 2c +- 1.
    if (k + 1 >= 1 && q - 1 >= k + 1 && k + 1 <= 23) {
      std::uint64_t five = 1;
      for (int i = 0; i <= k; ++i) five *= 5;
      check_progression((five + 1) / 2, five, e);  // 2c - 1 = 0 mod 5^(K+1): the lower end
      check_progression((five - 1) / 2, five, e);  // 2c + 1: the upper end
      ++endpoint_ties;
    }
    // 10x = c * 2^q * 10^-K a half-integer: c = odd * 2^(K-q-1), with 5^-K dividing nothing.
    if (k < 0 && k - q - 1 >= 0 && k - q - 1 <= 52) {
      const int low_zeros = k - q - 1;
      for (int i = 0; i < 32; ++i) {
        const std::uint64_t odd = ((random() >> 12) >> low_zeros) | 1;
        const std::uint64_t c = kHidden | (odd << low_zeros);
        if (c < (kHidden << 1)) {
          ASSERT_TRUE(same_as_library(normal(c, e)));
        }
      }
      ++half_ties;
    }
  }
  EXPECT_GT(endpoint_ties, 50);
  EXPECT_GT(half_ties, 50);
}

// 128-bit unsigned arithmetic in two words, enough for a continued fraction of A / 2^128.
struct U128 {
  std::uint64_t high, low;
  friend bool operator<(const U128& x, const U128& y) {
    return x.high != y.high ? x.high < y.high : x.low < y.low;
  }
  friend U128 operator-(const U128& x, const U128& y) {
    return {x.high - y.high - (x.low < y.low), x.low - y.low};
  }
  bool zero() const { return high == 0 && low == 0; }
  U128 shifted(int n) const {  // left by n in [0, 127]
    if (n == 0) return *this;
    if (n >= 64) return {low << (n - 64), 0};
    return {(high << n) | (low >> (64 - n)), low << n};
  }
  int width() const {
    return high != 0 ? 128 - std::countl_zero(high) : 64 - std::countl_zero(low);
  }
};

// (x / y, x % y) for y > 0 and a quotient below 2^63.
std::pair<std::uint64_t, U128> divide(U128 x, const U128& y) {
  std::uint64_t q = 0;
  for (int n = std::max(0, x.width() - y.width()); n >= 0; --n) {
    const U128 step = y.shifted(n);
    if (!(x < step)) {
      x = x - step;
      q |= std::uint64_t{1} << n;
    }
  }
  return {q, x};
}

// The continued fraction of theta = numerator / 2^128: every denominator q_i <= limit, with
// |q_i theta - p_i| * 2^128, which are the remainders of Euclid's algorithm on (2^128, numerator).
std::vector<std::pair<std::uint64_t, U128>> convergents(const U128& numerator,
                                                        std::uint64_t limit) {
  std::vector<std::pair<std::uint64_t, U128>> out{{1, numerator}};  // 0/1
  if (numerator.width() < 68) return out;  // theta below 2^-60: the next denominator is larger
  // 2^128 = (2^128 - 1) + 1 = a1 * numerator + r1.
  auto [a1, r1] = divide(U128{~0ULL, ~0ULL}, numerator);
  r1 = U128{r1.high + (r1.low == ~0ULL), r1.low + 1};
  if (!(r1 < numerator)) {
    r1 = r1 - numerator;
    ++a1;
  }
  std::uint64_t q_before = 1, q = a1;
  U128 r_before = numerator, r = r1;
  while (q <= limit) {
    out.push_back({q, r});
    if (r.zero() || r_before.width() - r.width() > 60) break;  // the next q is beyond the limit
    const auto [quotient, remainder] = divide(r_before, r);
    if (quotient > limit / q) break;
    const std::uint64_t next = quotient * q + q_before;
    q_before = q;
    q = next;
    r_before = r;
    r = remainder;
  }
  return out;
}

// Whether n * factor * 2^q / 10^(K+1) is an integer.
bool exact_multiple(std::uint64_t n, int factor, int q, int k) {
  int twos = std::countr_zero(n) + std::countr_zero(static_cast<unsigned>(factor)) + q - (k + 1);
  int fives = -(k + 1);
  for (std::uint64_t m = n * static_cast<std::uint64_t>(factor); m % 5 == 0; m /= 5) ++fives;
  return twos >= 0 && fives >= 0;
}

TEST(ShortestDecimal, EveryNearMissOfEveryExponent) {
  std::uint64_t checked = 0;
  int tie_families = 0;
  for (int e = 0; e < 2047; ++e) {
    const int q = e == 0 ? -1074 : e - 1075;
    const int k = shortest::floor_log10_pow2(q);
    const auto& t = shortest::kPow10Scales[k - shortest::kMinK];
    const int s = shortest::pre_shift(q, k);
    const U128 a = U128{t.high, t.low}.shifted(s);
    const std::uint64_t c_low = e == 0 ? 1 : kHidden + 1, c_end = e == 0 ? kHidden : kHidden << 1;
    const auto check = [&](std::uint64_t c) {
      if (c < c_low || c >= c_end) return;
      ASSERT_TRUE(same_as_library(e == 0 ? c : normal(c, e)));
      ++checked;
    };
    U128 twenty{0, 0};  // 20 A mod 2^128: 20a mod 1
    for (int i = 0; i < 20; ++i) twenty = twenty - (U128{0, 0} - a);
    // Decision 1 over n = 2c -+ 1, eps = 44 units; decision 2 over n = c, eps = 54 units.
    for (const auto& [theta, factor, eps] : {std::tuple{a, 1, 44u}, std::tuple{twenty, 20, 54u}}) {
      for (const auto& [qi, distance] : convergents(theta, (kHidden << 2) + 2)) {
        // The table rounds a up by less than 2^s <= 8 units of 2^-128.
        if (distance.high == 0 && distance.low < 8 * static_cast<std::uint64_t>(factor) * qi) {
          // Within the table's rounding of zero: qi * factor * a must be an exact integer, a
          // family of exact ties (every multiple's distance is 0, or a half for decision 1).
          ASSERT_TRUE(exact_multiple(qi, factor, q, k)) << e << " " << qi;
          ++tie_families;
          continue;
        }
        // Every other distance exceeds the exact path's errors (2^56 units of 2^-128 in x, ten
        // times that in 10x), so that it decides by the sign alone.
        ASSERT_TRUE(distance.high != 0 || distance.low >> (factor == 1 ? 58 : 61) != 0)
            << e << " " << qi;
        // m * distance < eps * 2^64 (in units of 2^-128), and one more for the rounding.
        const std::uint64_t scaled = (distance.high << 32) | (distance.low >> 32);  // d / 2^32
        const std::uint64_t m_max = distance.high >= eps ? 1
                                    : scaled == 0        ? std::uint64_t{1} << 32
                                                         : (std::uint64_t{eps} << 32) / scaled + 1;
        ASSERT_LT(m_max, 1u << 16) << e << " " << qi;
        for (std::uint64_t m = 1; m <= m_max; ++m) {
          const std::uint64_t n = m * qi;
          if (factor == 1) {
            if ((n & 1) == 0) continue;
            check((n + 1) / 2);
            check((n - 1) / 2);
          } else {
            check(n);
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 2000u);
  EXPECT_GT(tie_families, 50);
  std::printf("near misses checked: %llu, families of exact ties: %d\n",
              static_cast<unsigned long long>(checked), tie_families);
}

// Random bit patterns, as many as KORVANE_SHORTEST_SAMPLES says (the long runs: 10^9 natively,
// 10^8 under qemu), with the count and time printed.
TEST(ShortestDecimal, RandomDoublesLongRun) {
  const char* samples = std::getenv("KORVANE_SHORTEST_SAMPLES");
  const std::uint64_t n = samples != nullptr ? std::strtoull(samples, nullptr, 10) : 100000;
  std::mt19937_64 random(samples != nullptr ? std::random_device{}() : 20261210);
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t checked = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t bits = random() >> 1;
    if ((bits >> 52) == 0x7ff || bits == 0) continue;
    ASSERT_TRUE(same_as_library(bits));
    ++checked;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (samples != nullptr) {
    std::printf("checked %llu random doubles in %.1f s\n", static_cast<unsigned long long>(checked),
                took.count());
  }
}

}  // namespace
