#include "features/arm_index_map.hpp"

#include <algorithm>
#include <vector>

namespace korvane {

std::size_t ModelKeyHash::operator()(const ModelKeyView& key) const noexcept {
  const std::size_t name = std::hash<std::string_view>{}(key.first);
  const std::size_t provider = std::hash<std::string_view>{}(key.second);
  // Mixing keeps (a, b) and (b, a) apart.
  return name ^
         (provider + static_cast<std::size_t>(0x9e3779b97f4a7c15ULL) + (name << 6) + (name >> 2));
}

ArmIndexMap ArmIndexMap::from_arms(std::span<const ArmIdentity> arms) {
  std::vector<const ArmIdentity*> by_id;
  by_id.reserve(arms.size());
  for (const ArmIdentity& arm : arms) by_id.push_back(&arm);
  std::stable_sort(by_id.begin(), by_id.end(), [](const ArmIdentity* a, const ArmIdentity* b) {
    return a->arm_id < b->arm_id;
  });

  ArmIndexMap map;
  map.model_to_index.reserve(arms.size());
  map.prompt_to_index.reserve(arms.size());
  for (const ArmIdentity* arm : by_id) {
    const ModelKeyView model(arm->model_name, arm->model_provider);
    if (map.model_to_index.find(model) == map.model_to_index.end()) {
      map.model_to_index.emplace(ModelKey{arm->model_name, arm->model_provider},
                                 map.model_to_index.size());
    }
    if (map.prompt_to_index.find(arm->system_prompt) == map.prompt_to_index.end()) {
      map.prompt_to_index.emplace(arm->system_prompt, map.prompt_to_index.size());
    }
  }
  map.num_models = map.model_to_index.size();
  map.num_prompts = map.prompt_to_index.size();
  map.total_dims = 3 * map.num_models + map.num_prompts;
  return map;
}

std::optional<std::size_t> ArmIndexMap::model_index(std::string_view model_name,
                                                    std::string_view model_provider) const {
  const auto it = model_to_index.find(ModelKeyView(model_name, model_provider));
  if (it == model_to_index.end()) return std::nullopt;
  return it->second;
}

}  // namespace korvane
