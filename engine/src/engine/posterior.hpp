// The posterior draw of a pull: Box-Muller standard normal deviates from the engine's generator,
// the exploration scale that the bandit's optimization_mode sets, and the sampled weights
// theta + scale * L z. Nothing here allocates; only sample_weights throws (InternalError, for
// spans too short).
#pragma once

#include <span>
#include <string_view>

#include "engine/sample_rng.hpp"
#include "linalg/sparse_rows.hpp"

namespace korvane {

// 1.5 for "explore", 0.5 for "maximize", 1.0 for any other text (exact, case-sensitive): how
// far the draw strays from the posterior mean.
double exploration_scale(std::string_view optimization_mode);

// Fills z front to back with deviates, pairs by cosine then sine of one angle, an odd last one by
// its cosine alone; draws 2 * ceil(z.size() / 2) values plus one per redrawn zero u1.
void standard_normals(SampleRng& rng, std::span<double> z);

// w[i] = theta[i] + scale * (row i of the factor times z), for i < w.size(). The factor holds the
// non-zero entries of the d x d covariance factor; skipping its zeros is exact because Box-Muller
// deviates are always finite. Throws InternalError "index out of bounds: ..." when theta or z is
// shorter than the factor needs, before writing anything. Returns whether every weight is finite.
bool sample_weights(std::span<const double> theta, const linalg::SparseRows& factor,
                    std::span<const double> z, double scale, std::span<double> w);

}  // namespace korvane
