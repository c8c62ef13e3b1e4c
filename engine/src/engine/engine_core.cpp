#include "engine/engine_core.hpp"

#include <limits>
#include <utility>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/json/writer.hpp"
#include "engine/posterior.hpp"
#include "engine/sync.hpp"
#include "features/arm_identity.hpp"
#include "features/arm_index_map.hpp"
#include "features/feature_matrix.hpp"
#include "linalg/sparse_rows.hpp"

namespace korvane {
namespace {

// a * b in decimal, exact even where the product overflows 64 bits (limbs of 32 bits).
std::string product_text(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
  std::uint32_t limbs[4] = {static_cast<std::uint32_t>(p00), static_cast<std::uint32_t>(middle), 0,
                            0};  // least significant first
  const std::uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
  limbs[2] = static_cast<std::uint32_t>(high);
  limbs[3] = static_cast<std::uint32_t>(high >> 32);
  std::string digits;
  do {
    std::uint64_t remainder = 0;
    for (int i = 3; i >= 0; --i) {
      const std::uint64_t current = (remainder << 32) | limbs[i];
      limbs[i] = static_cast<std::uint32_t>(current / 10);
      remainder = current % 10;
    }
    digits.push_back(static_cast<char>('0' + remainder));
  } while (limbs[0] != 0 || limbs[1] != 0 || limbs[2] != 0 || limbs[3] != 0);
  return {digits.rbegin(), digits.rend()};
}

// A document whose sizes disagree would make every pull read misaligned rows.
Result<void> check_consistency(const BanditSync& sync, const ArmIndexMap& index_map) {
  const std::size_t d = sync.dimensions;
  if (d != index_map.total_dims) {
    return fail("dimensions " + std::to_string(d) + " does not match the feature width " +
                std::to_string(index_map.total_dims) + " of the arms");
  }
  if (sync.theta.size() < d) {
    return fail("theta has " + std::to_string(sync.theta.size()) + " values but dimensions is " +
                std::to_string(d));
  }
  const bool fits = d == 0 || d <= std::numeric_limits<std::size_t>::max() / d;
  if (!fits || sync.cholesky.size() < d * d) {
    return fail("cholesky has " + std::to_string(sync.cholesky.size()) + " values but dimensions " +
                std::to_string(d) + " needs " + product_text(d, d));
  }
  return {};
}

}  // namespace

BanditEngineCore::BanditEngineCore(std::unique_ptr<State> state, SampleRng rng)
    : state_(std::move(state)), rng_(rng) {}
BanditEngineCore::BanditEngineCore(BanditEngineCore&&) noexcept = default;
BanditEngineCore& BanditEngineCore::operator=(BanditEngineCore&&) noexcept = default;
BanditEngineCore::~BanditEngineCore() = default;

// Builds every part of a state before anything is handed out, so a failure leaves nothing behind.
Result<std::unique_ptr<BanditEngineCore::State>> BanditEngineCore::build_state(BanditSync&& sync) {
  auto state = std::make_unique<State>();
  State& s = *state;

  s.arms.reserve(sync.arms.size());
  for (ArmSync& arm : sync.arms) {
    s.arms.push_back(ArmIdentity{arm.arm_id, std::move(arm.model_name),
                                 std::move(arm.model_provider), std::move(arm.system_prompt)});
  }
  if (s.arms.empty()) return fail("No arms in sync response");
  // Group and column indexes are 32 bits wide; no document that fits in memory comes near this.
  if (s.arms.size() > std::numeric_limits<std::uint32_t>::max()) return fail("too many arms");

  const std::vector<std::uint32_t> by_arm_id = order_by_arm_id(s.arms);
  std::vector<ArmIndexes> indexes(s.arms.size());
  s.index_map = ArmIndexMap::from_ordered_arms(s.arms, by_arm_id, indexes);
  if (auto checked = check_consistency(sync, s.index_map); !checked) {
    return std::move(checked).take_failure();
  }

  // Runs of equal identifiers in ascending order; each arm holds its run until the groups exist.
  s.arm_group.resize(s.arms.size());
  for (std::size_t k = 0; k < by_arm_id.size(); ++k) {
    const std::int64_t id = s.arms[by_arm_id[k]].arm_id;
    if (k == 0 || id != s.ascending_ids.back()) s.ascending_ids.push_back(id);
    s.arm_group[by_arm_id[k]] = static_cast<std::uint32_t>(s.ascending_ids.size() - 1);
  }
  constexpr std::uint32_t kNoGroup = std::numeric_limits<std::uint32_t>::max();
  s.ascending_group.assign(s.ascending_ids.size(), kNoGroup);
  for (std::size_t r = 0; r < sync.arms.size(); ++r) {
    const ArmSync& arm = sync.arms[r];
    std::uint32_t& g = s.ascending_group[s.arm_group[r]];
    if (g == kNoGroup) {  // the run's first arm in document order
      g = static_cast<std::uint32_t>(s.group_arm_id.size());
      s.group_arm_id.push_back(arm.arm_id);
      s.group_active.push_back(0);
      s.group_latency.emplace_back();
    }
    s.arm_group[r] = g;
    if (arm.is_active) s.group_active[g] = 1;
    s.group_latency[g] = arm.avg_latency_last_n;  // the last arm with this identifier wins
  }

  auto features = build_feature_matrix(std::span<const ArmIndexes>(indexes), s.index_map);
  if (!features) return std::move(features).take_failure();
  s.features = std::move(*features);
  for (std::size_t r = 0; r < s.arms.size(); ++r) {
    s.features.set_latency(
        r, latency_feature(s.group_latency[s.arm_group[r]], sync.avg_latency_last_n));
  }

  s.bandit_id = sync.bandit_id;
  s.name = std::move(sync.name);
  s.dimensions = sync.dimensions;
  s.exploration = exploration_scale(sync.optimization_mode);
  s.avg_latency_last_n = sync.avg_latency_last_n;
  const std::size_t d = s.dimensions;
  s.theta.assign(sync.theta.begin(), sync.theta.begin() + static_cast<std::ptrdiff_t>(d));
  s.cholesky = linalg::SparseRows::from_dense(sync.cholesky, d, d);

  prepare_pull(s);
  return state;
}

Result<BanditEngineCore> BanditEngineCore::from_sync(BanditSync&& sync,
                                                     std::optional<std::uint64_t> seed) {
  const std::uint64_t seed_value = seed ? *seed : default_seed(sync.bandit_id, sync.name);
  auto state = build_state(std::move(sync));
  if (!state) return std::move(state).take_failure();
  return BanditEngineCore(std::move(*state), SampleRng::from_seed(seed_value));
}

Result<BanditEngineCore> BanditEngineCore::construct(std::string_view bandit_json,
                                                     std::optional<std::uint64_t> seed) {
  auto sync = parse_bandit_sync(bandit_json);
  if (!sync) return std::move(sync).take_failure();
  return from_sync(std::move(*sync), seed);
}

Result<void> BanditEngineCore::refresh(std::string_view bandit_json) {
  auto sync = parse_bandit_sync(bandit_json);
  if (!sync) return std::move(sync).take_failure();
  return refresh_from_sync(std::move(*sync));
}

Result<void> BanditEngineCore::refresh_from_sync(BanditSync&& sync) {
  auto state = build_state(std::move(sync));
  if (!state) return std::move(state).take_failure();
  state_ = std::move(*state);
  return {};
}

std::int64_t BanditEngineCore::bandit_id() const {
  return state_ ? state_->bandit_id : 0;
}

const std::string& BanditEngineCore::bandit_name() const {
  static const std::string kNone;
  return state_ ? state_->name : kNone;
}

std::size_t BanditEngineCore::dimensions() const {
  return state_ ? state_->dimensions : 0;
}

std::size_t BanditEngineCore::num_arms() const {
  return state_ ? state_->arms.size() : 0;
}

std::string BanditEngineCore::get_arms_json() const {
  std::string out = "[";
  if (!state_) return out + "]";
  const State& s = *state_;
  for (std::size_t r = 0; r < s.arms.size(); ++r) {
    const ArmIdentity& arm = s.arms[r];
    const std::uint32_t g = s.arm_group[r];
    out.append(r == 0 ? "{\"arm_id\":" : ",{\"arm_id\":");
    json::append_int(out, arm.arm_id);
    out.append(",\"model_name\":");
    json::append_string(out, arm.model_name);
    out.append(",\"model_provider\":");
    json::append_string(out, arm.model_provider);
    out.append(",\"system_prompt\":");
    json::append_string(out, arm.system_prompt);
    out.append(s.group_active[g] ? ",\"is_active\":true" : ",\"is_active\":false");
    out.append(",\"avg_latency_last_n\":");
    if (const auto& latency = s.group_latency[g]) {
      json::append_double(out, *latency);
    } else {
      out.append("null");
    }
    out.push_back('}');
  }
  out.push_back(']');
  return out;
}

std::size_t BanditEngineCore::result_bound() const {
  return state_ ? state_->result_bound : 0;
}

}  // namespace korvane
