#include "features/feature_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace korvane {

double query_length_feature(std::optional<std::uint32_t> query_length) {
  if (!query_length) return 0.0;
  return std::log(static_cast<double>(std::max<std::uint32_t>(*query_length, 1)));
}

double latency_feature(std::optional<double> arm_latency, std::optional<double> bandit_latency) {
  if (arm_latency && bandit_latency && *bandit_latency > 0.0) return *arm_latency / *bandit_latency;
  return 1.0;
}

void FeatureMatrix::write_row(std::size_t r, double query_feature, std::span<double> out) const {
  std::fill(out.begin(), out.end(), 0.0);
  const FeatureRow& cells = rows_[r];
  out[cells.columns[0]] = 1.0;
  out[cells.columns[1]] = 1.0;
  out[cells.columns[2]] = query_feature;
  out[cells.columns[3]] = cells.latency;
}

Result<FeatureMatrix> build_feature_matrix(std::span<const ArmIdentity> arms,
                                           const ArmIndexMap& index_map) {
  std::vector<ArmIndexes> indexes;
  indexes.reserve(arms.size());
  const ArmIdentity* previous = nullptr;
  std::optional<std::size_t> m;
  for (const ArmIdentity& arm : arms) {
    // Arms of one model tend to follow one another: then its index is the previous arm's.
    if (previous == nullptr || !same_text(arm.model_name, previous->model_name) ||
        !same_text(arm.model_provider, previous->model_provider)) {
      m = index_map.model_index(arm.model_name, arm.model_provider);
    }
    previous = &arm;
    if (!m) return fail("arm model not in index map");
    const auto p = index_map.prompt_to_index.find(arm.system_prompt);
    if (!p) return fail("arm prompt not in index map");
    indexes.push_back(ArmIndexes{static_cast<std::uint32_t>(*m), static_cast<std::uint32_t>(*p)});
  }
  return build_feature_matrix(indexes, index_map);
}

Result<FeatureMatrix> build_feature_matrix(std::span<const ArmIndexes> indexes,
                                           const ArmIndexMap& index_map) {
  // Columns are stored in 32 bits; no document that fits in memory comes near this width.
  if (index_map.total_dims > std::numeric_limits<std::uint32_t>::max()) {
    return fail("too many models and prompts for one feature row");
  }
  const auto models = static_cast<std::uint32_t>(index_map.num_models);
  const auto prompts = static_cast<std::uint32_t>(index_map.num_prompts);
  FeatureMatrix matrix;
  matrix.width_ = index_map.total_dims;
  matrix.rows_.reserve(indexes.size());
  for (const ArmIndexes& arm : indexes) {
    FeatureRow row;
    row.columns = {arm.model, models + arm.prompt, models + prompts + arm.model,
                   2 * models + prompts + arm.model};
    matrix.rows_.push_back(row);
  }
  return matrix;
}

}  // namespace korvane
