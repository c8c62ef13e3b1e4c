// A second reading of sync documents for the reader's fuzz target: the JSON library's document
// tree, matched against the record rules field by field. It decides acceptance and the record;
// the reader's message texts are not its business. Some texts it leaves undecided.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/sync.hpp"

namespace korvane::fuzz {

struct OracleVerdict {
  enum class Kind { kAccepted, kRefused, kUndecided } kind = Kind::kUndecided;
  BanditSync record;
};

namespace oracle_detail {

using Value = rapidjson::Value;

inline std::string_view text_of(const Value& v) {
  return {v.GetString(), v.GetStringLength()};
}

// Two trees of the same text: `typed` tells numbers from strings, `texts` keeps each number's
// exact spelling (as a string), so every number is converted here rather than by the library.
class Matcher {
 public:
  Matcher(const Value& typed_root, const Value& text_root)
      : typed_root_(typed_root), text_root_(text_root) {}

  // The typed twin of a node of the text tree, found by the same path.
  const Value& typed(const Value& v) const { return *twin_.at(&v); }

  void pair(const Value& text, const Value& typed) {
    twin_[&text] = &typed;
    if (text.IsArray()) {
      for (rapidjson::SizeType i = 0; i < text.Size(); ++i) pair(text[i], typed[i]);
    } else if (text.IsObject()) {
      auto t = typed.MemberBegin();
      for (auto m = text.MemberBegin(); m != text.MemberEnd(); ++m, ++t) pair(m->value, t->value);
    }
  }
  void pair_all() { pair(text_root_, typed_root_); }

  bool as_double(const Value& v, double& out) {
    const std::string t(text_of(v));
    errno = 0;
    char* end = nullptr;
    out = std::strtod(t.c_str(), &end);
    if (std::isinf(out)) return false;  // beyond the double range
    return true;
  }

  bool as_integer(const Value& v, std::int64_t& out) {
    const std::string_view t = text_of(v);
    if (t.find_first_of(".eE") != std::string_view::npos) return false;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return r.ec == std::errc() && r.ptr == t.data() + t.size();
  }

  bool as_size(const Value& v, std::size_t& out) {
    std::string_view t = text_of(v);
    if (t.find_first_of(".eE") != std::string_view::npos) return false;
    if (t == "-0") t = "0";
    const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return r.ec == std::errc() && r.ptr == t.data() + t.size();
  }

  bool string_field(const Value& v, std::string& out) {
    if (!v.IsString() || number(v)) return false;
    out = std::string(text_of(v));
    return true;
  }

  bool latency(const Value& v, std::optional<double>& out) {
    if (v.IsNull()) {
      out.reset();
      return true;
    }
    double d = 0.0;
    if (!number(v) || !as_double(v, d)) return false;
    out = d;
    return true;
  }

  bool boolean(const Value& v, bool& out) {
    if (!v.IsBool()) return false;
    out = v.GetBool();
    return true;
  }

  bool numbers(const Value& v, std::vector<double>& out) {
    if (!v.IsArray()) return false;
    for (const Value& e : v.GetArray()) {
      double d = 0.0;
      if (!number(e) || !as_double(e, d)) return false;
      out.push_back(d);
    }
    return true;
  }

  bool matrix(const Value& v, std::vector<double>& out) {
    if (!v.IsArray()) return false;
    if (numbers(v, out)) return true;
    out.clear();
    for (const Value& row : v.GetArray()) {
      if (!numbers(row, out)) return false;
    }
    return true;
  }

  bool arm_field(std::size_t i, const Value& v, ArmSync& a) {
    switch (i) {
      case 0:
        return number(v) && as_integer(v, a.arm_id);
      case 1:
        return string_field(v, a.model_name);
      case 2:
        return string_field(v, a.model_provider);
      case 3:
        return string_field(v, a.system_prompt);
      case 4:
        return boolean(v, a.is_prompt_templated);
      case 5:
        return boolean(v, a.is_active);
      default:
        return latency(v, a.avg_latency_last_n);
    }
  }

  bool arm(const Value& v, ArmSync& a) {
    static constexpr std::string_view kKeys[] = {
        "arm_id",    "model_name",        "model_provider", "system_prompt", "is_prompt_templated",
        "is_active", "avg_latency_last_n"};
    return record(v, a, kKeys, 4,
                  [&](std::size_t i, const Value& f) { return arm_field(i, f, a); });
  }

  bool bandit_field(std::size_t i, const Value& v, BanditSync& s) {
    switch (i) {
      case 0:
        return number(v) && as_integer(v, s.bandit_id);
      case 1:
        return string_field(v, s.name);
      case 2:
        return numbers(v, s.theta);
      case 3:
        return matrix(v, s.cholesky);
      case 4:
        return number(v) && as_size(v, s.dimensions);
      case 5:
        return string_field(v, s.optimization_mode);
      case 6:
        return latency(v, s.avg_latency_last_n);
      default:
        if (!v.IsArray()) return false;
        for (const Value& e : v.GetArray()) {
          ArmSync a;
          if (!arm(e, a)) return false;
          s.arms.push_back(std::move(a));
        }
        return true;
    }
  }

  template <class Record, std::size_t N, class Field>
  bool record(const Value& v, Record&, const std::string_view (&keys)[N], std::size_t required,
              Field field) {
    if (v.IsArray()) {
      if (v.Size() < required || v.Size() > N) return false;
      for (rapidjson::SizeType i = 0; i < v.Size(); ++i) {
        if (!field(i, v[i])) return false;
      }
      return true;
    }
    if (!v.IsObject()) return false;
    bool seen[N] = {};
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
      const std::string_view key = text_of(m->name);
      for (std::size_t i = 0; i < N; ++i) {
        if (key != keys[i]) continue;
        if (seen[i]) return false;
        seen[i] = true;
        if (!field(i, m->value)) return false;
      }
    }
    for (std::size_t i = 0; i < required; ++i) {
      if (!seen[i]) return false;
    }
    return true;
  }

  bool number(const Value& v) { return typed(v).IsNumber(); }

  // Depth of nesting and the range of every number, including those under unknown keys.
  bool within_limits(const Value& v, std::size_t depth) {
    if (v.IsArray() || v.IsObject()) {
      if (depth > 127) return false;
      if (v.IsArray()) {
        for (const Value& e : v.GetArray()) {
          if (!within_limits(e, depth + 1)) return false;
        }
      } else {
        for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
          if (!within_limits(m->value, depth + 1)) return false;
        }
      }
      return true;
    }
    double d = 0.0;
    return !number(v) || as_double(v, d);
  }

 private:
  const Value& typed_root_;
  const Value& text_root_;
  std::unordered_map<const Value*, const Value*> twin_;
};

// Encoded surrogates (from lone \u escapes) make the tree keep text the reader refuses.
inline bool holds_surrogate(const Value& v) {
  if (v.IsString()) {
    const std::string_view t = text_of(v);
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
      if (t[i] == '\xED' && static_cast<unsigned char>(t[i + 1]) >= 0xA0) return true;
    }
    return false;
  }
  if (v.IsArray()) {
    for (const Value& e : v.GetArray()) {
      if (holds_surrogate(e)) return true;
    }
  }
  if (v.IsObject()) {
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
      if (holds_surrogate(m->name) || holds_surrogate(m->value)) return true;
    }
  }
  return false;
}

}  // namespace oracle_detail

inline OracleVerdict oracle_read(std::string_view text) {
  using oracle_detail::Matcher;
  OracleVerdict verdict;
  if (text.find('\0') != std::string_view::npos) return verdict;  // the tree stops at a NUL
  constexpr unsigned kFlags =
      rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
  rapidjson::MemoryStream bytes(text.data(), text.size());
  rapidjson::Document doc;
  doc.ParseStream<kFlags | rapidjson::kParseNumbersAsStringsFlag>(bytes);
  if (doc.HasParseError()) {
    if (doc.GetParseError() != rapidjson::kParseErrorNumberTooBig) {
      verdict.kind = OracleVerdict::Kind::kRefused;
    }
    return verdict;
  }
  rapidjson::MemoryStream again(text.data(), text.size());
  rapidjson::Document typed;
  typed.ParseStream<kFlags>(again);
  if (typed.HasParseError()) return verdict;  // a number beyond the library's own limits
  if (oracle_detail::holds_surrogate(doc)) return verdict;
  Matcher m(typed, doc);
  m.pair_all();
  if (!m.within_limits(doc, 1)) {
    verdict.kind = OracleVerdict::Kind::kRefused;
    return verdict;
  }
  static constexpr std::string_view kKeys[] = {
      "bandit_id",          "name", "theta", "cholesky", "dimensions", "optimization_mode",
      "avg_latency_last_n", "arms"};
  BanditSync& s = verdict.record;
  s.optimization_mode = "base";
  const bool ok = m.record(doc, s, kKeys, 5, [&](std::size_t i, const rapidjson::Value& f) {
    return m.bandit_field(i, f, s);
  });
  verdict.kind = ok ? OracleVerdict::Kind::kAccepted : OracleVerdict::Kind::kRefused;
  return verdict;
}

}  // namespace korvane::fuzz
