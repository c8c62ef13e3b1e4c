#include "linalg/sparse_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace korvane::linalg {
namespace {

// x == 0.0 from its bits (either sign; NaN is not zero): a 32-bit machine then needs no
// floating-point compare and status transfer per entry.
bool is_zero(double x) {
  return (std::bit_cast<std::uint64_t>(x) << 1) == 0;
}

}  // namespace

SparseRows SparseRows::from_dense(std::span<const double> dense, std::size_t rows,
                                  std::size_t cols) {
  SparseRows m;
  m.rows_ = rows;
  m.cols_ = cols;
  std::vector<std::size_t> ends(rows);  // one past each row's last non-zero entry
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = dense.data() + i * cols;
    std::size_t nonzeros = 0, end = 0;
    for (std::size_t j = 0; j < cols; ++j) {
      if (is_zero(row[j])) continue;
      ++nonzeros;
      end = j + 1;
    }
    m.nonzeros_ += nonzeros;
    ends[i] = end;
  }
  const std::size_t count = (rows + kBlockRows - 1) / kBlockRows;
  m.blocks_.resize(count);
  std::size_t cells = 0;
  for (std::size_t k = 0; k < count; ++k) {
    Block& block = m.blocks_[k];
    block.first_row = k == 0 ? 0 : rows - kBlockRows * (count - k);
    std::size_t longest = 0, full = 0;  // full columns if row r may run r columns further
    for (std::size_t r = 0; r < kBlockRows && block.first_row + r < rows; ++r) {
      const std::size_t end = ends[block.first_row + r];
      longest = std::max(longest, end);
      full = std::max(full, end > r ? end - r : 0);
    }
    block.stairs =
        full + kStairColumns <= cols && kBlockRows * full + kStairValues < kBlockRows * longest;
    block.columns = block.stairs ? full : longest;
    cells += kBlockRows * block.columns + (block.stairs ? kStairValues : 0);
  }
  // Each layout's measured cost per stored cell and block, or per entry and row: the cheaper wins.
  m.blocked_ = 2 * cells + 40 * count <= 7 * m.nonzeros_ + 25 * rows;
  if (m.blocked_) {
    m.values_.resize(cells);
    double* out = m.values_.data();
    for (const Block& block : m.blocks_) {
      // Rows past the last (a block of fewer rows than kBlockRows) hold zeros.
      const std::size_t present = std::min(kBlockRows, rows - block.first_row);
      const double* const first = dense.data() + block.first_row * cols;
      for (std::size_t j = 0; j < block.columns; ++j, out += kBlockRows) {
        for (std::size_t r = 0; r < kBlockRows; ++r)
          out[r] = r < present ? first[r * cols + j] : 0.0;
      }
      for (std::size_t t = 0; block.stairs && t < kStairColumns; ++t) {
        for (std::size_t r = stair_first_row(t); r < kBlockRows; ++r) {
          *out++ = r < present ? first[r * cols + block.columns + t] : 0.0;
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
  // The row's entries in the first block that holds it, a block's width apart, then its stairs.
  const double* a = values_.data();
  for (const Block& block : blocks_) {
    if (row < block.first_row + kBlockRows) {
      const std::size_t r = row - block.first_row;
      double acc = 0.0;
      for (std::size_t j = 0; j < block.columns; ++j) acc += a[j * kBlockRows + r] * x[j];
      a += kBlockRows * block.columns;
      for (std::size_t t = 0; block.stairs && t < kStairColumns; ++t) {
        const std::size_t first = stair_first_row(t);
        if (r >= first) acc += a[r - first] * x[block.columns + t];
        a += kBlockRows - first;
      }
      return acc;
    }
    a += kBlockRows * block.columns + (block.stairs ? kStairValues : 0);
  }
  return 0.0;  // unreachable for row < rows()
}

}  // namespace korvane::linalg
