// The powers of ten that 64-bit integers hold, 10^0 to 10^19: the reader scales runs of digits
// by them and the writer counts digits with them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvane {

inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

}  // namespace korvane
