// Every compiler extension the engine uses, each with its MSVC branch: the attributes that steer
// inlining, the bit operations C++20 lacks or guards with a test the callers do not need, the
// 128-bit multiply, and every test of the compiler or the processor that chooses a path (SSE2,
// 32-bit ARM and its VFP unit). No other source file names a builtin or a vendor attribute or
// tests the compiler or the processor (process_secret.cpp alone asks which operating system holds
// the random key). Two kinds of code outside it are the machine's own, and each sits beside its
// portable twin under one of the KORVANE_ switches below: SSE2 intrinsics, which GCC, Clang and
// MSVC spell alike, and inline assembly for instructions GCC does not choose itself on 32-bit ARM
// (word_math.hpp's UMAAL and UMULL, linalg/products.hpp's VFP block loops).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#define KORVANE_ALWAYS_INLINE __forceinline
#define KORVANE_NOINLINE __declspec(noinline)
#define KORVANE_COLD
#define KORVANE_FLATTEN
#else
#define KORVANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#define KORVANE_NOINLINE [[gnu::noinline]]
#define KORVANE_COLD [[gnu::cold]]
// Everything a call inlines is inlined into it too: the hot loops that must not call out.
#define KORVANE_FLATTEN [[gnu::flatten]]
#endif

// SSE2 is part of every x86-64 target; GCC and Clang say so with __SSE2__, MSVC with _M_X64.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KORVANE_SSE2 1
#include <emmintrin.h>
#else
#define KORVANE_SSE2 0
#endif

// 32-bit ARM with a VFP unit, in GCC or Clang: the paths below spell its multiple loads.
#if !KORVANE_SSE2 && defined(__GNUC__) && defined(__arm__) && !defined(__aarch64__) && \
    defined(__ARM_FP) && !defined(__SOFTFP__)
#define KORVANE_ARM_VFP 1
#else
#define KORVANE_ARM_VFP 0
#endif

// 32-bit ARM in GCC or Clang (ARMv6 or later: UMAAL), where word_math.hpp spells two multiplies.
#if defined(__GNUC__) && defined(__arm__) && !defined(__aarch64__) && defined(__ARM_ARCH) && \
    __ARM_ARCH >= 6
#define KORVANE_ARM32_ASM 1
#else
#define KORVANE_ARM32_ASM 0
#endif

namespace korvane::portable {

// The square root of x > 0, as std::sqrt gives it, without std::sqrt's branch for a negative x.
KORVANE_ALWAYS_INLINE double sqrt_positive(double x) noexcept {
#if KORVANE_SSE2 && defined(__GNUC__)
  double root;  // the intrinsics would first clear the register's upper half
  asm("sqrtsd %1, %0" : "=x"(root) : "x"(x));
  return root;
#elif KORVANE_SSE2
  const __m128d v = _mm_set_sd(x);
  return _mm_cvtsd_f64(_mm_sqrt_sd(v, v));
#else
  return std::sqrt(std::fabs(x));  // |x| is x: the compiler then needs no errno case
#endif
}

// The number of leading zero bits of v != 0: std::countl_zero without its test for zero.
KORVANE_ALWAYS_INLINE int countl_zero_nonzero(std::uint64_t v) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  return std::countl_zero(v);
#else
  return __builtin_clzll(v);
#endif
}

KORVANE_ALWAYS_INLINE std::uint32_t byteswap(std::uint32_t v) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  return _byteswap_ulong(v);
#else
  return __builtin_bswap32(v);
#endif
}

KORVANE_ALWAYS_INLINE std::uint64_t byteswap(std::uint64_t v) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  return _byteswap_uint64(v);
#else
  return __builtin_bswap64(v);
#endif
}

// a * b in full, as its upper and lower 64 bits, where the compiler has the 64 x 64 -> 128-bit
// multiply (KORVANE_WIDE_MULTIPLY); word_math::mul_64x64 is the one caller, with the 32-bit route
// for every other machine.
#if (defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_ARM64))) || \
    defined(__SIZEOF_INT128__)
#define KORVANE_WIDE_MULTIPLY 1
KORVANE_ALWAYS_INLINE void mul_64x64_native(std::uint64_t a, std::uint64_t b, std::uint64_t& high,
                                            std::uint64_t& low) noexcept {
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
  low = _umul128(a, b, &high);
#elif defined(_MSC_VER) && !defined(__clang__)
  high = __umulh(a, b);
  low = a * b;
#else
  __extension__ using Unsigned128 = unsigned __int128;
  const Unsigned128 p = static_cast<Unsigned128>(a) * b;
  high = static_cast<std::uint64_t>(p >> 64);
  low = static_cast<std::uint64_t>(p);
#endif
}
#else
#define KORVANE_WIDE_MULTIPLY 0
#endif

}  // namespace korvane::portable
