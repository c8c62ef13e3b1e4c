// The fields of the two records as the reader knows them: their keys and their order, which the
// array forms follow, and the slots that the handler and the fast scanners file values under.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/sync.hpp"

namespace korvane::sync_detail {

// Which value the next event belongs to. The first fifteen are the record fields in declaration
// order (document fields, then arm fields), which the array forms rely on.
enum class Slot : std::uint8_t {
  kBanditId,
  kName,
  kTheta,
  kCholesky,
  kDimensions,
  kMode,
  kLatency,
  kArms,
  kArmId,
  kModelName,
  kModelProvider,
  kSystemPrompt,
  kTemplated,
  kActive,
  kArmLatency,
  kDocument,
  kThetaElement,
  kArmsElement,
  kUnknown,
  kExtra,  // past the last field of an array form
};

inline constexpr std::size_t kBanditFields = 8;
inline constexpr std::size_t kBanditRequired = 5;
inline constexpr std::size_t kArmFields = 7;
inline constexpr std::size_t kArmRequired = 4;
inline constexpr std::uint8_t kArmRequiredBits = (1u << kArmRequired) - 1;
inline constexpr std::size_t kModeField = 5;

inline constexpr std::array<std::string_view, kBanditFields> kBanditKeys = {
    "bandit_id",          "name", "theta", "cholesky", "dimensions", "optimization_mode",
    "avg_latency_last_n", "arms"};
inline constexpr std::array<std::string_view, kArmFields> kArmKeys = {
    "arm_id",    "model_name",        "model_provider", "system_prompt", "is_prompt_templated",
    "is_active", "avg_latency_last_n"};

inline Slot bandit_field(std::size_t i) {
  return static_cast<Slot>(i);
}
inline Slot arm_field(std::size_t i) {
  return static_cast<Slot>(static_cast<std::size_t>(Slot::kArmId) + i);
}

// The first arm's text tells roughly how many follow; the `rest` of the document bounds the guess.
inline void reserve_arms(std::vector<ArmSync>& arms, std::size_t arm_bytes, std::size_t rest) {
  arm_bytes = std::max<std::size_t>(arm_bytes, sizeof(ArmSync) / 2);
  arms.reserve(1 + rest / arm_bytes);
}

}  // namespace korvane::sync_detail
