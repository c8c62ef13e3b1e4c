// SparseRows: the non-zero entries of a dense row-major matrix, so that its product with a vector
// costs about its non-zero count. Two layouts, chosen when building: rows in blocks of kBlockRows,
// each block over the columns up to its rows' last non-zero entry (a lower-triangular factor, the
// usual shape), or the non-zero entries with their columns (any other shape). Both give the dense
// product's double. Building allocates (and may throw std::bad_alloc); nothing else allocates,
// throws or checks bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "linalg/products.hpp"

namespace korvane::linalg {

// Storage on 16 bytes: block_affine's loads of two values are aligned ones.
template <class T>
struct Aligned16 {
  using value_type = T;
  Aligned16() = default;
  template <class U>
  Aligned16(const Aligned16<U>&) {}
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{16}));
  }
  void deallocate(T* p, std::size_t) { ::operator delete(p, std::align_val_t{16}); }
  friend bool operator==(const Aligned16&, const Aligned16&) { return true; }
};

class SparseRows {
 public:
  // Rows first_row .. first_row + kBlockRows - 1, stored over columns 0 .. columns - 1 and then,
  // with stairs, kStairColumns more, for block_affine. The first block starts at row 0 and the
  // others end at the last row, every kBlockRows, so that the last two may share rows; with fewer
  // than kBlockRows rows the one block's rows past the last are zeros.
  struct Block {
    std::size_t first_row;
    std::size_t columns;
    bool stairs;
  };

  SparseRows() = default;

  // Keeps every entry that does not compare equal to 0.0 (so NaN stays and -0.0 goes).
  // Preconditions: dense.size() >= rows * cols, cols < 2^32.
  static SparseRows from_dense(std::span<const double> dense, std::size_t rows, std::size_t cols);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t nonzeros() const { return nonzeros_; }
  bool blocked() const { return blocked_; }
  // The blocked layout's blocks, whose values() follow one another in this order.
  std::span<const Block> blocks() const { return blocks_; }
  std::span<const double> values() const { return values_; }

  // Row `row` times x; equal to the dense product whenever x is finite: a zero entry, skipped or
  // multiplied, adds ±0.0 to a sum that starts at +0.0 and so changes nothing.
  // Preconditions: row < rows(), x.size() >= cols().
  double row_dot(std::size_t row, std::span<const double> x) const {
    if (blocked_) return blocked_row_dot(row, x);
    const std::size_t begin = row_start_[row];
    const std::size_t count = row_start_[row + 1] - begin;
    return sparse_dot(std::span(columns_).subspan(begin, count),
                      std::span(values_).subspan(begin, count), x.data());
  }

 private:
  double blocked_row_dot(std::size_t row, std::span<const double> x) const;

  std::vector<Block> blocks_;           // the blocked layout
  std::vector<std::size_t> row_start_;  // the other: rows() + 1 offsets into values_ and columns_
  std::vector<std::uint32_t> columns_;
  std::vector<double, Aligned16<double>> values_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::size_t nonzeros_ = 0;
  bool blocked_ = false;
};

}  // namespace korvane::linalg
