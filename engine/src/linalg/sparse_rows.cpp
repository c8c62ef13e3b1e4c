#include "linalg/sparse_rows.hpp"

namespace korvane::linalg {

SparseRows SparseRows::from_dense(std::span<const double> dense, std::size_t rows,
                                  std::size_t cols) {
  SparseRows m;
  m.cols_ = cols;
  std::size_t count = 0;
  for (std::size_t k = 0; k < rows * cols; ++k) count += dense[k] != 0.0;
  m.row_start_.reserve(rows + 1);
  m.columns_.reserve(count);
  m.values_.reserve(count);
  m.row_start_.push_back(0);
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      if (row[j] == 0.0) continue;
      m.columns_.push_back(static_cast<std::uint32_t>(j));
      m.values_.push_back(row[j]);
    }
    m.row_start_.push_back(m.columns_.size());
  }
  return m;
}

}  // namespace korvane::linalg
