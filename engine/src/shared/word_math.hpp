// 32 x 32 -> 64-bit multiply-accumulate steps, from which a 32-bit machine builds wider products
// without GCC's own 64 x 64 ones (which multiply known-zero upper words too).
#pragma once

#include <cstdint>

#include "shared/portable.hpp"

namespace korvane::word_math {

// Where the machine word is 32 bits, 64-bit divisions, conversions and bit counts are library
// calls: there the code takes 32-bit paths with the same results. KORVANE_NARROW_WORDS takes them
// on a 64-bit machine too, so that its tests and fuzzers check them.
#if defined(KORVANE_NARROW_WORDS)
inline constexpr bool kNarrow = true;
#else
inline constexpr bool kNarrow = sizeof(void*) < 8;
#endif

KORVANE_ALWAYS_INLINE std::uint64_t mul32(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::uint64_t>(a) * b;
}

// (high, low) = a * b + low + high, which cannot overflow: one UMAAL on ARM, where GCC does not
// find it itself and keeps zero upper words of its own in the products.
KORVANE_ALWAYS_INLINE void mul_add(std::uint32_t& low, std::uint32_t& high, std::uint32_t a,
                                   std::uint32_t b) {
#if KORVANE_ARM32_ASM
  asm("umaal %0, %1, %2, %3" : "+r"(low), "+r"(high) : "r"(a), "r"(b));
#else
  const std::uint64_t t = mul32(a, b) + low + high;
  low = static_cast<std::uint32_t>(t);
  high = static_cast<std::uint32_t>(t >> 32);
#endif
}

// x * k modulo 2^64 for a small constant k: on ARM one UMULL gives the low word's full product,
// where GCC would spell the constant as shifts and adds with carries through both words.
KORVANE_ALWAYS_INLINE std::uint64_t mul_small(std::uint64_t x, std::uint32_t k) {
#if KORVANE_ARM32_ASM
  std::uint32_t low, high;
  asm("umull %0, %1, %2, %3"
      : "=&r"(low), "=&r"(high)
      : "r"(static_cast<std::uint32_t>(x)), "r"(k));
  return (static_cast<std::uint64_t>(high + static_cast<std::uint32_t>(x >> 32) * k) << 32) | low;
#else
  return x * k;
#endif
}

// 128 bits, as two words.
struct Wide {
  std::uint64_t high, low;
};

// a * b in full: the machine's 64 x 64 -> 128-bit multiply, or four 32 x 32-bit
// multiply-accumulates on 32-bit words.
template <bool Narrow = kNarrow>
KORVANE_ALWAYS_INLINE Wide mul_64x64(std::uint64_t a, std::uint64_t b) {
  if constexpr (Narrow || !KORVANE_WIDE_MULTIPLY) {
    const auto a0 = static_cast<std::uint32_t>(a), a1 = static_cast<std::uint32_t>(a >> 32);
    const auto b0 = static_cast<std::uint32_t>(b), b1 = static_cast<std::uint32_t>(b >> 32);
    std::uint32_t r0 = 0, r1 = 0, r2 = 0, r3, carry = 0;
    mul_add(r0, carry, a0, b0);
    mul_add(r1, carry, a1, b0);
    r2 = carry;
    carry = 0;
    mul_add(r1, carry, a0, b1);
    mul_add(r2, carry, a1, b1);
    r3 = carry;
    return {(static_cast<std::uint64_t>(r3) << 32) | r2,
            (static_cast<std::uint64_t>(r1) << 32) | r0};
  } else {
#if KORVANE_WIDE_MULTIPLY
    Wide p;
    portable::mul_64x64_native(a, b, p.high, p.low);
    return p;
#endif
  }
}

// m * 10 + digit, with m * 10 + digit below 2^64: on 32 bits one multiply-accumulate and one
// multiply.
template <bool Narrow = kNarrow>
KORVANE_ALWAYS_INLINE std::uint64_t times_ten_plus(std::uint64_t m, std::uint32_t digit) {
  if constexpr (Narrow) {
    std::uint32_t low = digit, high = 0;
    mul_add(low, high, static_cast<std::uint32_t>(m), 10);
    return (static_cast<std::uint64_t>(high + static_cast<std::uint32_t>(m >> 32) * 10) << 32) |
           low;
  } else {
    return m * 10 + digit;
  }
}

}  // namespace korvane::word_math
