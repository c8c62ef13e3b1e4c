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
  const auto by_arm_id = [](const ArmIdentity& a, const ArmIdentity& b) {
    return a.arm_id < b.arm_id;
  };
  // Documents usually list their arms in identifier order already.
  if (std::is_sorted(arms.begin(), arms.end(), by_arm_id)) {
    for (std::size_t r = 0; r < order.size(); ++r) order[r] = static_cast<std::uint32_t>(r);
    return order;
  }
  // (identifier, position) pairs side by side, so that the sort reads no arm; ordering them by
  // both makes the order stable. Comparisons only: no choice of identifiers costs more.
  std::vector<std::pair<std::int64_t, std::uint32_t>> keyed(arms.size());
  for (std::size_t r = 0; r < keyed.size(); ++r) {
    keyed[r] = {arms[r].arm_id, static_cast<std::uint32_t>(r)};
  }
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;
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
