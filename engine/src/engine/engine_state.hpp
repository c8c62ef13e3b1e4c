// BanditEngineCore::State: everything derived from one sync document, which a refresh replaces
// whole. Shared by the state's build (engine_core.cpp) and the pull (pull.cpp), and by nothing
// else: the engine's public face is engine_core.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_core.hpp"
#include "engine/json/writer.hpp"
#include "features/arm_identity.hpp"
#include "features/arm_index_map.hpp"
#include "features/feature_matrix.hpp"
#include "linalg/sparse_rows.hpp"

namespace korvane {

struct BanditEngineCore::State {
  std::int64_t bandit_id = 0;
  std::string name;
  std::size_t dimensions = 0;
  double exploration = 1.0;  // exploration_scale of the document's optimization_mode
  std::optional<double> avg_latency_last_n;
  std::vector<double> theta;    // the first `dimensions` entries of the document's theta
  linalg::SparseRows cholesky;  // the non-zero entries of the dimensions x dimensions factor

  std::vector<ArmIdentity> arms;
  ArmIndexMap index_map;
  FeatureMatrix features;

  // Arms keyed by identifier: one group per distinct arm_id, numbered in order of first
  // occurrence, so that listing groups in order lists identifiers in document order. Found by
  // binary search over the identifiers in ascending order: comparisons cost the same whatever
  // identifiers a document holds.
  std::vector<std::int64_t> ascending_ids;           // per group, in ascending order
  std::vector<std::uint32_t> ascending_group;        // the group of each of them
  std::vector<std::uint32_t> arm_group;              // per arm
  std::vector<std::int64_t> group_arm_id;            // per group
  std::vector<std::uint8_t> group_active;            // any arm of the group is active
  std::vector<std::optional<double>> group_latency;  // the group's last arm's latency
  // Each group's member name in the scores object, `,"<arm_id>":`, rendered once per build, and
  // whether it is eligible: active, and not excluded by the pull under way.
  std::vector<json::KeySlot> score_keys;  // per group
  std::size_t result_bound = 0;           // the longest result document this state can produce
  std::size_t longest_head = 0;           // of the result's text before the scores' first member
  bool groups_are_arms = false;           // every arm a group of its own, in arm order

  // Per-pull scratch, sized once per build.
  QueryFeatureCache query_feature;
  std::vector<double> deviates;
  std::vector<double> weights;
  std::vector<double> dense_row;
  std::vector<double> group_score;
  std::size_t head_guess = 0;  // the last result's head length: the next one's guess
};

}  // namespace korvane
