// Checks shared by the fuzz targets. A failed check prints what broke and aborts, which libFuzzer
// records as a crash with the input that caused it. Nothing here is used outside the fuzzers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/json/shortest_decimal.hpp"

namespace korvane::fuzz {

[[noreturn]] inline void finding(std::string_view what, std::string_view detail) {
  // Long documents are cut: the crash input holds them whole.
  const int shown = static_cast<int>(std::min<std::size_t>(detail.size(), 4000));
  std::fprintf(stderr, "FINDING: %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(), shown,
               detail.data());
  std::abort();
}

inline void require(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) finding(what, detail);
}

// The text a finite double must have: the search's shortest digits laid out by the rule (fixed
// notation with a fractional digit for decimal exponents -5 to 15, else d[.ddd]e(+|-)x), written
// here digit by digit rather than through the engine's writer.
inline std::string number_text(double value) {
  std::string out = std::signbit(value) ? "-" : "";
  if (value == 0.0) return out + "0.0";
  const auto decimal = json::shortest::to_decimal(value);
  const std::string digits = std::to_string(decimal.significand);
  const int count = static_cast<int>(digits.size());
  const int leading = count - 1 + decimal.exponent;
  if (leading < -5 || leading > 15) {
    out += digits.substr(0, 1);
    if (count > 1) out += "." + digits.substr(1);
    return out + (leading < 0 ? "e-" : "e+") + std::to_string(std::abs(leading));
  }
  if (leading < 0)
    return out + "0." + std::string(static_cast<std::size_t>(-leading - 1), '0') + digits;
  if (count <= leading + 1) {
    return out + digits + std::string(static_cast<std::size_t>(leading + 1 - count), '0') + ".0";
  }
  const auto point = static_cast<std::size_t>(leading + 1);
  return out + digits.substr(0, point) + "." + digits.substr(point);
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF. Written here rather
// than borrowed from the reader, so that the two can disagree.
inline bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      cp = b0 & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;  // overlong
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

// The reason part of a reader's message: one of the fixed syntax texts or a content error form.
inline bool is_syntax_reason(std::string_view reason) {
  static constexpr std::string_view kSyntax[] = {
      "EOF while parsing a list",
      "EOF while parsing an object",
      "EOF while parsing a string",
      "EOF while parsing a value",
      "expected `:`",
      "expected `,` or `]`",
      "expected `,` or `}`",
      "expected ident",
      "expected value",
      "invalid escape",
      "invalid number",
      "number out of range",
      "invalid unicode code point",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string",
      "lone leading surrogate in hex escape",
      "trailing comma",
      "trailing characters",
      "unexpected end of hex escape",
      "recursion limit exceeded"};
  for (const std::string_view known : kSyntax) {
    if (reason == known) return true;
  }
  return false;
}

inline bool is_content_reason(std::string_view reason) {
  static constexpr std::string_view kForms[] = {
      "missing field `",          "duplicate field `", "invalid type: ",
      "invalid value: integer `", "invalid length ",   "data did not match any variant"};
  for (const std::string_view form : kForms) {
    if (reason.substr(0, form.size()) == form) return true;
  }
  return false;
}

// The located failure of a read: a one-line, valid UTF-8 message "<reason> at line L column C"
// whose position lies in `input` (line L exists; C is at most that line's length plus its line
// feed). An end-of-text reason points exactly at the end. Column 0 is allowed: an empty text, a
// position just after a line feed, and "the byte before" a bracket at the start of a line use it.
inline void check_located_message(std::string_view message, std::string_view input) {
  const std::string shown(message);
  require(!message.empty(), "empty message");
  require(
      message.find('\n') == std::string_view::npos && message.find('\r') == std::string_view::npos,
      "message of more than one line", shown);
  require(valid_utf8(message), "message is not valid UTF-8", shown);

  const std::size_t at = message.rfind(" at line ");
  require(at != std::string_view::npos && at > 0, "message without its position", shown);
  const std::string_view reason = message.substr(0, at);
  require(is_syntax_reason(reason) || is_content_reason(reason), "unknown reason", shown);
  std::string_view rest = message.substr(at + 9);
  const auto read_number = [&](std::string_view& text, std::uint64_t& out) {
    std::size_t k = 0;
    out = 0;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9' && k < 19) {
      out = out * 10 + static_cast<std::uint64_t>(text[k] - '0');
      ++k;
    }
    const bool ok = k > 0 && (k == 1 || text[0] != '0');
    text.remove_prefix(k);
    return ok;
  };
  std::uint64_t line = 0, column = 0;
  require(read_number(rest, line), "line number malformed", shown);
  require(rest.substr(0, 8) == " column ", "message without ' column '", shown);
  rest.remove_prefix(8);
  require(read_number(rest, column), "column number malformed", shown);
  require(rest.empty(), "text after the column number", shown);

  // Find line `line` of the input.
  std::uint64_t current = 1;
  std::size_t start = 0;
  while (current < line) {
    const std::size_t feed = input.find('\n', start);
    require(feed != std::string_view::npos, "line beyond the text", shown);
    start = feed + 1;
    ++current;
  }
  require(line >= 1, "line 0", shown);
  const std::size_t feed = input.find('\n', start);
  const std::size_t length = (feed == std::string_view::npos ? input.size() : feed) - start;
  const std::size_t limit = length + (feed == std::string_view::npos ? 0 : 1);
  require(column <= limit, "column beyond its line", shown);

  if (reason.substr(0, 10) == "EOF while ") {
    require(feed == std::string_view::npos && column == length,
            "end-of-text message not at the end of the text", shown);
  }
}

}  // namespace korvane::fuzz
