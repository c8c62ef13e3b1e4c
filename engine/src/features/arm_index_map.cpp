#include "features/arm_index_map.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvane {

bool same_text(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  std::size_t n = a.size();
  for (; n >= sizeof(std::size_t); n -= sizeof(std::size_t)) {
    std::size_t x, y;
    std::memcpy(&x, p, sizeof x);
    std::memcpy(&y, q, sizeof y);
    if (x != y) return false;
    p += sizeof x;
    q += sizeof y;
  }
  for (; n > 0; --n) {
    if (*p++ != *q++) return false;
  }
  return true;
}

std::vector<std::uint32_t> order_by_arm_id(std::span<const ArmIdentity> arms) {
  std::vector<std::uint32_t> order(arms.size());
  for (std::size_t r = 0; r < order.size(); ++r) order[r] = static_cast<std::uint32_t>(r);
  const auto by_arm_id = [arms](std::uint32_t a, std::uint32_t b) {
    return arms[a].arm_id < arms[b].arm_id;
  };
  // Documents usually list their arms in identifier order already; a merge sort would still
  // compare them n log n times. Sorting compares identifiers only: no choice of them costs more.
  if (!std::is_sorted(order.begin(), order.end(), by_arm_id)) {
    std::stable_sort(order.begin(), order.end(), by_arm_id);
  }
  return order;
}

ArmIndexMap ArmIndexMap::from_arms(std::span<const ArmIdentity> arms) {
  std::vector<ArmIndexes> indexes(arms.size());
  return from_ordered_arms(arms, order_by_arm_id(arms), indexes);
}

ArmIndexMap ArmIndexMap::from_ordered_arms(std::span<const ArmIdentity> arms,
                                           std::span<const std::uint32_t> by_arm_id,
                                           std::span<ArmIndexes> indexes) {
  ArmIndexMap map;
  map.model_to_index.reserve(arms.size());
  map.prompt_to_index.reserve(arms.size());
  const ArmIdentity* previous = nullptr;
  std::uint32_t model = 0;
  for (const std::uint32_t r : by_arm_id) {
    const ArmIdentity& arm = arms[r];
    // Arms of one model tend to follow one another: the previous arm's model is known already.
    if (previous == nullptr || !same_text(arm.model_name, previous->model_name) ||
        !same_text(arm.model_provider, previous->model_provider)) {
      model = static_cast<std::uint32_t>(
          map.model_to_index.add(ModelKeyView(arm.model_name, arm.model_provider), [&] {
            return ModelKey{arm.model_name, arm.model_provider};
          }));
    }
    previous = &arm;
    const auto prompt = static_cast<std::uint32_t>(
        map.prompt_to_index.add(arm.system_prompt, [&] { return arm.system_prompt; }));
    indexes[r] = ArmIndexes{model, prompt};
  }
  map.num_models = map.model_to_index.size();
  map.num_prompts = map.prompt_to_index.size();
  map.total_dims = 3 * map.num_models + map.num_prompts;
  return map;
}

std::optional<std::size_t> ArmIndexMap::model_index(std::string_view model_name,
                                                    std::string_view model_provider) const {
  return model_to_index.find(ModelKeyView(model_name, model_provider));
}

}  // namespace korvane
