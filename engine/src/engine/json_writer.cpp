#include "engine/json_writer.hpp"

#include <dragonbox/dragonbox.h>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace korvane::json {
namespace {

struct Digits {
  char text[20];
  int count;     // number of significant digits in text
  int exponent;  // value = text × 10^exponent
  bool negative;
};

constexpr std::array<std::uint64_t, 20> kPow10 = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

// "00" to "99": two digits per division shortens the dependency chain of digit generation.
constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> t{};
  for (std::size_t i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

int digit_count(std::uint64_t v) {                 // v > 0
  const int t = (std::bit_width(v) * 1233) >> 12;  // log10(2^bits), low by at most one
  return t - (v < kPow10[static_cast<std::size_t>(t)]) + 1;
}

void write2(char* p, std::uint32_t v) {
  std::memcpy(p, &kPairs[2 * v], 2);
}

// Exactly eight digits; the two halves are independent, so they convert in parallel.
void write8(char* p, std::uint32_t v) {
  const std::uint32_t high = v / 10000, low = v % 10000;
  write2(p, high / 100);
  write2(p + 2, high % 100);
  write2(p + 4, low / 100);
  write2(p + 6, low % 100);
}

// The decimal digits of v > 0 at text; returns their count.
int write_significand(std::uint64_t v, char* text) {
  const int count = digit_count(v);
  char* p = text + count;
  while (v >= 100000000) {
    const std::uint64_t q = v / 100000000;
    p -= 8;
    write8(p, static_cast<std::uint32_t>(v - q * 100000000));
    v = q;
  }
  auto r = static_cast<std::uint32_t>(v);
  while (r >= 100) {
    const std::uint32_t q = r / 100;
    p -= 2;
    write2(p, r - q * 100);
    r = q;
  }
  if (r >= 10) {
    write2(p - 2, r);
  } else {
    p[-1] = static_cast<char>('0' + r);
  }
  return count;
}

// Precondition: value is finite. Zero yields the single digit "0".
Digits shortest_digits(double value) {
  Digits d{};
  d.negative = std::signbit(value);
  if (value == 0.0) {
    d.text[0] = '0';
    d.count = 1;
    d.exponent = 0;
    return d;
  }
  const auto decimal = jkj::dragonbox::to_decimal(value);
  d.count = write_significand(decimal.significand, d.text);
  d.exponent = decimal.exponent;
  return d;
}

char* put(char* p, const char* text, int n) {
  std::memcpy(p, text, static_cast<std::size_t>(n));
  return p + n;
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
    p = put_zeros(put(p, d.text, d.count), d.exponent);
    return put(p, ".0", 2);
  }
  if (point > 0) {
    p = put(p, d.text, point);
    *p++ = '.';
    return put(p, d.text + point, d.count - point);
  }
  p = put_zeros(put(p, "0.", 2), -point);
  return put(p, d.text, d.count);
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

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  out.append(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, value).ptr - buf));
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  out.append(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, value).ptr - buf));
}

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  const Digits d = shortest_digits(value);
  const int leading = d.count - 1 + d.exponent;  // decimal exponent of the leading digit
  char buf[32];  // fixed: at most 1 + 2 + 5 + 17; scientific: at most 1 + 18 + 2 + 3
  char* p = buf;
  if (leading >= -5 && leading <= 15) {
    p = write_fixed(p, d);
  } else {
    if (d.negative) *p++ = '-';
    *p++ = d.text[0];
    if (d.count > 1) {
      *p++ = '.';
      p = put(p, d.text + 1, d.count - 1);
    }
    *p++ = 'e';
    *p++ = leading < 0 ? '-' : '+';
    p = std::to_chars(p, buf + sizeof buf, leading < 0 ? -leading : leading).ptr;
  }
  out.append(buf, static_cast<std::size_t>(p - buf));
}

void append_plain_double(std::string& out, double value) {
  const Digits d = shortest_digits(value);
  char buf[352];  // the longest: the smallest subnormal, "0." then 323 zeros and 17 digits
  out.append(buf, static_cast<std::size_t>(write_fixed(buf, d) - buf));
}

}  // namespace korvane::json
