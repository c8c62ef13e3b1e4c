// SparseRows: the non-zero entries of a dense row-major matrix, row by row in ascending column
// order, so that each row's product with a vector costs its non-zero count. Building allocates
// (and may throw std::bad_alloc); row_dot neither allocates nor throws nor checks bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "linalg/products.hpp"

namespace korvane::linalg {

class SparseRows {
 public:
  SparseRows() = default;

  // Keeps every entry that does not compare equal to 0.0 (so NaN stays and -0.0 goes).
  // Preconditions: dense.size() >= rows * cols, cols < 2^32.
  static SparseRows from_dense(std::span<const double> dense, std::size_t rows, std::size_t cols);

  std::size_t rows() const { return row_start_.empty() ? 0 : row_start_.size() - 1; }
  std::size_t cols() const { return cols_; }
  std::size_t nonzeros() const { return columns_.size(); }

  // Row `row` times x; equal to the dense product whenever x is finite.
  // Preconditions: row < rows(), x.size() >= cols().
  double row_dot(std::size_t row, std::span<const double> x) const {
    const std::size_t begin = row_start_[row];
    const std::size_t count = row_start_[row + 1] - begin;
    return sparse_dot(std::span(columns_).subspan(begin, count),
                      std::span(values_).subspan(begin, count), x.data());
  }

 private:
  std::vector<std::size_t> row_start_;  // rows() + 1 offsets into columns_ and values_
  std::vector<std::uint32_t> columns_;
  std::vector<double> values_;
  std::size_t cols_ = 0;
};

}  // namespace korvane::linalg
