// Sums of products over spans of doubles, accumulated from 0.0 in ascending index order with each
// product rounded before it is added (the build never contracts them into fused multiply-adds).
// Nothing here allocates, throws or checks bounds: the preconditions are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "shared/portable.hpp"

namespace korvane::linalg {

// a[0..n) times x[0..n). Always inlined: the rows it sums may be only a few entries long.
KORVANE_ALWAYS_INLINE double prefix_dot(const double* a, std::size_t n, const double* x) {
  double acc = 0.0;
  std::size_t j = 0;
  // Unrolled by hand (the build does not unroll): the same additions in the same order.
  for (; j + 8 <= n; j += 8) {
    acc += a[j] * x[j];
    acc += a[j + 1] * x[j + 1];
    acc += a[j + 2] * x[j + 2];
    acc += a[j + 3] * x[j + 3];
    acc += a[j + 4] * x[j + 4];
    acc += a[j + 5] * x[j + 5];
    acc += a[j + 6] * x[j + 6];
    acc += a[j + 7] * x[j + 7];
  }
  switch (n - j) {  // the last up to seven, still in ascending order
    case 7:
      acc += a[n - 7] * x[n - 7];
      [[fallthrough]];
    case 6:
      acc += a[n - 6] * x[n - 6];
      [[fallthrough]];
    case 5:
      acc += a[n - 5] * x[n - 5];
      [[fallthrough]];
    case 4:
      acc += a[n - 4] * x[n - 4];
      [[fallthrough]];
    case 3:
      acc += a[n - 3] * x[n - 3];
      [[fallthrough]];
    case 2:
      acc += a[n - 2] * x[n - 2];
      [[fallthrough]];
    case 1:
      acc += a[n - 1] * x[n - 1];
      break;
    default:
      break;
  }
  return acc;
}

// Precondition: b.size() >= a.size().
inline double dot(std::span<const double> a, std::span<const double> b) {
  return prefix_dot(a.data(), a.size(), b.data());
}

// Rows that block_affine takes at once: four SSE2 accumulators of two rows each.
inline constexpr std::size_t kBlockRows = 8;

// A block may end in a staircase, where row r runs r columns past the block's full ones (the
// diagonal of a lower-triangular factor): there column t (from 0) stores the rows from
// stair_first_row(t) on, those before it being zeros already.
inline constexpr std::size_t kStairColumns = kBlockRows - 1;
inline constexpr std::size_t kStairValues = 32;  // 8 + 6 + 6 + 4 + 4 + 2 + 2
constexpr std::size_t stair_first_row(std::size_t t) {
  return (t + 1) / 2 * 2;
}

// out[r] = offset[r] + scale * (row r times x) for the kBlockRows rows of a block whose first
// `columns` entries are stored column after column, the rows' entries of one column side by side,
// followed by the staircase's kStairValues when `stairs`. Each row's sum is prefix_dot's: from
// +0.0, ascending columns, one rounded product at a time (an SSE2 lane is an IEEE multiply and
// add, the same as the scalar instructions). Adds out[r] * 0.0 to nan_if_not_finite for every r:
// ±0.0 for a finite weight, NaN otherwise. Returns the end of the block's values.
// Preconditions: a holds those values and is 16-byte aligned, x.size() >= columns (+ kStairColumns
// with stairs).
KORVANE_ALWAYS_INLINE const double* block_affine(const double* a, std::size_t columns, bool stairs,
                                                 const double* x, const double* offset,
                                                 double scale, double* out,
                                                 double& nan_if_not_finite) {
#if KORVANE_SSE2
  // One broadcast of x[j] serves all eight rows.
  __m128d s0 = _mm_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  const auto add_column = [&](const double* column, __m128d b) {
    s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_load_pd(column), b));
    s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_load_pd(column + 2), b));
    s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_load_pd(column + 4), b));
    s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_load_pd(column + 6), b));
  };
  const auto low = [](__m128i pair) { return _mm_castsi128_pd(_mm_shuffle_epi32(pair, 0x44)); };
  const auto high = [](__m128i pair) { return _mm_castsi128_pd(_mm_shuffle_epi32(pair, 0xee)); };
  const auto load_pair = [](const double* p) { return _mm_castpd_si128(_mm_loadu_pd(p)); };
  const double* const end = a + kBlockRows * columns;
  if (columns % 2 != 0) {
    add_column(a, _mm_set1_pd(*x++));
    a += kBlockRows;
  }
  if (columns % 4 >= 2) {
    const __m128i pair = load_pair(x);
    add_column(a, low(pair));
    add_column(a + kBlockRows, high(pair));
    a += 2 * kBlockRows;
    x += 2;
  }
  // Four columns a turn: the loop's own instructions are a quarter per column; one load of x
  // serves two columns.
  for (; a != end; a += 4 * kBlockRows, x += 4) {
    const __m128i pair = load_pair(x);
    add_column(a, low(pair));
    add_column(a + kBlockRows, high(pair));
    const __m128i next = load_pair(x + 2);
    add_column(a + 2 * kBlockRows, low(next));
    add_column(a + 3 * kBlockRows, high(next));
  }
  if (stairs) {
    // The rows still running, column by column: rows 0.., 2.., 2.., 4.., 4.., 6.., 6..
    add_column(a, _mm_set1_pd(x[0]));
    const auto from_row_2 = [&](const double* column, __m128d b) {
      s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_load_pd(column), b));
      s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_load_pd(column + 2), b));
      s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_load_pd(column + 4), b));
    };
    const auto from_row_4 = [&](const double* column, __m128d b) {
      s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_load_pd(column), b));
      s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_load_pd(column + 2), b));
    };
    const auto from_row_6 = [&](const double* column, __m128d b) {
      s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_load_pd(column), b));
    };
    __m128i pair = load_pair(x + 1);
    from_row_2(a + 8, low(pair));
    from_row_2(a + 14, high(pair));
    pair = load_pair(x + 3);
    from_row_4(a + 20, low(pair));
    from_row_4(a + 24, high(pair));
    pair = load_pair(x + 5);
    from_row_6(a + 28, low(pair));
    from_row_6(a + 30, high(pair));
    a += kStairValues;
  }
  const __m128d sv = _mm_set1_pd(scale);
  s0 = _mm_add_pd(_mm_loadu_pd(offset), _mm_mul_pd(sv, s0));
  s1 = _mm_add_pd(_mm_loadu_pd(offset + 2), _mm_mul_pd(sv, s1));
  s2 = _mm_add_pd(_mm_loadu_pd(offset + 4), _mm_mul_pd(sv, s2));
  s3 = _mm_add_pd(_mm_loadu_pd(offset + 6), _mm_mul_pd(sv, s3));
  _mm_storeu_pd(out, s0);
  _mm_storeu_pd(out + 2, s1);
  _mm_storeu_pd(out + 4, s2);
  _mm_storeu_pd(out + 6, s3);
  const __m128d zero = _mm_setzero_pd();
  const __m128d nan_if = _mm_add_pd(_mm_add_pd(_mm_mul_pd(s0, zero), _mm_mul_pd(s1, zero)),
                                    _mm_add_pd(_mm_mul_pd(s2, zero), _mm_mul_pd(s3, zero)));
  nan_if_not_finite += _mm_cvtsd_f64(_mm_add_sd(nan_if, _mm_unpackhi_pd(nan_if, nan_if)));
  return a;
#else
  // Eight named sums, so that they live in registers (16 of them even on VFPv3-D16) rather than
  // in an array in memory; one load of x[j] serves all eight rows.
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
  const double* const end = a + kBlockRows * columns;
#if KORVANE_ARM_VFP
  // GCC loads a column's eight values one VLDR at a time and shuffles the sums between registers
  // around them; two VLDMs serve a column here. VMLA is the unfused multiply-add GCC emits itself.
  if (a != end) {
    asm("1:\n\t"
        "vldmia %[x]!, {d3}\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s0], d4, d3\n\t"
        "vmla.f64 %P[s1], d5, d3\n\t"
        "vmla.f64 %P[s2], d6, d3\n\t"
        "vmla.f64 %P[s3], d7, d3\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s4], d4, d3\n\t"
        "vmla.f64 %P[s5], d5, d3\n\t"
        "vmla.f64 %P[s6], d6, d3\n\t"
        "vmla.f64 %P[s7], d7, d3\n\t"
        "cmp %[a], %[end]\n\t"
        "bne 1b"
        : [s0] "+w"(s0), [s1] "+w"(s1), [s2] "+w"(s2), [s3] "+w"(s3), [s4] "+w"(s4), [s5] "+w"(s5),
          [s6] "+w"(s6), [s7] "+w"(s7), [a] "+r"(a), [x] "+r"(x)
        : [end] "r"(end), "m"(*reinterpret_cast<const double(*)[]>(a)),
          "m"(*reinterpret_cast<const double(*)[]>(x))
        : "d3", "d4", "d5", "d6", "d7", "cc");
  }
  if (stairs) {
    // The rows still running, column by column: rows 0.., 2.., 2.., 4.., 4.., 6.., 6..
    asm("vldr d3, [%[x]]\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s0], d4, d3\n\t"
        "vmla.f64 %P[s1], d5, d3\n\t"
        "vmla.f64 %P[s2], d6, d3\n\t"
        "vmla.f64 %P[s3], d7, d3\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s4], d4, d3\n\t"
        "vmla.f64 %P[s5], d5, d3\n\t"
        "vmla.f64 %P[s6], d6, d3\n\t"
        "vmla.f64 %P[s7], d7, d3\n\t"
        "vldr d3, [%[x], #8]\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s2], d4, d3\n\t"
        "vmla.f64 %P[s3], d5, d3\n\t"
        "vmla.f64 %P[s4], d6, d3\n\t"
        "vmla.f64 %P[s5], d7, d3\n\t"
        "vldmia %[a]!, {d4-d5}\n\t"
        "vmla.f64 %P[s6], d4, d3\n\t"
        "vmla.f64 %P[s7], d5, d3\n\t"
        "vldr d3, [%[x], #16]\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s2], d4, d3\n\t"
        "vmla.f64 %P[s3], d5, d3\n\t"
        "vmla.f64 %P[s4], d6, d3\n\t"
        "vmla.f64 %P[s5], d7, d3\n\t"
        "vldmia %[a]!, {d4-d5}\n\t"
        "vmla.f64 %P[s6], d4, d3\n\t"
        "vmla.f64 %P[s7], d5, d3\n\t"
        "vldr d3, [%[x], #24]\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s4], d4, d3\n\t"
        "vmla.f64 %P[s5], d5, d3\n\t"
        "vmla.f64 %P[s6], d6, d3\n\t"
        "vmla.f64 %P[s7], d7, d3\n\t"
        "vldr d3, [%[x], #32]\n\t"
        "vldmia %[a]!, {d4-d7}\n\t"
        "vmla.f64 %P[s4], d4, d3\n\t"
        "vmla.f64 %P[s5], d5, d3\n\t"
        "vmla.f64 %P[s6], d6, d3\n\t"
        "vmla.f64 %P[s7], d7, d3\n\t"
        "vldr d3, [%[x], #40]\n\t"
        "vldmia %[a]!, {d4-d5}\n\t"
        "vmla.f64 %P[s6], d4, d3\n\t"
        "vmla.f64 %P[s7], d5, d3\n\t"
        "vldr d3, [%[x], #48]\n\t"
        "vldmia %[a]!, {d4-d5}\n\t"
        "vmla.f64 %P[s6], d4, d3\n\t"
        "vmla.f64 %P[s7], d5, d3"
        : [s0] "+w"(s0), [s1] "+w"(s1), [s2] "+w"(s2), [s3] "+w"(s3), [s4] "+w"(s4), [s5] "+w"(s5),
          [s6] "+w"(s6), [s7] "+w"(s7), [a] "+r"(a)
        : [x] "r"(x), "m"(*reinterpret_cast<const double(*)[kStairValues]>(a)),
          "m"(*reinterpret_cast<const double(*)[kStairColumns]>(x))
        : "d3", "d4", "d5", "d6", "d7");
  }
#else
  for (; a != end; a += kBlockRows, ++x) {
    const double b = *x;
    s0 += a[0] * b;
    s1 += a[1] * b;
    s2 += a[2] * b;
    s3 += a[3] * b;
    s4 += a[4] * b;
    s5 += a[5] * b;
    s6 += a[6] * b;
    s7 += a[7] * b;
  }
  if (stairs) {
    // The rows still running, column by column: rows 0.., 2.., 2.., 4.., 4.., 6.., 6..
    double b = x[0];
    s0 += a[0] * b;
    s1 += a[1] * b;
    s2 += a[2] * b;
    s3 += a[3] * b;
    s4 += a[4] * b;
    s5 += a[5] * b;
    s6 += a[6] * b;
    s7 += a[7] * b;
    for (int t = 0; t < 2; ++t) {
      const double* c = a + 8 + 6 * t;
      b = x[1 + t];
      s2 += c[0] * b;
      s3 += c[1] * b;
      s4 += c[2] * b;
      s5 += c[3] * b;
      s6 += c[4] * b;
      s7 += c[5] * b;
    }
    for (int t = 0; t < 2; ++t) {
      const double* c = a + 20 + 4 * t;
      b = x[3 + t];
      s4 += c[0] * b;
      s5 += c[1] * b;
      s6 += c[2] * b;
      s7 += c[3] * b;
    }
    for (int t = 0; t < 2; ++t) {
      const double* c = a + 28 + 2 * t;
      b = x[5 + t];
      s6 += c[0] * b;
      s7 += c[1] * b;
    }
    a += kStairValues;
  }
#endif
  // Row by row without an array of the sums, which would live in memory.
  const auto finish = [&](std::size_t r, double sum) {
    const double weight = offset[r] + scale * sum;
    out[r] = weight;
    nan_if_not_finite += weight * 0.0;
  };
  finish(0, s0);
  finish(1, s1);
  finish(2, s2);
  finish(3, s3);
  finish(4, s4);
  finish(5, s5);
  finish(6, s6);
  finish(7, s7);
  return a;
#endif
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
