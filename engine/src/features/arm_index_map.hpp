// ArmIndexMap: the column index of every distinct model (name and provider together) and every
// distinct system prompt of a bandit's arms, assigned in ascending arm_id order, and the feature
// width total_dims = 3 * num_models + num_prompts. Texts are compared byte for byte.
// from_arms allocates (std::bad_alloc is its only exception); lookups neither allocate nor throw.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "features/arm_identity.hpp"

namespace korvane {

// A (model_name, model_provider) pair, owned, and lookups by a borrowed pair.
struct ModelKey {
  std::string model_name;
  std::string model_provider;
};

using ModelKeyView = std::pair<std::string_view, std::string_view>;

struct ModelKeyHash {
  using is_transparent = void;
  std::size_t operator()(const ModelKeyView& key) const noexcept;
  std::size_t operator()(const ModelKey& key) const noexcept {
    return (*this)(ModelKeyView(key.model_name, key.model_provider));
  }
};

struct ModelKeyEqual {
  using is_transparent = void;
  static ModelKeyView view(const ModelKey& key) { return {key.model_name, key.model_provider}; }
  static const ModelKeyView& view(const ModelKeyView& key) { return key; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return view(a) == view(b);
  }
};

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

struct ArmIndexMap {
  std::unordered_map<ModelKey, std::size_t, ModelKeyHash, ModelKeyEqual> model_to_index;
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> prompt_to_index;
  std::size_t num_models = 0;
  std::size_t num_prompts = 0;
  std::size_t total_dims = 0;

  // Indexes go to models and prompts in the order first met in ascending arm_id (stable among
  // equal identifiers). An empty list gives an empty map with total_dims 0.
  static ArmIndexMap from_arms(std::span<const ArmIdentity> arms);

  // Absent when no arm has this pair.
  std::optional<std::size_t> model_index(std::string_view model_name,
                                         std::string_view model_provider) const;
};

}  // namespace korvane
