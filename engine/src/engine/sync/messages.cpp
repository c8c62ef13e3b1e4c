#include "engine/sync/messages.hpp"

#include <algorithm>
#include <cstring>

#include "engine/json/writer.hpp"
#include "engine/sync/bytes.hpp"
#include "engine/sync/numbers.hpp"

namespace korvane::sync_detail {
namespace {

// Offset of the first byte in input[from, from + 4) that is not a hex digit, or from + 4.
std::size_t hex_run_end(std::string_view input, std::size_t from) noexcept {
  std::size_t i = from;
  while (i < from + 4 && i < input.size() && is_hex(input[i])) ++i;
  return i;
}

// A literal's letters only ever precede an error offset when the literal was misspelt.
bool is_literal_letter(char c) noexcept {
  return c != '\0' && std::strchr("truefalsn", c) != nullptr;
}

// The last byte before `offset` that is not whitespace, or '\0' at the start.
char previous_token(std::string_view input, std::size_t offset) noexcept {
  const char* const before = last_non_space(input.data(), input.data() + offset);
  return before != nullptr ? *before : '\0';
}

ReadError at_byte(std::string_view reason, std::size_t offset) {
  return {std::string(reason), offset + 1};
}

// Decides, for the \u escape whose backslash is at `escape`, why the reader refused it.
ReadError hex_escape_error(std::string_view input, std::size_t escape, bool surrogate_refused) {
  const std::size_t n = input.size();
  const auto short_escape = [&](std::size_t bad) {
    return bad >= n ? ReadError{"EOF while parsing a string", n}
                    : at_byte("unexpected end of hex escape", bad);
  };
  const std::size_t first = hex_run_end(input, escape + 2);
  if (first < escape + 6) return short_escape(first);
  if (!surrogate_refused) {
    // The first half was whole, so the reader stopped in the escape after a high surrogate.
    const std::size_t second = hex_run_end(input, escape + 8);
    return short_escape(second);
  }
  const std::size_t after = escape + 6;
  if (after >= n || (input[after] == '\\' && after + 1 >= n)) {
    return {"EOF while parsing a string", n};
  }
  if (input[after] != '\\') return at_byte("lone leading surrogate in hex escape", after);
  if (input[after + 1] != 'u') return at_byte("lone leading surrogate in hex escape", after + 1);
  const std::size_t second = hex_run_end(input, after + 2);
  if (second < after + 6) return short_escape(second);
  return {"lone leading surrogate in hex escape", after + 6};
}

ReadError number_error(std::string_view input, std::size_t bad) {
  if (bad >= input.size()) return {"EOF while parsing a value", input.size()};
  return at_byte("invalid number", bad);
}

}  // namespace

std::string found_integer(std::string_view number) {
  if (number == "-0") number = "0";
  std::string out = "integer `";
  out.append(number);
  out.push_back('`');
  return out;
}

std::string found_double(double value) {
  std::string out = "floating point `";
  json::append_plain_double(out, value);
  out.push_back('`');
  return out;
}

std::string found_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "string \"";
  out.reserve(out.size() + text.size() + 1);
  const auto escape_code = [&](unsigned code) {
    out.append("\\u{");
    char digits[8];
    int count = 0;
    do {
      digits[count++] = kHex[code & 0xF];
      code >>= 4;
    } while (code != 0);
    while (count > 0) out.push_back(digits[--count]);
    out.push_back('}');
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out.append("\\\"");
        continue;
      case '\\':
        out.append("\\\\");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case '\0':
        out.append("\\0");
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      escape_code(c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // C1 controls (U+0080..U+009F) would otherwise reach a terminal raw.
      escape_code(static_cast<unsigned char>(text[++i]));
    } else if (c == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      // Line and paragraph separators would break the one-line message for some readers.
      escape_code(text[i + 2] == '\xA8' ? 0x2028 : 0x2029);
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

ReadError syntax_error(std::string_view input, rapidjson::ParseErrorCode code, std::size_t offset) {
  const std::size_t n = input.size();
  const bool at_end = offset >= n;  // a NUL byte inside the text also stops the reader
  const ReadError eof_value{"EOF while parsing a value", n};
  const ReadError eof_list{"EOF while parsing a list", n};
  const ReadError eof_object{"EOF while parsing an object", n};
  const ReadError eof_string{"EOF while parsing a string", n};
  const char before = offset > 0 ? input[offset - 1] : '\0';
  switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
      return at_end ? eof_value : at_byte("expected value", offset);
    case rapidjson::kParseErrorValueInvalid:
      if (is_literal_letter(before)) return at_end ? eof_value : at_byte("expected ident", offset);
      if (before == '-') return at_end ? eof_value : at_byte("invalid number", offset);
      if (at_end) return previous_token(input, offset) == '[' ? eof_list : eof_value;
      if (input[offset] == ']' && previous_token(input, offset) == ',') {
        return at_byte("trailing comma", offset);
      }
      return at_byte("expected value", offset);
    case rapidjson::kParseErrorObjectMissName:
      if (at_end) return previous_token(input, offset) == '{' ? eof_object : eof_value;
      return at_byte(input[offset] == '}' ? "trailing comma" : "key must be a string", offset);
    case rapidjson::kParseErrorObjectMissColon:
      return at_end ? eof_object : at_byte("expected `:`", offset);
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? eof_object : at_byte("expected `,` or `}`", offset);
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? eof_list : at_byte("expected `,` or `]`", offset);
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
      return hex_escape_error(input, offset, false);
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
      return hex_escape_error(input, offset, true);
    case rapidjson::kParseErrorStringEscapeInvalid:
      if (!at_end && input[offset] == '\\') {
        return offset + 1 >= n ? eof_string : at_byte("invalid escape", offset + 1);
      }
      return at_byte("control character (\\u0000-\\u001F) found while parsing a string", offset);
    case rapidjson::kParseErrorStringMissQuotationMark:
      return at_end ? eof_string
                    : at_byte("control character (\\u0000-\\u001F) found while parsing a string",
                              offset);
    case rapidjson::kParseErrorStringInvalidEncoding:
      return at_byte("invalid unicode code point", offset);
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
      return number_error(input, offset);
    case rapidjson::kParseErrorNumberTooBig: {
      const NumberRead number = read_number(input, offset);
      if (!number.complete) return number_error(input, number.end);
      return {"number out of range", number.in_range ? number.end : number.fault};
    }
    default:
      return at_end ? eof_value : at_byte("expected value", offset);
  }
}

std::string located(std::string_view input, const ReadError& error) {
  const std::size_t p = std::min(error.consumed, input.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  const char* base = input.data();
  const char* cursor = base;
  const char* end = base + p;
  while (p > 0 && cursor != end &&
         (cursor = static_cast<const char*>(
              std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor))))) {
    ++line;
    ++cursor;
    line_start = static_cast<std::size_t>(cursor - base);
  }
  std::string out = error.reason;
  out.append(" at line ");
  out.append(std::to_string(line));
  out.append(" column ");
  out.append(std::to_string(p - line_start));
  return out;
}

}  // namespace korvane::sync_detail
