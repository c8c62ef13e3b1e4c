#include "engine/sync/scanners.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "engine/sync/bytes.hpp"
#include "engine/sync/fields.hpp"
#include "engine/sync/numbers.hpp"
#include "shared/word_math.hpp"

namespace korvane::sync_detail {
namespace {

// The text of the plain string whose opening quote is at `p`, and `p` moved past its closing
// quote; false for any other string or value.
inline bool plain_string(const char*& p, const char* last, std::string_view& text) {
  if (p == last || *p != '"') return false;
  const char* const close = plain_end(p + 1, last);
  if (close == last || *close != '"') return false;
  text = std::string_view(p + 1, static_cast<std::size_t>(close - p - 1));
  p = close + 1;
  return true;
}

// `p` moved past `word` when it is there.
inline bool literal(const char*& p, const char* last, std::string_view word) {
  if (static_cast<std::size_t>(last - p) < word.size() ||
      std::memcmp(p, word.data(), word.size()) != 0) {
    return false;
  }
  p += word.size();
  return true;
}

// The arm field named `key`, or kArmFields. The names differ in length (a repeated length would
// be a duplicate case), so one comparison.
inline std::size_t arm_key(std::string_view key) {
  static_assert(kArmFields == 7, "every arm field has its case below");
  // The length is the case's constant, so the comparison is a few word compares, not a call.
  const auto is = [&]<std::size_t field>(std::integral_constant<std::size_t, field>) {
    constexpr std::size_t n = kArmKeys[field].size();
    if constexpr (word_math::kNarrow) {
      // GCC calls memcmp for these lengths on 32-bit ARM: word compares instead.
      bool same = true;
      std::size_t i = 0;
      for (; i + 4 <= n; i += 4) {
        std::uint32_t x, y;
        std::memcpy(&x, key.data() + i, 4);
        std::memcpy(&y, kArmKeys[field].data() + i, 4);
        same &= x == y;
      }
      for (; i < n; ++i) same &= key[i] == kArmKeys[field][i];
      return same ? field : kArmFields;
    } else {
      return std::memcmp(key.data(), kArmKeys[field].data(), n) == 0 ? field : kArmFields;
    }
  };
  switch (key.size()) {
    case kArmKeys[0].size():
      return is(std::integral_constant<std::size_t, 0>{});
    case kArmKeys[1].size():
      return is(std::integral_constant<std::size_t, 1>{});
    case kArmKeys[2].size():
      return is(std::integral_constant<std::size_t, 2>{});
    case kArmKeys[3].size():
      return is(std::integral_constant<std::size_t, 3>{});
    case kArmKeys[4].size():
      return is(std::integral_constant<std::size_t, 4>{});
    case kArmKeys[5].size():
      return is(std::integral_constant<std::size_t, 5>{});
    case kArmKeys[6].size():
      return is(std::integral_constant<std::size_t, 6>{});
    default:
      return kArmFields;
  }
}

// One value of an arm in the usual spelling, stored in its field (kArmFields: an unknown key).
inline bool arm_value(const char*& p, const char* last, std::size_t field, ArmSync& arm) {
  std::string_view text;
  double number = 0.0;
  bool integer = false;
  const Slot slot = arm_field(field);
  switch (slot) {
    case Slot::kArmId:
      // Below 2^53 the double is the integer itself; larger ids are left to the reader.
      if (!read_decimal(p, last, number, integer) || !integer || !(std::fabs(number) < 0x1p53)) {
        return false;
      }
      // An integer, so either conversion is exact; the 32-bit one is an instruction on 32-bit
      // ARM, where the 64-bit one is a library call.
      arm.arm_id = std::fabs(number) < 0x1p31 ? static_cast<std::int32_t>(number)
                                              : static_cast<std::int64_t>(number);
      return true;
    case Slot::kModelName:
    case Slot::kModelProvider:
    case Slot::kSystemPrompt:
      if (!plain_string(p, last, text)) return false;
      (slot == Slot::kModelName       ? arm.model_name
       : slot == Slot::kModelProvider ? arm.model_provider
                                      : arm.system_prompt) = text;
      return true;
    case Slot::kTemplated:
    case Slot::kActive: {
      bool& flag = slot == Slot::kTemplated ? arm.is_prompt_templated : arm.is_active;
      if (literal(p, last, "true")) {
        flag = true;
      } else if (literal(p, last, "false")) {
        flag = false;
      } else {
        return false;
      }
      return true;
    }
    case Slot::kArmLatency:
      if (literal(p, last, "null")) {
        arm.avg_latency_last_n.reset();
        return true;
      }
      if (!read_decimal(p, last, number, integer)) return false;
      arm.avg_latency_last_n = number;
      return true;
    default:
      return plain_string(p, last, text) || read_decimal(p, last, number, integer) ||
             literal(p, last, "true") || literal(p, last, "false") || literal(p, last, "null");
  }
}

}  // namespace

std::size_t number_row(std::string_view input, std::size_t open, std::vector<double>& out) {
  const char* const base = input.data();
  const char* const last = base + input.size();
  const char* p = skip_space(base + open + 1, last);
  if (p != last && *p == ']') return static_cast<std::size_t>(p - base);
  for (;;) {
    double value;
    bool integer;
    if (!read_decimal(p, last, value, integer)) {
      const NumberRead number = read_number(input, static_cast<std::size_t>(p - base));
      if (!number.in_range) return kNone;
      value = number.value;
      p = base + number.end;
    }
    out.push_back(value);
    if (p != last && *p == ',') {  // the usual spelling: the comma straight after the number
      p = skip_space_after_separator(p + 1, last);
      continue;
    }
    p = skip_space_after_separator(p, last);
    if (p == last) return kNone;
    if (*p == ']') return static_cast<std::size_t>(p - base);
    if (*p != ',') return kNone;
    p = skip_space_after_separator(p + 1, last);
  }
}

std::size_t number_rows(std::string_view input, std::size_t open, std::vector<double>& out) {
  const char* const base = input.data();
  const char* const last = base + input.size();
  const char* p = skip_space(base + open + 1, last);
  const std::size_t kept = out.size();
  for (bool first = true;; first = false) {
    if (p == last || *p != '[') return kNone;
    const std::size_t close = number_row(input, static_cast<std::size_t>(p - base), out);
    if (close == kNone) return kNone;
    if (first) {
      // The factor is square: its first row tells the whole size. Every further number takes
      // at least two bytes of text, which bounds the guess for a document that is not square.
      const std::size_t width = out.size() - kept;
      const std::size_t room = (input.size() - close) / 2;
      out.reserve(out.size() + std::min(width * width, room));
    }
    p = skip_space(base + close + 1, last);
    if (p == last || (*p != ',' && *p != ']')) return kNone;
    if (*p == ']') return static_cast<std::size_t>(p - base);
    p = skip_space(p + 1, last);
  }
}

std::size_t arm_end(std::string_view input, std::size_t open, ArmSync& arm) {
  const char* const base = input.data();
  const char* const last = base + input.size();
  const char* p = skip_space_after_separator(base + open + 1, last);
  std::uint8_t seen = 0;
  for (;;) {
    std::string_view key;
    if (!plain_string(p, last, key)) return kNone;
    p = skip_space_after_separator(p, last);
    if (p == last || *p != ':') return kNone;
    p = skip_space_after_separator(p + 1, last);
    const std::size_t field = arm_key(key);
    if (field < kArmFields) {
      const auto bit = static_cast<std::uint8_t>(1u << field);
      if (seen & bit) return kNone;
      seen |= bit;
    }
    if (!arm_value(p, last, field, arm)) return kNone;
    p = skip_space_after_separator(p, last);
    if (p == last) return kNone;
    if (*p == '}') {
      if ((seen & kArmRequiredBits) != kArmRequiredBits) return kNone;
      return static_cast<std::size_t>(p - base);
    }
    if (*p != ',') return kNone;
    p = skip_space_after_separator(p + 1, last);
  }
}

std::size_t take_arms(std::string_view input, std::size_t open, std::vector<ArmSync>& arms) {
  const char* const base = input.data();
  const char* const last = base + input.size();
  std::size_t resume = kNone;
  ArmSync arm;
  for (const char* p = skip_space_after_separator(base + open + 1, last); p != last && *p == '{';) {
    const auto start = static_cast<std::size_t>(p - base);
    const std::size_t close = arm_end(input, start, arm);
    if (close == kNone) {
      resume = start;
      break;
    }
    if (arms.empty()) reserve_arms(arms, close + 1 - start, input.size() - (close + 1));
    arms.push_back(std::move(arm));
    arm = ArmSync{};
    p = skip_space_after_separator(base + close + 1, last);
    if (p != last && *p == ']') {
      resume = static_cast<std::size_t>(p - base);
      break;
    }
    if (p != last && *p == ',') {
      p = skip_space_after_separator(p + 1, last);
      if (p != last && *p == '{') continue;
    }
    // Whatever follows this arm is the reader's, and so is the arm itself.
    arms.pop_back();
    resume = start;
    break;
  }
  return resume;
}

}  // namespace korvane::sync_detail
