// Internal to the sync reader: number text conversion, descriptions of found values, the mapping of
// the JSON reader's syntax errors to their reasons, and the final "at line L column C" form.
// Nothing here throws except std::bad_alloc; positions are byte offsets into the document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/error/error.h>

namespace korvane::sync_detail {

// A failure before it is located: `consumed` is the number of bytes of the document taken when it
// was noticed (for a refused byte, the bytes up to and including it).
struct ReadError {
  std::string reason;
  std::size_t consumed = 0;
};

// One number at input[start], read once: where it ends, how it is written and its value.
// A number whose exponent passes 2147483647 is out of range at that exponent digit, unless its
// digits are all zero or the exponent is negative (then it is a signed zero).
struct NumberRead {
  std::size_t end = 0;    // one past the number; if incomplete, the offset of the byte ending it
  std::size_t fault = 0;  // if complete but out of range: the bytes consumed when that was found
  double value = 0.0;     // correctly rounded; below the smallest subnormal a signed zero
  bool complete = false;  // every sign, point and exponent marker has its digits
  bool integer = false;   // written without fraction or exponent
  bool in_range = false;  // complete, and its magnitude within the double range
};
NumberRead read_number(std::string_view input, std::size_t start) noexcept;

// Powers of ten that doubles hold exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The spelling that sync documents use for their many numbers, a short decimal without exponent,
// at `cursor`: its value, and `cursor` moved past it. Its digits fit a double exactly, so one
// division by an exact power of ten rounds correctly. False, with nothing moved, for any other
// spelling (read_number reads those).
[[gnu::always_inline]] inline bool read_short_decimal(const char*& cursor, const char* last,
                                                      double& value, bool& integer) noexcept {
  const char* p = cursor;
  const bool negative = p != last && *p == '-';
  p += negative ? 1 : 0;
  const char* const digits = p;
  std::uint64_t mantissa = 0;
  unsigned digit;
  while (p != last && (digit = static_cast<unsigned>(*p - '0')) < 10) {
    mantissa = mantissa * 10 + digit;
    ++p;
  }
  const auto integer_digits = static_cast<std::size_t>(p - digits);
  if (integer_digits == 0 || (integer_digits > 1 && *digits == '0')) return false;
  std::size_t fraction_digits = 0;
  if (p != last && *p == '.') {
    const char* const fraction = ++p;
    while (p != last && (digit = static_cast<unsigned>(*p - '0')) < 10) {
      mantissa = mantissa * 10 + digit;
      ++p;
    }
    fraction_digits = static_cast<std::size_t>(p - fraction);
    if (fraction_digits == 0) return false;
  }
  if ((p != last && (*p | 0x20) == 'e') || integer_digits + fraction_digits > 19 ||
      mantissa > (std::uint64_t{1} << 53)) {
    return false;
  }
  const double v = static_cast<double>(mantissa) / kExactPowers[fraction_digits];
  value = negative ? -v : v;
  integer = fraction_digits == 0;
  cursor = p;
  return true;
}

// read_number, with the short decimal read inline.
inline NumberRead read_short_number(std::string_view input, std::size_t start) noexcept {
  const char* p = input.data() + start;
  NumberRead r;
  if (!read_short_decimal(p, input.data() + input.size(), r.value, r.integer)) {
    return read_number(input, start);
  }
  r.end = static_cast<std::size_t>(p - input.data());
  r.complete = true;
  r.in_range = true;
  return r;
}

// "integer `<n>`" as written ("-0" as "0"), "floating point `<x>`", "string \"<text>\"".
std::string found_integer(std::string_view number);
std::string found_double(double value);
std::string found_string(std::string_view text);

// The reason and position of a syntax error that the reader reported as `code` at `offset`,
// decided by the bytes around it.
ReadError syntax_error(std::string_view input, rapidjson::ParseErrorCode code, std::size_t offset);

// "<reason> at line <L> column <C>": lines split at line feeds, columns count bytes.
std::string located(std::string_view input, const ReadError& error);

}  // namespace korvane::sync_detail
