#include "engine/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <dragonbox/dragonbox.h>

namespace korvane::json {
namespace {

struct Digits {
  char text[20];
  int count;       // number of significant digits in text
  int exponent;    // value = text × 10^exponent
  bool negative;
};

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
  const auto end = std::to_chars(d.text, d.text + sizeof d.text, decimal.significand).ptr;
  d.count = static_cast<int>(end - d.text);
  d.exponent = decimal.exponent;
  return d;
}

void append_fixed(std::string& out, const Digits& d) {
  if (d.negative) out.push_back('-');
  const int point = d.count + d.exponent;  // digits before the decimal point
  if (d.exponent >= 0) {
    out.append(d.text, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(d.exponent), '0');
    out.append(".0");
  } else if (point > 0) {
    out.append(d.text, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(d.text + point, static_cast<std::size_t>(d.count - point));
  } else {
    out.append("0.");
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(d.text, static_cast<std::size_t>(d.count));
  }
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
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
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
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  const Digits d = shortest_digits(value);
  const int leading = d.count - 1 + d.exponent;  // decimal exponent of the leading digit
  if (leading >= -5 && leading <= 15) {
    append_fixed(out, d);
    return;
  }
  if (d.negative) out.push_back('-');
  out.push_back(d.text[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.text + 1, static_cast<std::size_t>(d.count - 1));
  }
  out.push_back('e');
  out.push_back(leading < 0 ? '-' : '+');
  append_int(out, leading < 0 ? -leading : leading);
}

void append_plain_double(std::string& out, double value) { append_fixed(out, shortest_digits(value)); }

}  // namespace korvane::json
