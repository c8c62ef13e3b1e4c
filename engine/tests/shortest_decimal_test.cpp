// The shortest-digit search, both its 64-bit and its 32-bit products, against Dragonbox.
//
// Where the search can differ from the exact answer: it decides with 64 fractional bits of
// x = c * 2^q * 10^(-K-1), which the table's rounding puts at most 2^-8 units (of 2^-64) above
// the exact value, and with a half-width f/2 at most 4.5 units low. A decision (is the nearest
// integer within f/2? is 10x's fraction above one half?) can only come out wrong where the exact
// quantity lies within a few units of its threshold. It lies exactly on it (a tie) only for
// q in [2, 76] (an endpoint (2c +- 1) * 2^(q-1) that 10^(K+1) divides: 5^(K+1) | 2c +- 1, K < 23)
// and for q in [-77, -1] (10x a half-integer: c = odd * 2^(K-q-1)); the slacks kEndpointSlack and
// kHalfSlack exceed the errors, so a tie falls on the side the interval's closedness or the even
// digit asks for, and every exponent's ties are checked here. Elsewhere the exact quantity is a
// fraction whose distance to the threshold is either zero or at least 1 / (its denominator), far
// above the error where the denominator is a power of 5 below 2^54; the exponents beyond that are
// covered by random significands here and in the long runs (KORVANE_SHORTEST_SAMPLES). Exact
// powers of two (their own path) are all 2046 checked.
#include "engine/shortest_decimal.hpp"

#include <dragonbox/dragonbox.h>
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

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
        const std::uint64_t odd = (random() >> (12 + low_zeros)) | 1;
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
