// IndexTable: keys to the indexes 0, 1, 2... in the order they were added. Open addressing with
// linear probing over a power-of-two table at most half full, so that neither building nor a
// lookup divides (a library call on 32-bit ARM). Slots come from a keyed hash under the process's
// secret (keyed_hash.hpp): a document cannot choose keys that share a probe chain, and only the
// table's layout, never an index, depends on the secret.
// Traits give view(key), hash(hash key, view) and equal(view, view). Adding allocates
// (std::bad_alloc is the only exception); lookups neither allocate nor throw, except at().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "shared/keyed_hash.hpp"

namespace korvane {

template <class Traits>
class IndexTable {
 public:
  using Key = typename Traits::Key;
  using View = typename Traits::View;

  IndexTable() : IndexTable(keyed_hash::process_key()) {}
  // A table under a key of the caller's: tests that need the layout fixed.
  explicit IndexTable(const keyed_hash::Key& hash_key) : hash_key_(hash_key) {}

  std::size_t size() const { return keys_.size(); }
  const Key& key(std::size_t index) const { return keys_[index]; }

  // Room for n keys without growing.
  void reserve(std::size_t n) {
    if (2 * n > slots_.size()) rebuild(n);
  }

  std::optional<std::size_t> find(const View& key) const {
    if (slots_.empty()) return std::nullopt;
    const keyed_hash::Hash h = Traits::hash(hash_key_, key);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
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

  // The index of key; an absent key gets the next one and is stored as owned(), called only then.
  // Precondition: fewer than 2^31 keys.
  template <class MakeKey>
  std::size_t add(const View& key, MakeKey&& owned) {
    if (2 * (keys_.size() + 1) > slots_.size()) rebuild(2 * (keys_.size() + 1));
    const keyed_hash::Hash h = Traits::hash(hash_key_, key);
    std::size_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
      const std::uint32_t k = slots_[i];
      if (k == 0) break;
      if (hashes_[k - 1] == h && Traits::equal(Traits::view(keys_[k - 1]), key)) return k - 1;
    }
    keys_.push_back(owned());
    hashes_.push_back(h);
    slots_[i] = static_cast<std::uint32_t>(keys_.size());
    return keys_.size() - 1;
  }

  // The slots that finding every key visits, which is what adding them all visited: the measure
  // of a flood, which is quadratic in the number of keys when they share one chain.
  std::size_t probe_count() const {
    std::size_t probes = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i] != 0) probes += ((i - (hashes_[slots_[i] - 1] & mask_)) & mask_) + 1;
    }
    return probes;
  }

 private:
  // At most half full after room for n keys.
  void rebuild(std::size_t n) {
    std::size_t size = 8;
    while (size < 2 * n) size *= 2;
    slots_.assign(size, 0);
    mask_ = size - 1;
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      std::size_t i = hashes_[k] & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = static_cast<std::uint32_t>(k + 1);
    }
  }

  std::vector<Key> keys_;
  std::vector<keyed_hash::Hash> hashes_;
  std::vector<std::uint32_t> slots_;  // index + 1, 0 when empty
  std::size_t mask_ = 0;
  keyed_hash::Key hash_key_;
};

}  // namespace korvane
