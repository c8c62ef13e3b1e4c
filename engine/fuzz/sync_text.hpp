// Writing sync records back as a document, and comparing records exactly (doubles by their bits),
// for the fuzz targets' round trips. Only finite numbers have a JSON spelling.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/json_writer.hpp"
#include "engine/sync.hpp"

namespace korvane::fuzz {

inline void append_number(std::string& out, double value) {
  json::append_double(out, value);
}

inline void append_latency(std::string& out, const std::optional<double>& value) {
  if (value) {
    append_number(out, *value);
  } else {
    out.append("null");
  }
}

inline void append_numbers(std::string& out, const std::vector<double>& values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_number(out, values[i]);
  }
  out.push_back(']');
}

// The object form with every field written.
inline std::string sync_text(const BanditSync& s) {
  std::string out = "{\"bandit_id\":";
  json::append_int(out, s.bandit_id);
  out.append(",\"name\":");
  json::append_string(out, s.name);
  out.append(",\"theta\":");
  append_numbers(out, s.theta);
  out.append(",\"cholesky\":");
  append_numbers(out, s.cholesky);
  out.append(",\"dimensions\":");
  json::append_uint(out, s.dimensions);
  out.append(",\"optimization_mode\":");
  json::append_string(out, s.optimization_mode);
  out.append(",\"avg_latency_last_n\":");
  append_latency(out, s.avg_latency_last_n);
  out.append(",\"arms\":[");
  for (std::size_t i = 0; i < s.arms.size(); ++i) {
    const ArmSync& a = s.arms[i];
    out.append(i == 0 ? "{\"arm_id\":" : ",{\"arm_id\":");
    json::append_int(out, a.arm_id);
    out.append(",\"model_name\":");
    json::append_string(out, a.model_name);
    out.append(",\"model_provider\":");
    json::append_string(out, a.model_provider);
    out.append(",\"system_prompt\":");
    json::append_string(out, a.system_prompt);
    out.append(a.is_prompt_templated ? ",\"is_prompt_templated\":true"
                                     : ",\"is_prompt_templated\":false");
    out.append(a.is_active ? ",\"is_active\":true" : ",\"is_active\":false");
    out.append(",\"avg_latency_last_n\":");
    append_latency(out, a.avg_latency_last_n);
    out.push_back('}');
  }
  out.append("]}");
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
