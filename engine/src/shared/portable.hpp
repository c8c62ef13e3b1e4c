// Every compiler extension the engine uses, each with its MSVC branch: the attributes that steer
// inlining, the bit operations C++20 lacks or guards with a test the callers do not need, and the
// choice of the x86-64 vector paths. No other source file names a builtin or a vendor attribute.
#pragma once

#include <bit>
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

namespace korvane::portable {

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

}  // namespace korvane::portable
