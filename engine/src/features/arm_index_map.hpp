// ArmIndexMap: the column index of every distinct model (name and provider together) and every
// distinct system prompt of a bandit's arms, assigned in ascending arm_id order, and the feature
// width total_dims = 3 * num_models + num_prompts. Texts are compared byte for byte; the tables'
// hash is keyed with the process's secret, so that no document can flood them.
// from_arms allocates (std::bad_alloc is its only exception); lookups neither allocate nor throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "features/arm_identity.hpp"
#include "shared/index_table.hpp"
#include "shared/keyed_hash.hpp"

namespace korvane {

// A (model_name, model_provider) pair, owned, and lookups by a borrowed pair.
struct ModelKey {
  std::string model_name;
  std::string model_provider;
};

using ModelKeyView = std::pair<std::string_view, std::string_view>;

// Byte-wise equality of two texts, a word at a time (a short memcmp is a library call).
bool same_text(std::string_view a, std::string_view b) noexcept;

struct ModelKeyTraits {
  using Key = ModelKey;
  using View = ModelKeyView;
  static ModelKeyView view(const ModelKey& key) { return {key.model_name, key.model_provider}; }
  static keyed_hash::Hash hash(const keyed_hash::Key& hash_key, const ModelKeyView& key) {
    return keyed_hash::hash_pair(hash_key, key.first, key.second);
  }
  static bool equal(const ModelKeyView& a, const ModelKeyView& b) {
    return same_text(a.first, b.first) && same_text(a.second, b.second);
  }
};

struct TextTraits {
  using Key = std::string;
  using View = std::string_view;
  static std::string_view view(const std::string& key) { return key; }
  static keyed_hash::Hash hash(const keyed_hash::Key& hash_key, std::string_view key) {
    return keyed_hash::hash_text(hash_key, key);
  }
  static bool equal(std::string_view a, std::string_view b) { return same_text(a, b); }
};

// The positions of the arms in ascending arm_id order, stable among equal identifiers.
std::vector<std::uint32_t> order_by_arm_id(std::span<const ArmIdentity> arms);

// One arm's model and prompt index.
struct ArmIndexes {
  std::uint32_t model = 0;
  std::uint32_t prompt = 0;
};

struct ArmIndexMap {
  IndexTable<ModelKeyTraits> model_to_index;
  IndexTable<TextTraits> prompt_to_index;
  std::size_t num_models = 0;
  std::size_t num_prompts = 0;
  std::size_t total_dims = 0;

  // Indexes go to models and prompts in the order first met in ascending arm_id (stable among
  // equal identifiers). An empty list gives an empty map with total_dims 0.
  static ArmIndexMap from_arms(std::span<const ArmIdentity> arms);
  // The same from the arms' order_by_arm_id, writing every arm's indexes into `indexes` (one
  // per arm, in the arms' order). Precondition: fewer than 2^31 arms.
  static ArmIndexMap from_ordered_arms(std::span<const ArmIdentity> arms,
                                       std::span<const std::uint32_t> by_arm_id,
                                       std::span<ArmIndexes> indexes);

  // Absent when no arm has this pair.
  std::optional<std::size_t> model_index(std::string_view model_name,
                                         std::string_view model_provider) const;
};

}  // namespace korvane
