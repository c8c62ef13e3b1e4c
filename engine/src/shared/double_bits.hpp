// The fields of an IEEE-754 double's bits (1 sign, 11 exponent, 52 fraction bits), named once for
// the number reader and writer. Nothing here allocates or throws.
#pragma once

#include <cstdint>

namespace korvane::double_bits {

inline constexpr int kFractionBits = 52;
inline constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kFractionBits) - 1;
// The significand's leading one, which a normal double leaves out of its bits.
inline constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << kFractionBits;
inline constexpr unsigned kExponentMask = 0x7ff;
inline constexpr int kExponentBias = 1023;
// A normal double is c * 2^q with c = fraction | kHiddenBit and q = exponent field - kUnitBias;
// a subnormal one has c = fraction and q = kSubnormalQ.
inline constexpr int kUnitBias = kExponentBias + kFractionBits;
inline constexpr int kSubnormalQ = 1 - kUnitBias;

constexpr std::uint64_t fraction(std::uint64_t bits) {
  return bits & kFractionMask;
}

constexpr unsigned exponent_field(std::uint64_t bits) {
  return static_cast<unsigned>(bits >> kFractionBits) & kExponentMask;
}

}  // namespace korvane::double_bits
