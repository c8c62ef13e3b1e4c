#include "features/feature_matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace korvane {
namespace {

std::vector<double> dense_row(const FeatureMatrix& m, std::size_t r, double query) {
  std::vector<double> out(m.width());
  m.write_row(r, query, out);
  return out;
}

TEST(FeatureMatrix, OneArmRowBeforeAndAfterItsPerQueryCells) {
  const std::vector<ArmIdentity> arms = {{1, "m", "p", "s"}};
  auto built = build_feature_matrix(arms, ArmIndexMap::from_arms(arms));
  ASSERT_TRUE(built);
  FeatureMatrix m = std::move(*built);
  EXPECT_EQ(dense_row(m, 0, 0.0), (std::vector<double>{1.0, 1.0, 0.0, 0.0}));
  m.set_latency(0, latency_feature(std::nullopt, std::nullopt));
  EXPECT_EQ(dense_row(m, 0, query_length_feature(100u)),
            (std::vector<double>{1.0, 1.0, 4.605170185988092, 1.0}));
}

TEST(FeatureMatrix, RowsFollowTheDocumentAndColumnsTheArmIds) {
  const std::vector<ArmIdentity> arms = {
      {20, "X", "p", "A"}, {5, "Y", "p", "B"}, {7, "Y", "p", "A"}};
  auto m = build_feature_matrix(arms, ArmIndexMap::from_arms(arms));
  ASSERT_TRUE(m);
  // M = 2 (Y, X), P = 2 (B, A): width 8; the last two blocks start at 4 and 6.
  EXPECT_EQ(m->width(), 8u);
  EXPECT_EQ(m->row(0).columns, (std::array<std::uint32_t, 4>{1, 3, 5, 7}));
  EXPECT_EQ(m->row(1).columns, (std::array<std::uint32_t, 4>{0, 2, 4, 6}));
  EXPECT_EQ(m->row(2).columns, (std::array<std::uint32_t, 4>{0, 3, 4, 6}));
}

TEST(FeatureMatrix, RefusesAMapBuiltFromOtherArms) {
  const std::vector<ArmIdentity> arms = {{1, "m", "p", "s"}};
  const std::vector<ArmIdentity> other_model = {{1, "n", "p", "s"}};
  const std::vector<ArmIdentity> other_prompt = {{1, "m", "p", "t"}};
  auto a = build_feature_matrix(arms, ArmIndexMap::from_arms(other_model));
  ASSERT_FALSE(a);
  EXPECT_EQ(a.error(), "arm model not in index map");
  auto b = build_feature_matrix(arms, ArmIndexMap::from_arms(other_prompt));
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error(), "arm prompt not in index map");
}

TEST(FeatureMatrix, QueryLengthFeature) {
  EXPECT_EQ(query_length_feature(2u), 0.6931471805599453);
  EXPECT_EQ(query_length_feature(100u), 4.605170185988092);
  EXPECT_EQ(query_length_feature(0u), 0.0);
  EXPECT_EQ(query_length_feature(1u), 0.0);
  EXPECT_EQ(query_length_feature(std::nullopt), 0.0);
  EXPECT_FALSE(std::signbit(query_length_feature(1u)));
  EXPECT_EQ(query_length_feature(4294967295u), std::log(4294967295.0));
}

TEST(FeatureMatrix, QueryFeatureCacheFollowsEveryChangeOfLength) {
  // Repeats, changes back and forth, unknown lengths between known ones, and both ends.
  const std::optional<std::uint32_t> lengths[] = {
      std::nullopt, 120u, 120u, 2u, 120u, std::nullopt, 120u, 0u, 1u, 0u, 4294967295u, 0u};
  QueryFeatureCache cache;
  for (const auto length : lengths) {
    const double expected = query_length_feature(length);
    const double got = cache(length);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(std::signbit(got), std::signbit(expected));
  }
}

TEST(FeatureMatrix, LatencyFeature) {
  EXPECT_EQ(latency_feature(150.0, 300.0), 0.5);
  EXPECT_EQ(latency_feature(150.0, std::nullopt), 1.0);
  EXPECT_EQ(latency_feature(150.0, 0.0), 1.0);
  EXPECT_EQ(latency_feature(150.0, -5.0), 1.0);
  EXPECT_EQ(latency_feature(std::nullopt, 300.0), 1.0);
  EXPECT_EQ(latency_feature(0.0, 300.0), 0.0);
  EXPECT_EQ(latency_feature(-30.0, 300.0), -0.1);
  EXPECT_EQ(latency_feature(1e300, 1e-300), std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace korvane
