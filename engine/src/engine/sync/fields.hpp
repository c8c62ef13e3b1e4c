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

constexpr std::size_t index_of(Slot slot) {
  return static_cast<std::size_t>(slot);
}

// The counts follow from the order: each record's fields end with its last one, its required
// fields with its last required one. The array forms' messages give these counts.
inline constexpr std::size_t kBanditFields = index_of(Slot::kArms) + 1;
inline constexpr std::size_t kBanditRequired = index_of(Slot::kDimensions) + 1;
inline constexpr std::size_t kArmFields = index_of(Slot::kArmLatency) - index_of(Slot::kArmId) + 1;
inline constexpr std::size_t kArmRequired =
    index_of(Slot::kSystemPrompt) - index_of(Slot::kArmId) + 1;
inline constexpr std::uint8_t kArmRequiredBits = (1u << kArmRequired) - 1;
inline constexpr std::size_t kModeField = index_of(Slot::kMode);

inline constexpr std::array<std::string_view, kBanditFields> kBanditKeys = {
    "bandit_id",          "name", "theta", "cholesky", "dimensions", "optimization_mode",
    "avg_latency_last_n", "arms"};
inline constexpr std::array<std::string_view, kArmFields> kArmKeys = {
    "arm_id",    "model_name",        "model_provider", "system_prompt", "is_prompt_templated",
    "is_active", "avg_latency_last_n"};

constexpr Slot bandit_field(std::size_t i) {
  return static_cast<Slot>(i);
}
constexpr Slot arm_field(std::size_t i) {
  return static_cast<Slot>(index_of(Slot::kArmId) + i);
}

// The keys stand in the slots' order, which the records' declarations and the array forms share.
static_assert(kBanditKeys[index_of(Slot::kBanditId)] == "bandit_id" &&
              kBanditKeys[index_of(Slot::kName)] == "name" &&
              kBanditKeys[index_of(Slot::kTheta)] == "theta" &&
              kBanditKeys[index_of(Slot::kCholesky)] == "cholesky" &&
              kBanditKeys[index_of(Slot::kDimensions)] == "dimensions" &&
              kBanditKeys[index_of(Slot::kMode)] == "optimization_mode" &&
              kBanditKeys[index_of(Slot::kLatency)] == "avg_latency_last_n" &&
              kBanditKeys[index_of(Slot::kArms)] == "arms");
static_assert(kArmKeys[index_of(Slot::kArmId) - kBanditFields] == "arm_id" &&
              kArmKeys[index_of(Slot::kModelName) - kBanditFields] == "model_name" &&
              kArmKeys[index_of(Slot::kModelProvider) - kBanditFields] == "model_provider" &&
              kArmKeys[index_of(Slot::kSystemPrompt) - kBanditFields] == "system_prompt" &&
              kArmKeys[index_of(Slot::kTemplated) - kBanditFields] == "is_prompt_templated" &&
              kArmKeys[index_of(Slot::kActive) - kBanditFields] == "is_active" &&
              kArmKeys[index_of(Slot::kArmLatency) - kBanditFields] == "avg_latency_last_n");
static_assert(arm_field(0) == Slot::kArmId && index_of(Slot::kArmId) == kBanditFields);

// The first arm's text tells roughly how many follow; the `rest` of the document bounds the guess.
inline void reserve_arms(std::vector<ArmSync>& arms, std::size_t arm_bytes, std::size_t rest) {
  arm_bytes = std::max<std::size_t>(arm_bytes, sizeof(ArmSync) / 2);
  arms.reserve(1 + rest / arm_bytes);
}

}  // namespace korvane::sync_detail
