#include "engine/sync/numbers.hpp"

#include "engine/sync/bytes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <system_error>

#include <fast_float/fast_float.h>

namespace korvane::sync_detail {
namespace {

// Correctly rounded from a valid JSON number's text; a value below the smallest subnormal becomes
// a signed zero. False when the magnitude exceeds the double range.
bool text_to_double(std::string_view number, double& out) noexcept {
  const char* first = number.data();
  const char* last = first + number.size();
  double value = 0.0;
  // Overflow comes back as an infinity (some releases also flag it), which JSON cannot spell.
  const auto result = fast_float::from_chars(first, last, value);
  if (result.ec == std::errc() && std::isfinite(value)) {
    out = value;
    return true;
  }
  // Out of range either way: find the decimal exponent of the leading non-zero digit.
  const bool negative = first != last && *first == '-';
  std::size_t i = negative ? 1 : 0;
  std::int64_t leading = 0;
  bool found = false;
  const std::size_t int_begin = i;
  while (i < number.size() && is_digit(number[i])) ++i;
  const std::size_t int_end = i;
  for (std::size_t k = int_begin; k < int_end; ++k) {
    if (number[k] != '0') {
      leading = static_cast<std::int64_t>(int_end - k) - 1;
      found = true;
      break;
    }
  }
  if (i < number.size() && number[i] == '.') {
    ++i;
    const std::size_t frac_begin = i;
    while (i < number.size() && is_digit(number[i])) {
      if (!found && number[i] != '0') {
        leading = -static_cast<std::int64_t>(i - frac_begin) - 1;
        found = true;
      }
      ++i;
    }
  }
  std::int64_t exponent = 0;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-'))
      exp_negative = number[i++] == '-';
    for (; i < number.size() && is_digit(number[i]); ++i) {
      exponent = std::min<std::int64_t>(exponent * 10 + (number[i] - '0'), 4'000'000'000'000LL);
    }
    if (exp_negative) exponent = -exponent;
  }
  if (found && leading + exponent >= 0) return false;
  out = negative ? -0.0 : 0.0;
  return true;
}

constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr int kMaxExponentDigitsValue = 2147483647;

}  // namespace

bool read_rounded(const char* first, const char* last, double& value) noexcept {
  const auto result = fast_float::from_chars(first, last, value);
  return result.ec == std::errc() && result.ptr == last && std::isfinite(value);
}

NumberRead read_number(std::string_view input, std::size_t start) noexcept {
  const std::size_t n = input.size();
  const char* s = input.data();
  NumberRead r;
  std::size_t i = start;
  const bool negative = i < n && s[i] == '-';
  if (negative) ++i;
  // The significant digits (from the first non-zero one): up to 19 of them kept in `mantissa`.
  std::uint64_t mantissa = 0;
  int significant = 0;
  const auto take = [&](char c) {
    const auto digit = static_cast<unsigned>(c - '0');
    if (significant == 0 && digit == 0) return;
    if (significant < 19) mantissa = mantissa * 10 + digit;
    if (significant < 20) ++significant;
  };
  if (i >= n || !is_digit(s[i])) {
    r.end = i;
    return r;
  }
  if (s[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(s[i])) take(s[i++]);
  }
  std::int64_t fraction_digits = 0;
  bool integer = true;
  if (i < n && s[i] == '.') {
    integer = false;
    ++i;
    if (i >= n || !is_digit(s[i])) {
      r.end = i;
      return r;
    }
    for (; i < n && is_digit(s[i]); ++i) {
      take(s[i]);
      ++fraction_digits;
    }
  }
  std::int64_t exponent = 0;
  bool exponent_passed = false;  // beyond 2147483647: only a zero or an underflow reads
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    integer = false;
    ++i;
    bool exponent_negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) exponent_negative = s[i++] == '-';
    if (i >= n || !is_digit(s[i])) {
      r.end = i;
      return r;
    }
    for (; i < n && is_digit(s[i]); ++i) {
      if (exponent_passed) continue;
      exponent = exponent * 10 + (s[i] - '0');
      if (exponent <= kMaxExponentDigitsValue) continue;
      exponent_passed = true;
      if (!exponent_negative && significant > 0) r.fault = i + 1;
    }
    if (exponent_negative) exponent = -exponent;
  }
  r.end = i;
  r.complete = true;
  r.integer = integer;
  if (r.fault != 0) return r;
  r.in_range = true;
  if (significant == 0) {
    r.value = negative ? -0.0 : 0.0;
    return r;
  }
  const std::int64_t scale = exponent - fraction_digits;
  if (!exponent_passed && significant <= 19 && mantissa <= kExactMantissa && scale >= -22 &&
      scale <= 22) {
    // Both operands are exact, so the one rounding of the product or quotient is the correct one.
    const double m = static_cast<double>(mantissa);
    const double v = scale >= 0 ? m * kExactPowers[scale] : m / kExactPowers[-scale];
    r.value = negative ? -v : v;
    return r;
  }
  if (!text_to_double(input.substr(start, i - start), r.value)) {
    r.in_range = false;
    r.fault = i;
  }
  return r;
}

}  // namespace korvane::sync_detail
