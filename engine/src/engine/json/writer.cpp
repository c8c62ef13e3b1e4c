#include "engine/json/writer.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/json/inline_writer.hpp"
#include "engine/json/shortest_decimal.hpp"
#include "shared/portable.hpp"
#include "shared/powers_of_ten.hpp"
#include "shared/text.hpp"

namespace korvane::json {
namespace {

using detail::kNarrow;

// The significant digits sit right-aligned in the first 17 bytes of `text`; the bytes after them
// are slack, so that fixed-size copies of kCopy bytes from any digit stay inside the array.
constexpr int kCopy = 32;

struct Digits {
  char text[17 + kCopy];
  int count;     // number of significant digits, at text + 17 - count
  int exponent;  // value = digits × 10^exponent
  bool negative;

  const char* begin() const { return text + 17 - count; }
};

int digit_count(std::uint64_t v) {  // v > 0
  const int bits = 64 - portable::countl_zero_nonzero(v);
  const int t = (bits * 1233) >> 12;  // log10(2^bits), low by at most one
  return t - (v < kPowersOfTen[static_cast<std::size_t>(t)]) + 1;
}

// The eight decimal digits of v < 10^8 at p, most significant first: all eight are split out at
// once in the lanes of one 64-bit word (4 + 4, 2 + 2, 1 + 1).
KORVANE_ALWAYS_INLINE void write_eight_digits(char* p, std::uint32_t v) {
  if constexpr (kNarrow) {
    // Two words of four digits: the lanes of a 32-bit word (2 + 2, then 1 + 1).
    const auto four = [](std::uint32_t n) {  // n < 10^4
      const std::uint32_t hundreds = (n * 5243) >> 19;
      std::uint32_t x = hundreds | ((n - hundreds * 100) << 16);
      const std::uint32_t tens = ((x * 103) >> 10) & 0x000F000F;  // each 16-bit lane / 10
      x = tens | ((x - tens * 10) << 8);
      x |= 0x30303030;
      if constexpr (std::endian::native == std::endian::big) x = portable::byteswap(x);
      return x;
    };
    const std::uint32_t high = v / 10000;
    const std::uint32_t first = four(high), second = four(v - high * 10000);
    std::memcpy(p, &first, 4);
    std::memcpy(p + 4, &second, 4);
    return;
  }
  const std::uint64_t high = v / 10000;
  std::uint64_t x = high | (static_cast<std::uint64_t>(v - high * 10000) << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // each 32-bit lane / 100
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // each 16-bit lane / 10
  x = q | ((x - q * 10) << 8);
  x |= 0x3030303030303030ULL;
  if constexpr (std::endian::native == std::endian::big) x = portable::byteswap(x);
  std::memcpy(p, &x, 8);
}

// Precondition: value is finite. Zero yields the single digit "0".
Digits shortest_digits(double value) {
  Digits d;
  d.negative = std::signbit(value);
  if (value == 0.0) {
    d.text[16] = '0';
    d.count = 1;
    d.exponent = 0;
    return d;
  }
  const auto decimal = shortest::to_decimal(value);
  const std::uint64_t v = decimal.significand;  // below 10^17
  const std::uint64_t upper = shortest::div_1e8<kNarrow>(v);
  const std::uint32_t top = static_cast<std::uint32_t>(upper) / 100000000;  // upper < 10^9
  d.text[0] = static_cast<char>('0' + top);
  write_eight_digits(d.text + 1, static_cast<std::uint32_t>(upper) - top * 100000000);
  write_eight_digits(d.text + 9, static_cast<std::uint32_t>(v - upper * 100000000));
  d.count = digit_count(v);
  d.exponent = decimal.exponent;
  return d;
}

char* put_digits(char* p, const char* first, int n) {
  return text::put(p, {first, static_cast<std::size_t>(n)});
}

char* put_zeros(char* p, int n) {
  std::memset(p, '0', static_cast<std::size_t>(n));
  return p + n;
}

// Plain decimal notation into p, which has room for count + |exponent| + 4 bytes.
char* write_fixed(char* p, const Digits& d) {
  if (d.negative) *p++ = '-';
  const int point = d.count + d.exponent;  // digits before the decimal point
  if (d.exponent >= 0) {
    p = put_zeros(put_digits(p, d.begin(), d.count), d.exponent);
    return text::put(p, ".0");
  }
  if (point > 0) {
    p = put_digits(p, d.begin(), point);
    *p++ = '.';
    return put_digits(p, d.begin() + point, d.count - point);
  }
  p = put_zeros(text::put(p, "0."), -point);
  return put_digits(p, d.begin(), d.count);
}

}  // namespace

void append_string(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(utf8.data() + run, utf8.size() - run);
  out.push_back('"');
}

char* write_uint(char* p, std::uint64_t value) {
  if constexpr (kNarrow) {
    // 32-bit digits, and eight more per factor of 10^8 above them.
    if (value >> 32 != 0) {
      const std::uint64_t high = shortest::div_1e8<kNarrow>(value);
      p = write_uint(p, high);
      write_eight_digits(
          p, static_cast<std::uint32_t>(value) - static_cast<std::uint32_t>(high) * 100000000);
      return p + 8;
    }
    return std::to_chars(p, p + kMaxIntegerText, static_cast<std::uint32_t>(value)).ptr;
  } else {
    return std::to_chars(p, p + kMaxIntegerText, value).ptr;
  }
}

char* write_int(char* p, std::int64_t value) {
  if constexpr (kNarrow) {
    *p = '-';
    const auto bits = static_cast<std::uint64_t>(value);
    return write_uint(p + (bits >> 63), value < 0 ? 0 - bits : bits);
  } else {
    return std::to_chars(p, p + kMaxIntegerText, value).ptr;
  }
}

// Zero, subnormals, infinities and not-a-number, away from the common path. A subnormal is below
// 1e-5: scientific notation.
char* detail::write_rare(char* p, double value) {
  if (!std::isfinite(value)) return text::put(p, "null");
  const Digits d = shortest_digits(value);
  if (d.negative) *p++ = '-';
  if (value == 0.0) return text::put(p, "0.0");
  *p++ = *d.begin();
  if (d.count > 1) {
    *p++ = '.';
    p = put_digits(p, d.begin() + 1, d.count - 1);
  }
  *p++ = 'e';
  *p++ = '-';
  return std::to_chars(p, p + 4, -(d.count - 1 + d.exponent)).ptr;
}

void write_integer_key(KeySlot& slot, std::int64_t name, bool included) {
  std::memset(slot.text, ' ', sizeof slot.text);
  char* const end = text::put(write_int(text::put(slot.text, ",\""), name), "\":");
  slot.length = static_cast<std::uint8_t>(end - slot.text);
  slot.included = included;
}

KORVANE_FLATTEN char* write_double(char* p, double value) {
  return write_double_at(p, value);
}

// The numbers' writing is inlined into the members' loop.
KORVANE_FLATTEN char* write_double_members(char* p, std::span<const KeySlot> keys,
                                           const double* values) {
  for (std::size_t g = 0; g < keys.size(); ++g) {
    if (!keys[g].included) continue;
    p = write_double_at(write_key(p, keys[g]), values[g]);
  }
  return p;
}

void append_int(std::string& out, std::int64_t value) {
  char buf[kMaxIntegerText];
  out.append(buf, static_cast<std::size_t>(write_int(buf, value) - buf));
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[kMaxIntegerText];
  out.append(buf, static_cast<std::size_t>(write_uint(buf, value) - buf));
}

void append_double(std::string& out, double value) {
  char buf[1 + kDoubleRoom];  // write_double keeps the byte before its text
  out.append(buf + 1, static_cast<std::size_t>(write_double(buf + 1, value) - (buf + 1)));
}

void append_plain_double(std::string& out, double value) {
  const Digits d = shortest_digits(value);
  char buf[352];  // the longest: the smallest subnormal, "0." then 323 zeros and 17 digits
  out.append(buf, static_cast<std::size_t>(write_fixed(buf, d) - buf));
}

}  // namespace korvane::json
