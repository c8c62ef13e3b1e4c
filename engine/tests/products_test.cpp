#include "linalg/products.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "linalg/sparse_rows.hpp"

namespace korvane::linalg {
namespace {

// Dense and sparse must agree on the sign of zero as well as on the value.
void expect_same(double sparse, double dense) {
  if (std::isnan(dense)) {
    EXPECT_TRUE(std::isnan(sparse));
  } else {
    EXPECT_EQ(std::signbit(sparse), std::signbit(dense));
    EXPECT_EQ(sparse, dense);
  }
}

TEST(SparseRows, SkippedZerosGiveTheDenseDoubleIncludingTheSignOfZero) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::vector<double>> rows = {
      {-0.0, -0.0, 0.0},    // only zero products: +0.0
      {1e-300, 0.0, -0.0},  // a product that underflows to -0.0
      {-1.0, 0.0, 1.0},     // an exact cancellation
      {-0.0, nan, 0.0},     // NaN stays a stored entry
      {inf, -0.0, 2.0},    {0.0, 0.0, 5e-324},
  };
  const std::vector<double> x = {-1e-300, -3.0, 1.0};
  // One row alone is stored with its columns; all six together in a block with two zero rows.
  std::vector<double> all;
  for (const auto& row : rows) all.insert(all.end(), row.begin(), row.end());
  const SparseRows block = SparseRows::from_dense(all, rows.size(), 3);
  ASSERT_TRUE(block.blocked());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const SparseRows m = SparseRows::from_dense(rows[i], 1, 3);
    EXPECT_FALSE(m.blocked());
    expect_same(m.row_dot(0, x), dot(rows[i], x));
    expect_same(block.row_dot(i, x), dot(rows[i], x));
  }
  EXPECT_FALSE(std::signbit(dot(std::vector<double>{-0.0}, std::vector<double>{1.0})));
  EXPECT_EQ(SparseRows::from_dense(rows[0], 1, 3).nonzeros(), 0u);
  EXPECT_EQ(SparseRows::from_dense(rows[3], 1, 3).nonzeros(), 1u);
  EXPECT_EQ(block.nonzeros(), 7u);
}

TEST(SparseRows, RowsOfAMatrix) {
  const std::vector<double> lower = {1.0, 0.0, 0.0, 2.0, 3.0, 0.0, 4.0, 5.0, 6.0, 7.0};  // extra
  const SparseRows m = SparseRows::from_dense(lower, 3, 3);
  EXPECT_EQ(m.rows(), 3u);
  EXPECT_EQ(m.cols(), 3u);
  EXPECT_EQ(m.nonzeros(), 6u);
  const std::vector<double> x = {1.0, 10.0, 100.0};
  EXPECT_EQ(m.row_dot(0, x), 1.0);
  EXPECT_EQ(m.row_dot(1, x), 32.0);
  EXPECT_EQ(m.row_dot(2, x), 654.0);
  EXPECT_EQ(SparseRows().rows(), 0u);
}

}  // namespace
}  // namespace korvane::linalg
