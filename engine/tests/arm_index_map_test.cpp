#include "features/arm_index_map.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace korvane {
namespace {

ArmIdentity id(std::int64_t arm_id, std::string model, std::string provider, std::string prompt) {
  return {arm_id, std::move(model), std::move(provider), std::move(prompt)};
}

std::size_t prompt_index(const ArmIndexMap& map, const std::string& prompt) {
  return map.prompt_to_index.at(prompt);
}

TEST(ArmIndexMap, AssignsIndexesInAscendingArmIdOrder) {
  const std::vector<ArmIdentity> arms = {id(20, "m1", "p", "A"), id(5, "m2", "p", "B"),
                                         id(9, "m1", "p", "B"), id(12, "m1", "q", "A")};
  const ArmIndexMap map = ArmIndexMap::from_arms(arms);
  EXPECT_EQ(map.model_index("m2", "p"), 0u);
  EXPECT_EQ(map.model_index("m1", "p"), 1u);
  EXPECT_EQ(map.model_index("m1", "q"), 2u);
  EXPECT_EQ(prompt_index(map, "B"), 0u);
  EXPECT_EQ(prompt_index(map, "A"), 1u);
  EXPECT_EQ(map.num_models, 3u);
  EXPECT_EQ(map.num_prompts, 2u);
  EXPECT_EQ(map.total_dims, 11u);
}

TEST(ArmIndexMap, CountsSharedModelsAndPromptsOnce) {
  const ArmIndexMap one = ArmIndexMap::from_arms(std::vector{id(1, "m", "p", "s")});
  EXPECT_EQ(one.num_models, 1u);
  EXPECT_EQ(one.num_prompts, 1u);
  EXPECT_EQ(one.total_dims, 4u);

  const ArmIndexMap two_prompts =
      ArmIndexMap::from_arms(std::vector{id(8, "m", "p", "late"), id(3, "m", "p", "early")});
  EXPECT_EQ(two_prompts.model_index("m", "p"), 0u);
  EXPECT_EQ(prompt_index(two_prompts, "early"), 0u);
  EXPECT_EQ(prompt_index(two_prompts, "late"), 1u);
  EXPECT_EQ(two_prompts.total_dims, 5u);

  const ArmIndexMap same =
      ArmIndexMap::from_arms(std::vector{id(1, "m", "p", "s"), id(2, "m", "p", "s")});
  EXPECT_EQ(same.total_dims, 4u);
}

TEST(ArmIndexMap, ModelIsTheWholePairComparedByteForByte) {
  const ArmIndexMap map = ArmIndexMap::from_arms(std::vector{
      id(1, "m", "a", "s"), id(2, "m", "b", "S"), id(3, "M", "a", " s"), id(4, "m", "a", "")});
  EXPECT_EQ(map.num_models, 3u);
  EXPECT_EQ(map.num_prompts, 4u);
  EXPECT_EQ(map.model_index("m", "b"), 1u);
  EXPECT_EQ(map.model_index("a", "m"), std::nullopt);  // swapped
  EXPECT_EQ(map.model_index("x", "a"), std::nullopt);
  EXPECT_EQ(map.model_index("m ", "a"), std::nullopt);
  EXPECT_EQ(prompt_index(map, ""), 3u);
}

TEST(ArmIndexMap, SortsSignedAndKeepsDocumentOrderAmongEqualIds) {
  const ArmIndexMap map =
      ArmIndexMap::from_arms(std::vector{id(2, "pos", "p", "x"), id(-3, "neg", "p", "y")});
  EXPECT_EQ(map.model_index("neg", "p"), 0u);
  EXPECT_EQ(prompt_index(map, "y"), 0u);

  const ArmIndexMap ties = ArmIndexMap::from_arms(
      std::vector{id(9, "z", "p", "s"), id(4, "low", "p", "s"), id(9, "a", "p", "s")});
  EXPECT_EQ(ties.model_index("low", "p"), 0u);
  EXPECT_EQ(ties.model_index("z", "p"), 1u);
  EXPECT_EQ(ties.model_index("a", "p"), 2u);
}

}  // namespace
}  // namespace korvane
