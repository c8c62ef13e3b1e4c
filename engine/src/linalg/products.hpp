// Sums of products over spans of doubles, accumulated from 0.0 in ascending index order with each
// product rounded before it is added (the build never contracts them into fused multiply-adds).
// Nothing here allocates, throws or checks bounds: the preconditions are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane::linalg {

// The entries from a to a_end times x[0], x[1], ...; x has at least a_end - a entries.
inline double prefix_dot(const double* a, const double* a_end, const double* x) {
  double acc = 0.0;
  // Unrolled by hand (the build does not unroll): the same additions in the same order.
  for (; a_end - a >= 4; a += 4, x += 4) {
    acc += a[0] * x[0];
    acc += a[1] * x[1];
    acc += a[2] * x[2];
    acc += a[3] * x[3];
  }
  for (; a != a_end; ++a, ++x) acc += *a * *x;
  return acc;
}

// Precondition: b.size() >= a.size().
inline double dot(std::span<const double> a, std::span<const double> b) {
  return prefix_dot(a.data(), a.data() + a.size(), b.data());
}

// The dot product of a sparse vector (ascending `columns`, their `values`) with the dense `x`.
// It equals the dense dot whenever every skipped entry is zero and every skipped x[j] is finite:
// the sum starts at +0.0 and can never become -0.0, so adding a skipped ±0.0 product changes
// nothing. Preconditions: values.size() >= columns.size(), every column < x.size().
inline double sparse_dot(std::span<const std::uint32_t> columns, std::span<const double> values,
                         const double* x) {
  double acc = 0.0;
  for (std::size_t k = 0; k < columns.size(); ++k) acc += values[k] * x[columns[k]];
  return acc;
}

}  // namespace korvane::linalg
