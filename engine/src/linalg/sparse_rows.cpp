#include "linalg/sparse_rows.hpp"

#include <algorithm>

namespace korvane::linalg {

SparseRows SparseRows::from_dense(std::span<const double> dense, std::size_t rows,
                                  std::size_t cols) {
  SparseRows m;
  m.rows_ = rows;
  m.cols_ = cols;
  std::vector<std::size_t> ends(rows);  // one past each row's last non-zero entry
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      if (row[j] == 0.0) continue;
      ++m.nonzeros_;
      ends[i] = j + 1;
    }
  }
  const std::size_t count = (rows + kBlockRows - 1) / kBlockRows;
  m.blocks_.resize(count);
  std::size_t cells = 0;
  for (std::size_t k = 0; k < count; ++k) {
    Block& block = m.blocks_[k];
    block.first_row = k == 0 ? 0 : rows - kBlockRows * (count - k);
    const std::size_t last = std::min(rows, block.first_row + kBlockRows);
    block.columns = *std::max_element(ends.begin() + block.first_row, ends.begin() + last);
    cells += kBlockRows * block.columns;
  }
  // Instructions measured per stored cell and per block against per entry and per row: a
  // multiplied zero costs less than a column index, up to about three of them per non-zero.
  m.blocked_ = 2 * cells + 40 * count <= 6 * m.nonzeros_ + 12 * rows;
  if (m.blocked_) {
    m.values_.reserve(cells);
    for (const Block& block : m.blocks_) {
      for (std::size_t j = 0; j < block.columns; ++j) {
        for (std::size_t r = block.first_row; r < block.first_row + kBlockRows; ++r) {
          m.values_.push_back(r < rows ? dense[r * cols + j] : 0.0);
        }
      }
    }
    return m;
  }
  m.blocks_.clear();
  m.row_start_.reserve(rows + 1);
  m.values_.reserve(m.nonzeros_);
  m.columns_.reserve(m.nonzeros_);
  m.row_start_.push_back(0);
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      if (row[j] == 0.0) continue;
      m.columns_.push_back(static_cast<std::uint32_t>(j));
      m.values_.push_back(row[j]);
    }
    m.row_start_.push_back(m.values_.size());
  }
  return m;
}

double SparseRows::blocked_row_dot(std::size_t row, std::span<const double> x) const {
  // The row's entries in the first block that holds it, a block's width apart.
  const double* a = values_.data();
  for (const Block& block : blocks_) {
    if (row < block.first_row + kBlockRows) {
      a += row - block.first_row;
      double acc = 0.0;
      for (std::size_t j = 0; j < block.columns; ++j) acc += a[j * kBlockRows] * x[j];
      return acc;
    }
    a += kBlockRows * block.columns;
  }
  return 0.0;  // unreachable for row < rows()
}

}  // namespace korvane::linalg
