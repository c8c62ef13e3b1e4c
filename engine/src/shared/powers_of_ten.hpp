// The powers of ten that 64-bit integers hold, 10^0 to 10^19: the reader scales runs of digits
// by them and the writer counts digits with them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// A plain array, which the reader's digit loops read best (docs/performance.md).
inline constexpr std::uint64_t kPowersOfTen[20] = {
    1u,
    10u,
    100u,
    1000u,
    10000u,
    100000u,
    1000000u,
    10000000u,
    100000000u,
    1000000000u,
    10000000000u,
    100000000000u,
    1000000000000u,
    10000000000000u,
    100000000000000u,
    1000000000000000u,
    10000000000000000u,
    100000000000000000u,
    1000000000000000000u,
    10000000000000000000u,
};

static_assert([] {
  for (std::size_t i = 1; i < 20; ++i) {
    if (kPowersOfTen[i] != kPowersOfTen[i - 1] * 10) return false;
  }
  return kPowersOfTen[0] == 1;
}());

}  // namespace korvane
