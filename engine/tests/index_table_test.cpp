// The keyed hash against its published vectors, and floods: keys crafted to share one probe chain
// under a key everyone knows cost a linear number of probes under any other key.
#include "shared/index_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "features/arm_index_map.hpp"
#include "shared/keyed_hash.hpp"

namespace korvane {
namespace {

using keyed_hash::Key;

constexpr Key kPublic{0, 0};
constexpr Key kTest{0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL};

TEST(KeyedHash, MatchesThePublishedVectorsOfBothWidths) {
  // Key bytes 00 01 .. 0f, message bytes 00 01 .. n-1: SipHash-2-4 and HalfSipHash-2-4 (32-bit
  // result, key bytes 00 .. 07); the tables' 1-3 variants differ only in their round counts.
  const Key key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::string message;
  for (char c = 0; c < 16; ++c) message.push_back(c);
  const struct {
    std::size_t length;
    std::uint64_t wide;
    std::uint32_t half;
  } vectors[] = {{0, 0x726fdb47dd0e0e31ULL, 0x5b9f35a9u},
                 {3, 0x85676696d7fb7e2dULL, 0x04e7fe8au},
                 {4, 0xcf2794e0277187b7ULL, 0x89466e2au},
                 {7, 0xab0200f58b01d137ULL, 0xc563cf8bu},
                 {8, 0x93f5f5799a932462ULL, 0x8f84b8d0u}};
  for (const auto& v : vectors) {
    const std::string_view text(message.data(), v.length);
    EXPECT_EQ((keyed_hash::Sip<std::uint64_t, 2, 4>(key).finish(text)), v.wide) << v.length;
    EXPECT_EQ((keyed_hash::Sip<std::uint32_t, 2, 4>(key).finish(text)), v.half) << v.length;
  }
  // Where the first text of a pair ends is part of what is hashed.
  EXPECT_NE(keyed_hash::hash_pair(kTest, "ab", "c"), keyed_hash::hash_pair(kTest, "a", "bc"));
}

// n keys that all start their probe in slot 0 of a table sized for n, under the public key.
template <class Traits, class MakeKey>
std::vector<typename Traits::Key> crafted(std::size_t n, MakeKey make) {
  std::size_t slots = 8;
  while (slots < 2 * n) slots *= 2;
  std::vector<typename Traits::Key> keys;
  for (std::size_t i = 0; keys.size() < n; ++i) {
    auto key = make(i);
    if ((Traits::hash(kPublic, Traits::view(key)) & (slots - 1)) == 0) keys.push_back(key);
  }
  return keys;
}

template <class Traits>
std::size_t probes_to_build(const std::vector<typename Traits::Key>& keys, const Key& hash_key) {
  IndexTable<Traits> table(hash_key);
  table.reserve(keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    EXPECT_EQ(table.add(Traits::view(keys[k]), [&] { return keys[k]; }), k);
  }
  for (std::size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(table.find(Traits::view(keys[k])), k);
  return table.probe_count();
}

TEST(IndexTable, KeysCraftedAgainstThePublicKeyCostLinearProbesUnderAnother) {
  constexpr std::size_t n = 256;
  const std::size_t chain = n * (n + 1) / 2, n_log_n = n * 8;
  const auto prompts =
      crafted<TextTraits>(n, [](std::size_t i) { return "prompt " + std::to_string(i); });
  const auto models = crafted<ModelKeyTraits>(n, [](std::size_t i) {
    return ModelKey{"model-" + std::to_string(i), "provider"};
  });
  EXPECT_EQ(probes_to_build<TextTraits>(prompts, kPublic), chain);
  EXPECT_EQ(probes_to_build<ModelKeyTraits>(models, kPublic), chain);
  EXPECT_LE(probes_to_build<TextTraits>(prompts, kTest), n_log_n);
  EXPECT_LE(probes_to_build<ModelKeyTraits>(models, kTest), n_log_n);

  // The index map's own tables hash under the process's secret, not under a public key.
  std::vector<ArmIdentity> arms;
  for (std::size_t k = 0; k < n; ++k) {
    arms.push_back(
        {static_cast<std::int64_t>(k), models[k].model_name, models[k].model_provider, prompts[k]});
  }
  const ArmIndexMap map = ArmIndexMap::from_arms(arms);
  EXPECT_EQ(map.num_models, n);
  EXPECT_EQ(map.num_prompts, n);
  EXPECT_LE(map.model_to_index.probe_count(), n_log_n);
  EXPECT_LE(map.prompt_to_index.probe_count(), n_log_n);
}

}  // namespace
}  // namespace korvane
