#include "linalg/sparse_rows.hpp"

namespace korvane::linalg {

SparseRows SparseRows::from_dense(std::span<const double> dense, std::size_t rows,
                                  std::size_t cols) {
  SparseRows m;
  m.cols_ = cols;
  std::size_t prefix_cells = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    std::size_t end = 0;  // one past the row's last non-zero entry
    for (std::size_t j = 0; j < cols; ++j) {
      if (row[j] == 0.0) continue;
      ++m.nonzeros_;
      end = j + 1;
    }
    prefix_cells += end;
  }
  // A multiplied zero costs less than a column index; past twice the non-zeros it no longer pays.
  m.prefix_layout_ = prefix_cells <= 2 * m.nonzeros_;
  m.row_start_.reserve(rows + 1);
  m.values_.reserve(m.prefix_layout_ ? prefix_cells : m.nonzeros_);
  if (!m.prefix_layout_) m.columns_.reserve(m.nonzeros_);
  m.row_start_.push_back(0);
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    if (m.prefix_layout_) {
      std::size_t end = cols;
      while (end > 0 && row[end - 1] == 0.0) --end;
      m.values_.insert(m.values_.end(), row, row + end);
    } else {
      for (std::size_t j = 0; j < cols; ++j) {
        if (row[j] == 0.0) continue;
        m.columns_.push_back(static_cast<std::uint32_t>(j));
        m.values_.push_back(row[j]);
      }
    }
    m.row_start_.push_back(m.values_.size());
  }
  return m;
}

}  // namespace korvane::linalg
