#include "engine/posterior.hpp"

#include <algorithm>
#include <cmath>

#include "shared/portable.hpp"
#include "shared/result.hpp"

namespace korvane {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// One Box-Muller radius and angle; u1 is redrawn while it is exactly 0.0 (all 53 bits zero) so
// that ln stays finite.
struct Polar {
  double radius;
  double angle;
};

// Inlined so that the generator's words stay in registers across the pairs.
KORVANE_ALWAYS_INLINE Polar draw_polar(SampleRng& rng) {
  std::uint64_t top = rng.next_top53();
  while (top == 0) top = rng.next_top53();
  const double u1 = SampleRng::to_unit(top);
  const double u2 = rng.next_f64();
  return {portable::sqrt_positive(std::log(u1) * -2.0), u2 * kTwoPi};
}

}  // namespace

void standard_normals(SampleRng& rng, std::span<double> z) {
  // The words live in a local for the draws and are stored back once.
  SampleRng local = rng;
  double* out = z.data();
  // One pointer runs the pairs: a 32-bit machine has no register to spare for an index as well.
  double* const pairs_end = out + (z.size() & ~std::size_t{1});
  for (; out != pairs_end; out += 2) {
    const Polar p = draw_polar(local);
    out[0] = p.radius * std::cos(p.angle);
    out[1] = p.radius * std::sin(p.angle);
  }
  if (z.size() % 2 != 0) {
    const Polar p = draw_polar(local);
    out[0] = p.radius * std::cos(p.angle);
  }
  rng = local;
}

double exploration_scale(std::string_view optimization_mode) {
  if (optimization_mode == "explore") return 1.5;
  if (optimization_mode == "maximize") return 0.5;
  return 1.0;
}

namespace {

// The weights of a factor stored with its columns, of one with fewer rows than a block, or for
// fewer rows than the factor has.
KORVANE_NOINLINE bool other_weights(std::span<const double> theta, const linalg::SparseRows& factor,
                                    std::span<const double> z, double scale, std::span<double> w) {
  const std::size_t d = w.size();
  if (factor.blocked() && d == factor.rows() && d > 0) {
    // One block whose rows past d are zeros: it reads and writes through room for all of them.
    double offset[linalg::kBlockRows] = {};
    double out[linalg::kBlockRows];
    std::copy_n(theta.data(), d, offset);
    const linalg::SparseRows::Block& block = factor.blocks()[0];
    double nan_if_not_finite = 0.0;  // the zero rows' weights are 0.0
    linalg::block_affine(factor.values().data(), block.columns, block.stairs, z.data(), offset,
                         scale, out, nan_if_not_finite);
    std::copy_n(out, d, w.data());
    return nan_if_not_finite == 0.0;
  }
  bool finite = true;
  for (std::size_t i = 0; i < d; ++i) {
    w[i] = theta[i] + scale * factor.row_dot(i, z);
    finite = finite && std::isfinite(w[i]);
  }
  return finite;
}

}  // namespace

bool sample_weights(std::span<const double> theta, const linalg::SparseRows& factor,
                    std::span<const double> z, double scale, std::span<double> w) {
  const std::size_t d = w.size();
  // Each row reads all of z before theta[i]; report whichever read would fail first.
  if (d > 0 && z.size() < factor.cols()) throw_index_out_of_bounds(z.size(), z.size());
  if (theta.size() < d) throw_index_out_of_bounds(theta.size(), theta.size());
  if (factor.rows() < d) throw_index_out_of_bounds(factor.rows(), factor.rows());
  if (!factor.blocked() || d != factor.rows() || d < linalg::kBlockRows) {
    return other_weights(theta, factor, z, scale, w);
  }
  const double* a = factor.values().data();
  double nan_if_not_finite = 0.0;
  for (const linalg::SparseRows::Block& block : factor.blocks()) {
    a = linalg::block_affine(a, block.columns, block.stairs, z.data(),
                             theta.data() + block.first_row, scale, w.data() + block.first_row,
                             nan_if_not_finite);
  }
  return nan_if_not_finite == 0.0;
}

}  // namespace korvane
