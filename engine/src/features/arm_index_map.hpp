// ArmIndexMap: the column index of every distinct model (name and provider together) and every
// distinct system prompt of a bandit's arms, assigned in ascending arm_id order, and the feature
// width total_dims = 3 * num_models + num_prompts. Texts are compared byte for byte.
// from_arms allocates (std::bad_alloc is its only exception); lookups neither allocate nor throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "features/arm_identity.hpp"

namespace korvane {

// A (model_name, model_provider) pair, owned, and lookups by a borrowed pair.
struct ModelKey {
  std::string model_name;
  std::string model_provider;
};

using ModelKeyView = std::pair<std::string_view, std::string_view>;

// Byte-wise equality of two texts, a word at a time (a short memcmp is a library call).
bool same_text(std::string_view a, std::string_view b) noexcept;
// A hash of the bytes, a word at a time, continuing from `seed`.
std::uint64_t text_hash(std::string_view text, std::uint64_t seed) noexcept;

// Keys to the indexes 0, 1, 2... in the order they were added: open addressing over a
// power-of-two table, so that a lookup never divides (a library call on 32-bit ARM). Traits give
// view(key), hash(view) and equal(view, view).
template <class Key, class View, class Traits>
class IndexTable {
 public:
  std::size_t size() const { return keys_.size(); }

  // Room for n keys without growing.
  void reserve(std::size_t n) {
    if (2 * n > slots_.size()) rebuild(n);
  }

  std::optional<std::size_t> find(const View& key) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t h = Traits::hash(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(h);; i = (i + 1) & mask) {
      const std::uint32_t k = slots_[i];
      if (k == 0) return std::nullopt;
      if (hashes_[k - 1] == h && Traits::equal(Traits::view(keys_[k - 1]), key)) return k - 1;
    }
  }

  // The index of key; throws std::out_of_range when it is absent.
  std::size_t at(const View& key) const {
    const auto found = find(key);
    if (!found) throw std::out_of_range("IndexTable::at: no such key");
    return *found;
  }

  // The index of key, which gets the next one when absent.
  std::size_t insert(const View& key, Key&& owned) {
    if (const auto found = find(key)) return *found;
    if (2 * (keys_.size() + 1) > slots_.size()) rebuild(2 * (keys_.size() + 1));
    const std::uint64_t h = Traits::hash(key);
    keys_.push_back(std::move(owned));
    hashes_.push_back(h);
    place(keys_.size() - 1);
    return keys_.size() - 1;
  }

 private:
  std::size_t slot_of(std::uint64_t h) const {
    return static_cast<std::size_t>((h * 0x9e3779b97f4a7c15ULL) >> shift_);
  }
  void place(std::size_t k) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(hashes_[k]);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(k + 1);
  }
  // At most half full after room for n keys.
  void rebuild(std::size_t n) {
    unsigned bits = 3;
    while ((std::size_t{1} << bits) < 2 * n) ++bits;
    slots_.assign(std::size_t{1} << bits, 0);
    shift_ = 64 - bits;
    for (std::size_t k = 0; k < keys_.size(); ++k) place(k);
  }

  std::vector<Key> keys_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> slots_;  // index + 1, 0 when empty
  unsigned shift_ = 61;
};

struct ModelKeyTraits {
  static ModelKeyView view(const ModelKey& key) { return {key.model_name, key.model_provider}; }
  static std::uint64_t hash(const ModelKeyView& key) {
    // The provider's hash continues from the name's, which keeps (a, b) and (b, a) apart.
    return text_hash(key.second, text_hash(key.first, 0));
  }
  static bool equal(const ModelKeyView& a, const ModelKeyView& b) {
    return same_text(a.first, b.first) && same_text(a.second, b.second);
  }
};

struct TextTraits {
  static std::string_view view(const std::string& key) { return key; }
  static std::uint64_t hash(std::string_view key) { return text_hash(key, 0); }
  static bool equal(std::string_view a, std::string_view b) { return same_text(a, b); }
};

struct ArmIndexMap {
  IndexTable<ModelKey, ModelKeyView, ModelKeyTraits> model_to_index;
  IndexTable<std::string, std::string_view, TextTraits> prompt_to_index;
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
