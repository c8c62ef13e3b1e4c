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

std::uint64_t text_hash(std::string_view text, std::uint64_t seed) noexcept {
  // Words of the machine's width: 64-bit products are three multiplies on a 32-bit machine.
  using Word = std::size_t;
  constexpr Word kMultiplier =
      sizeof(Word) == 8 ? static_cast<Word>(0xbf58476d1ce4e5b9ULL) : static_cast<Word>(0x9e3779b1u);
  constexpr int kShift = sizeof(Word) == 8 ? 31 : 15;
  auto h = static_cast<Word>(seed) ^ (text.size() * kMultiplier);
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= sizeof(Word); n -= sizeof(Word), p += sizeof(Word)) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    h = (h ^ w) * kMultiplier;
    h ^= h >> kShift;
  }
  if (n > 0) {
    Word w = 0;
    for (std::size_t i = 0; i < n; ++i) w |= Word{static_cast<unsigned char>(p[i])} << (8 * i);
    h = (h ^ w) * kMultiplier;
    h ^= h >> kShift;
  }
  return h;
}

ArmIndexMap ArmIndexMap::from_arms(std::span<const ArmIdentity> arms) {
  std::vector<const ArmIdentity*> by_id;
  by_id.reserve(arms.size());
  for (const ArmIdentity& arm : arms) by_id.push_back(&arm);
  const auto by_arm_id = [](const ArmIdentity* a, const ArmIdentity* b) {
    return a->arm_id < b->arm_id;
  };
  // Documents usually list their arms in identifier order already; a merge sort would still
  // compare them n log n times.
  if (!std::is_sorted(by_id.begin(), by_id.end(), by_arm_id)) {
    std::stable_sort(by_id.begin(), by_id.end(), by_arm_id);
  }

  ArmIndexMap map;
  map.model_to_index.reserve(arms.size());
  map.prompt_to_index.reserve(arms.size());
  const ArmIdentity* previous = nullptr;
  for (const ArmIdentity* arm : by_id) {
    const ModelKeyView model(arm->model_name, arm->model_provider);
    // Arms of one model tend to follow one another: the previous arm's model is known already.
    const bool known = previous != nullptr && same_text(model.first, previous->model_name) &&
                       same_text(model.second, previous->model_provider);
    previous = arm;
    if (!known && !map.model_to_index.find(model)) {
      map.model_to_index.insert(model, ModelKey{arm->model_name, arm->model_provider});
    }
    if (!map.prompt_to_index.find(arm->system_prompt)) {
      map.prompt_to_index.insert(arm->system_prompt, std::string(arm->system_prompt));
    }
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
