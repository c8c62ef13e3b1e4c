// Small builders of sync records for the engine tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/sync.hpp"
#include "features/arm_index_map.hpp"

namespace korvane::testing {

inline ArmSync arm(std::int64_t id, std::string model, std::string prompt, bool active = true,
                   std::optional<double> latency = std::nullopt, std::string provider = "p") {
  ArmSync a;
  a.arm_id = id;
  a.model_name = std::move(model);
  a.model_provider = std::move(provider);
  a.system_prompt = std::move(prompt);
  a.is_active = active;
  a.avg_latency_last_n = latency;
  return a;
}

inline std::size_t feature_width(const std::vector<ArmSync>& arms) {
  std::vector<ArmIdentity> ids;
  for (const ArmSync& a : arms) {
    ids.push_back({a.arm_id, a.model_name, a.model_provider, a.system_prompt});
  }
  return ArmIndexMap::from_arms(ids).total_dims;
}

// A consistent document: dimensions is the arms' feature width, theta all `theta_value`,
// cholesky `diagonal` times the identity.
inline BanditSync document(std::vector<ArmSync> arms, double theta_value = 0.0,
                           double diagonal = 1.0) {
  BanditSync s;
  s.bandit_id = 7;
  s.name = "support";
  s.optimization_mode = "base";
  s.dimensions = arms.empty() ? 0 : feature_width(arms);
  s.theta.assign(s.dimensions, theta_value);
  s.cholesky.assign(s.dimensions * s.dimensions, 0.0);
  for (std::size_t i = 0; i < s.dimensions; ++i) s.cholesky[i * s.dimensions + i] = diagonal;
  s.arms = std::move(arms);
  return s;
}

}  // namespace korvane::testing
