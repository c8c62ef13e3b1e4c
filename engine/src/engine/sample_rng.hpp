// The engine's generator: SampleRng (xoshiro256** seeded by SplitMix64) and the default seed.
// Nothing here allocates or throws. The draws made from it are posterior.hpp's.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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

}  // namespace korvane
