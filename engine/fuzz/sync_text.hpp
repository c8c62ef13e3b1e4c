// Writing sync records back as a document, and comparing records exactly (doubles by their bits),
// for the fuzz targets' round trips. Only finite numbers have a JSON spelling.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/json/writer.hpp"
#include "engine/sync.hpp"

namespace korvane::fuzz {

// How the rewritten documents spell their numbers and strings. Every spelling reads back to the
// same record; the long ones push numbers past the JSON library's own digit and exponent limits.
struct Spelling {
  enum class Numbers : std::uint8_t { kShortest, kPadded, kFraction } numbers = Numbers::kShortest;
  std::size_t zeros = 0;    // extra digits for kPadded and kFraction
  bool escape_all = false;  // every non-ASCII character as \u escapes (surrogate pairs)
  bool array_form = false;  // the document and its arms as arrays of field values
  bool nested = false;      // cholesky as rows of `dimensions` numbers
};

inline void append_number(std::string& out, double value, const Spelling& how) {
  std::string shortest;
  json::append_double(shortest, value);
  if (how.numbers == Spelling::Numbers::kShortest) {
    out.append(shortest);
    return;
  }
  // shortest = [-]mantissa[e±x]: value = digits * 10^exponent.
  std::string_view text = shortest;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  long exponent = 0;
  if (const std::size_t e = text.find('e'); e != std::string_view::npos) {
    exponent = std::stol(std::string(text.substr(e + 1)));
    text = text.substr(0, e);
  }
  std::string digits;
  for (const char c : text) {
    if (c == '.') {
      exponent -= static_cast<long>(text.size() - text.find('.') - 1);
    } else {
      digits.push_back(c);
    }
  }
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  const long zeros = static_cast<long>(how.zeros);
  if (negative) out.push_back('-');
  if (how.numbers == Spelling::Numbers::kPadded) {
    // A zero cannot be padded with leading zeros; its padding goes after a point instead.
    out.append(digits == "0" ? "0.0" : digits).append(how.zeros, '0');
    out.push_back('e');
    out.append(std::to_string(exponent - zeros));
  } else {
    out.append("0.").append(how.zeros, '0').append(digits);
    out.push_back('E');
    out.append(std::to_string(exponent + zeros + static_cast<long>(digits.size())));
  }
}

inline void append_text(std::string& out, std::string_view utf8, const Spelling& how) {
  if (!how.escape_all) {
    json::append_string(out, utf8);
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto escape = [&](std::uint32_t unit) {
    out.append("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
  };
  out.push_back('"');
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == '"' || b == '\\' || b == '/') {
        escape(b);
      } else {
        out.push_back(static_cast<char>(b));
      }
      ++i;
      continue;
    }
    // Precondition: valid UTF-8.
    const std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t cp = b & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    if (cp >= 0x10000) {
      escape(0xD800 + ((cp - 0x10000) >> 10));
      escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      escape(cp);
    }
    i += len;
  }
  out.push_back('"');
}

inline void append_latency(std::string& out, const std::optional<double>& value,
                           const Spelling& how) {
  if (value) {
    append_number(out, *value, how);
  } else {
    out.append("null");
  }
}

inline void append_numbers(std::string& out, const std::vector<double>& values, const Spelling& how,
                           std::size_t row = 0) {
  out.push_back('[');
  if (row > 0) out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.append(row > 0 && i % row == 0 ? "],[" : ",");
    append_number(out, values[i], how);
  }
  if (row > 0) out.push_back(']');
  out.push_back(']');
}

// Every field written, in the object form or the array form.
inline std::string sync_text(const BanditSync& s, const Spelling& how = {}) {
  const bool array = how.array_form;
  const auto key = [&](std::string& out, const char* name) {
    if (!array) out.append("\"").append(name).append("\":");
  };
  std::string out(array ? "[" : "{");
  key(out, "bandit_id");
  json::append_int(out, s.bandit_id);
  out.push_back(',');
  key(out, "name");
  append_text(out, s.name, how);
  out.push_back(',');
  key(out, "theta");
  append_numbers(out, s.theta, how);
  out.push_back(',');
  key(out, "cholesky");
  append_numbers(out, s.cholesky, how, how.nested ? std::max<std::size_t>(s.dimensions, 1) : 0);
  out.push_back(',');
  key(out, "dimensions");
  json::append_uint(out, s.dimensions);
  out.push_back(',');
  key(out, "optimization_mode");
  append_text(out, s.optimization_mode, how);
  out.push_back(',');
  key(out, "avg_latency_last_n");
  append_latency(out, s.avg_latency_last_n, how);
  out.push_back(',');
  key(out, "arms");
  out.push_back('[');
  for (std::size_t i = 0; i < s.arms.size(); ++i) {
    const ArmSync& a = s.arms[i];
    out.append(i == 0 ? "" : ",").append(array ? "[" : "{");
    key(out, "arm_id");
    json::append_int(out, a.arm_id);
    out.push_back(',');
    key(out, "model_name");
    append_text(out, a.model_name, how);
    out.push_back(',');
    key(out, "model_provider");
    append_text(out, a.model_provider, how);
    out.push_back(',');
    key(out, "system_prompt");
    append_text(out, a.system_prompt, how);
    out.push_back(',');
    key(out, "is_prompt_templated");
    out.append(a.is_prompt_templated ? "true," : "false,");
    key(out, "is_active");
    out.append(a.is_active ? "true," : "false,");
    key(out, "avg_latency_last_n");
    append_latency(out, a.avg_latency_last_n, how);
    out.push_back(array ? ']' : '}');
  }
  out.push_back(']');
  out.push_back(array ? ']' : '}');
  return out;
}

inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool same_bits(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_bits(a[i], b[i])) return false;
  }
  return true;
}

inline bool same_record(const BanditSync& a, const BanditSync& b) {
  if (a.bandit_id != b.bandit_id || a.name != b.name || !same_bits(a.theta, b.theta) ||
      !same_bits(a.cholesky, b.cholesky) || a.dimensions != b.dimensions ||
      a.optimization_mode != b.optimization_mode ||
      !same_bits(a.avg_latency_last_n, b.avg_latency_last_n) || a.arms.size() != b.arms.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.arms.size(); ++i) {
    const ArmSync& x = a.arms[i];
    const ArmSync& y = b.arms[i];
    if (x.arm_id != y.arm_id || x.model_name != y.model_name ||
        x.model_provider != y.model_provider || x.system_prompt != y.system_prompt ||
        x.is_prompt_templated != y.is_prompt_templated || x.is_active != y.is_active ||
        !same_bits(x.avg_latency_last_n, y.avg_latency_last_n)) {
      return false;
    }
  }
  return true;
}

}  // namespace korvane::fuzz
