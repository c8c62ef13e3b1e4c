// SparseRows: the non-zero entries of a dense row-major matrix, so that each row's product with a
// vector costs about its non-zero count. Two layouts, chosen when building: each row's prefix up
// to its last non-zero entry, densely (a lower-triangular factor, the usual shape), or the
// non-zero entries with their columns (any other shape). Both give the dense product's double.
// Building allocates (and may throw std::bad_alloc); row_dot neither allocates nor throws nor
// checks bounds.
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
  std::size_t nonzeros() const { return nonzeros_; }
  bool prefix_layout() const { return prefix_layout_; }
  // The stored entries, row after row, and where each row's end lies in them.
  std::span<const double> values() const { return values_; }
  std::span<const std::size_t> row_ends() const { return std::span(row_start_).subspan(1); }

  // Row `row` times x; equal to the dense product whenever x is finite: a zero entry, skipped or
  // multiplied, adds ±0.0 to a sum that starts at +0.0 and so changes nothing.
  // Preconditions: row < rows(), x.size() >= cols().
  double row_dot(std::size_t row, std::span<const double> x) const {
    const std::size_t begin = row_start_[row];
    const std::size_t count = row_start_[row + 1] - begin;
    if (prefix_layout_) return dot(std::span(values_).subspan(begin, count), x);
    return sparse_dot(std::span(columns_).subspan(begin, count),
                      std::span(values_).subspan(begin, count), x.data());
  }

 private:
  std::vector<std::size_t> row_start_;  // rows() + 1 offsets into values_ (and columns_)
  std::vector<std::uint32_t> columns_;  // empty in the prefix layout
  std::vector<double> values_;
  std::size_t cols_ = 0;
  std::size_t nonzeros_ = 0;
  bool prefix_layout_ = false;
};

}  // namespace korvane::linalg
