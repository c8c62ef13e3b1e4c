// The engine's randomness: SampleRng (xoshiro256** seeded by SplitMix64), the default seed,
// Box-Muller standard normal deviates and the sampled weights theta + scale * L z.
// Nothing here allocates; only sample_weights throws (InternalError, for spans too short).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "linalg/sparse_rows.hpp"
#include "shared/word_math.hpp"

namespace korvane {

class SampleRng {
 public:
  static SampleRng from_seed(std::uint64_t seed);
  // A generator continuing from the words s0..s3 (as state() gives them).
  static SampleRng from_state(const std::array<std::uint64_t, 4>& words) {
    SampleRng rng;
    rng.s_ = words;
    return rng;
  }

  std::uint64_t next_u64() {
    const std::uint64_t result = word_math::mul_small(rotl(word_math::mul_small(s_[1], 5), 7), 9);
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // The top 53 bits of one next_u64: next_f64 is to_unit of them.
  std::uint64_t next_top53() { return next_u64() >> 11; }

  // top * 2^-53, a multiple of 2^-53 in [0, 1) for top below 2^53 (exact).
  static double to_unit(std::uint64_t top) {
    if constexpr (word_math::kNarrow) {
      // Exact either way; a 32-bit machine converts its two words in hardware, not in libgcc.
      const double high = static_cast<double>(static_cast<std::uint32_t>(top >> 32)) * 0x1.0p32;
      return (high + static_cast<double>(static_cast<std::uint32_t>(top))) * 0x1.0p-53;
    } else {
      return static_cast<double>(top) * 0x1.0p-53;
    }
  }

  // A multiple of 2^-53 in [0, 1): the top 53 bits of one next_u64.
  double next_f64() { return to_unit(next_top53()); }

  // The four words s0..s3.
  const std::array<std::uint64_t, 4>& state() const { return s_; }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> s_{};
};

// FNV-1a of the name's bytes, XOR the identifier's two's-complement bits.
std::uint64_t default_seed(std::int64_t bandit_id, std::string_view name);

// Fills z front to back with deviates, pairs by cosine then sine of one angle, an odd last one by
// its cosine alone; draws 2 * ceil(z.size() / 2) values plus one per redrawn zero u1.
void standard_normals(SampleRng& rng, std::span<double> z);

// 1.5 for "explore", 0.5 for "maximize", 1.0 for any other text (exact, case-sensitive).
double exploration_scale(std::string_view optimization_mode);

// w[i] = theta[i] + scale * (row i of the factor times z), for i < w.size(). The factor holds the
// non-zero entries of the d x d covariance factor; skipping its zeros is exact because Box-Muller
// deviates are always finite. Throws InternalError "index out of bounds: ..." when theta or z is
// shorter than the factor needs, before writing anything. Returns whether every weight is finite.
bool sample_weights(std::span<const double> theta, const linalg::SparseRows& factor,
                    std::span<const double> z, double scale, std::span<double> w);

}  // namespace korvane
