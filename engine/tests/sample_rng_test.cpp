#include "engine/sample_rng.hpp"
#include "engine/posterior.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "shared/result.hpp"

namespace korvane {
namespace {

using Words = std::array<std::uint64_t, 4>;

TEST(SampleRng, SplitMixSeedingVectors) {
  EXPECT_EQ(SampleRng::from_seed(0).state(), (Words{0xe220a8397b1dcdaf, 0x6e789e6aa1b965f4,
                                                    0x06c45d188009454f, 0xf88bb8a8724c81ec}));
  EXPECT_EQ(SampleRng::from_seed(42).state(), (Words{0xbdd732262feb6e95, 0x28efe333b266f103,
                                                     0x47526757130f9f52, 0x581ce1ff0e4ae394}));
}

TEST(SampleRng, XoshiroOutputVectors) {
  SampleRng zero = SampleRng::from_seed(0);
  EXPECT_EQ(zero.next_u64(), 0x99ec5f36cb75f2b4u);
  EXPECT_EQ(zero.next_u64(), 0xbf6e1f784956452au);
  EXPECT_EQ(zero.next_u64(), 0x1a5f849d4933e6e0u);
  SampleRng forty_two = SampleRng::from_seed(42);
  EXPECT_EQ(forty_two.next_u64(), 0x15780b2e0c2ec716u);
  EXPECT_EQ(forty_two.next_u64(), 0x6104d9866d113a7eu);
  EXPECT_EQ(forty_two.next_u64(), 0xae17533239e499a1u);
}

TEST(SampleRng, NextF64IsTheTop53BitsScaled) {
  SampleRng rng = SampleRng::from_seed(0);
  EXPECT_EQ(rng.next_f64(), 0.6012629994179048);
  EXPECT_EQ(rng.next_f64(), 0.7477740925472398);
  EXPECT_EQ(rng.next_f64(), 0.10301998939503632);
  // A word of all ones stays below 1.0; s1 = 0 makes the next output 0.
  EXPECT_EQ(SampleRng::from_state({1, 0, 0, 0}).next_f64(), 0.0);
  SampleRng max_out = SampleRng::from_seed(0);
  for (int i = 0; i < 100000; ++i) ASSERT_LT(max_out.next_f64(), 1.0);
  EXPECT_EQ(static_cast<double>(~std::uint64_t{0} >> 11) * 0x1.0p-53, 1.0 - 0x1.0p-53);
}

TEST(SampleRng, DefaultSeedIsFnv1aXorTheIdentifier) {
  EXPECT_EQ(default_seed(1, "abc"), 0xe71fa2190541574au);
  EXPECT_EQ(default_seed(1, "abc"), 16654208175385433930u);
  EXPECT_EQ(default_seed(0, ""), 0xcbf29ce484222325u);
  EXPECT_EQ(default_seed(-1, ""), ~std::uint64_t{0xcbf29ce484222325});
  EXPECT_EQ(default_seed(0, "\xc3\xa9"), default_seed(0, "\xc3\xa9"));
  EXPECT_NE(default_seed(0, "ab"), default_seed(0, "ba"));
}

// z for the pair drawn from `rng` the plain way, for comparison.
std::pair<double, double> pair_from(SampleRng& rng) {
  double u1 = rng.next_f64();
  while (u1 <= 0.0) u1 = rng.next_f64();
  const double u2 = rng.next_f64();
  const double r = std::sqrt(std::log(u1) * -2.0);
  const double a = u2 * 6.283185307179586;
  return {r * std::cos(a), r * std::sin(a)};
}

TEST(StandardNormals, DrawsPairsAndAnOddLastOneByItsCosine) {
  std::vector<double> none;
  SampleRng rng = SampleRng::from_seed(0);
  standard_normals(rng, none);
  EXPECT_EQ(rng.state(), SampleRng::from_seed(0).state());

  std::vector<double> two(2);
  standard_normals(rng, two);
  EXPECT_NEAR(two[0], -0.0141068, 1e-7);
  EXPECT_NEAR(two[1], -1.0085865, 1e-7);

  for (const std::size_t d : {1u, 3u, 6u}) {
    SampleRng drawn = SampleRng::from_seed(42);
    SampleRng plain = SampleRng::from_seed(42);
    std::vector<double> z(d);
    standard_normals(drawn, z);
    for (std::size_t i = 0; i < d; i += 2) {
      const auto [c, s] = pair_from(plain);
      EXPECT_EQ(z[i], c);
      if (i + 1 < d) {
        EXPECT_EQ(z[i + 1], s);
      }
    }
    EXPECT_EQ(drawn.state(), plain.state()) << "2 * ceil(d / 2) draws for d = " << d;
  }
}

TEST(StandardNormals, RedrawsAZeroU1) {
  const Words words = {0x1234, 0, 0x5678, 0x9abc};  // s1 = 0: the first draw is exactly 0.0
  SampleRng drawn = SampleRng::from_state(words);
  SampleRng plain = SampleRng::from_state(words);
  std::vector<double> z(1);
  standard_normals(drawn, z);
  ASSERT_EQ(plain.next_f64(), 0.0);
  const double u1 = plain.next_f64();
  const double u2 = plain.next_f64();
  ASSERT_GT(u1, 0.0);
  EXPECT_EQ(z[0], std::sqrt(std::log(u1) * -2.0) * std::cos(u2 * 6.283185307179586));
  EXPECT_EQ(drawn.state(), plain.state());  // three draws
}

TEST(ExplorationScale, ExactCaseSensitiveModes) {
  EXPECT_EQ(exploration_scale("explore"), 1.5);
  EXPECT_EQ(exploration_scale("maximize"), 0.5);
  EXPECT_EQ(exploration_scale("base"), 1.0);
  EXPECT_EQ(exploration_scale(""), 1.0);
  EXPECT_EQ(exploration_scale("Explore"), 1.0);
  EXPECT_EQ(exploration_scale("EXPLORE"), 1.0);
  EXPECT_EQ(exploration_scale("explore "), 1.0);
}

TEST(SampleWeights, ThetaPlusScaledFactorTimesDeviates) {
  const std::vector<double> theta = {1.0, 2.0, 3.0, 99.0};  // extra entries are ignored
  const std::vector<double> factor = {2.0, 0.0, 0.0, 0.5, -1.0, 0.0, 0.0, 4.0, 0.25};
  const auto rows = linalg::SparseRows::from_dense(factor, 3, 3);
  EXPECT_EQ(rows.nonzeros(), 5u);
  const std::vector<double> z = {0.5, -2.0, 8.0};
  std::vector<double> w(3);
  sample_weights(theta, rows, z, 1.5, w);
  EXPECT_EQ(w, (std::vector<double>{1.0 + 1.5 * 1.0, 2.0 + 1.5 * 2.25, 3.0 + 1.5 * -6.0}));

  const std::vector<double> zeros(9, 0.0);
  sample_weights(theta, linalg::SparseRows::from_dense(zeros, 3, 3), z, 1.0, w);
  EXPECT_EQ(w, (std::vector<double>{1.0, 2.0, 3.0}));
}

// Rows with every mix of prefix lengths (ragged, empty, longer than the rows beside them, around a
// block's height) against the plain row-by-row sum over every column, compared bit for bit.
TEST(SampleWeights, BlocksGiveTheRowByRowSumsBitForBit) {
  std::mt19937_64 gen(20261208);
  const auto spread = [&gen] {  // magnitudes far apart, so that any other order rounds otherwise
    const double mantissa = std::uniform_real_distribution<double>(-1.0, 1.0)(gen);
    return std::ldexp(mantissa, std::uniform_int_distribution<int>(-30, 30)(gen));
  };
  int blocked = 0, other = 0, stairs = 0;
  for (const std::size_t d : {1, 2, 5, 7, 8, 9, 15, 16, 17, 23, 40}) {
    for (int shape = 0; shape < 12; ++shape) {
      std::vector<double> factor(d * d, 0.0);
      for (std::size_t i = 0; i < d; ++i) {
        // Lower-triangular with a jitter, anything at all, or empty.
        const long jitter = std::uniform_int_distribution<long>(-4, 4)(gen);
        std::size_t end = shape % 3 == 0
                              ? std::uniform_int_distribution<std::size_t>(0, d)(gen)
                              : std::size_t(std::clamp<long>(long(i) + 1 + jitter, 0, long(d)));
        if (shape % 4 == 1 && i % 3 == 2) end = 0;
        for (std::size_t j = 0; j < end; ++j) {
          const int kind = std::uniform_int_distribution<int>(0, 9)(gen);
          factor[i * d + j] = kind == 0 ? 0.0 : kind == 1 ? -0.0 : spread();
        }
      }
      std::vector<double> theta(d), z(d), w(d, 99.0);
      for (double& t : theta) t = spread();
      for (double& t : z) t = spread();
      const double scale = shape % 2 == 0 ? 1.5 : 0.5;
      const auto rows = linalg::SparseRows::from_dense(factor, d, d);
      (rows.blocked() ? blocked : other) += 1;
      for (const auto& block : rows.blocks()) stairs += block.stairs;
      sample_weights(theta, rows, z, scale, w);
      for (std::size_t i = 0; i < d; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < d; ++j) sum += factor[i * d + j] * z[j];
        EXPECT_EQ(std::bit_cast<std::uint64_t>(w[i]),
                  std::bit_cast<std::uint64_t>(theta[i] + scale * sum))
            << "d " << d << " shape " << shape << " row " << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(rows.row_dot(i, z)),
                  std::bit_cast<std::uint64_t>(sum));
      }
    }
  }
  EXPECT_GT(blocked, 60);
  EXPECT_GT(other, 5);
  EXPECT_GT(stairs, 40);
}

TEST(SampleWeights, ShortThetaIsAnInternalError) {
  const std::vector<double> theta = {1.0};
  const std::vector<double> factor(4, 1.0);
  const std::vector<double> z(2, 0.0);
  std::vector<double> w(2);
  try {
    sample_weights(theta, linalg::SparseRows::from_dense(factor, 2, 2), z, 1.0, w);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
  }
}

}  // namespace
}  // namespace korvane
