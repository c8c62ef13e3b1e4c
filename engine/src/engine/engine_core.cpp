#include "engine/engine_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "engine/json_writer.hpp"
#include "engine/sync.hpp"
#include "features/arm_identity.hpp"
#include "features/arm_index_map.hpp"
#include "features/feature_matrix.hpp"
#include "linalg/products.hpp"
#include "linalg/sparse_rows.hpp"
#include "shared/text.hpp"

namespace korvane {

// Everything derived from one sync document, replaced whole by a refresh.
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

namespace {

// The fixed parts of the result document; the object of scores opens with its first member.
constexpr std::string_view kHeadIndex = "{\"arm_index\":";
constexpr std::string_view kHeadId = ",\"arm_id\":";
constexpr std::string_view kHeadScores = ",\"scores\":";
constexpr std::string_view kTail = "}}";

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

  const std::size_t groups = s.group_arm_id.size();
  s.score_keys.resize(groups);
  std::size_t keys_length = 0, longest_key = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    json::KeySlot& slot = s.score_keys[g];
    std::memset(slot.text, ' ', sizeof slot.text);
    char* const end =
        text::put(json::write_int(text::put(slot.text, ",\""), s.group_arm_id[g]), "\":");
    const auto length = static_cast<std::size_t>(end - slot.text);
    slot.length = static_cast<std::uint8_t>(length);
    slot.included = s.group_active[g];
    keys_length += length;
    longest_key = std::max(longest_key, length);
  }
  char index_text[json::kMaxIntegerText];
  const auto index_digits =
      static_cast<std::size_t>(json::write_uint(index_text, s.arms.size() - 1) - index_text);
  // The header's identifier is as long as the longest member name less its four marks.
  s.longest_head =
      kHeadIndex.size() + index_digits + kHeadId.size() + (longest_key - 4) + kHeadScores.size();
  const std::size_t header = s.longest_head + kTail.size();
  const std::size_t members = keys_length + groups * json::kMaxDoubleText;
  s.result_bound = header + members + std::max(json::kDoubleRoom, sizeof(json::KeySlot));
  s.deviates.assign(d, 0.0);
  s.weights.assign(d, 0.0);
  s.dense_row.assign(s.features.width(), 0.0);
  s.group_score.assign(groups, 0.0);
  s.groups_are_arms = groups == s.arms.size();  // groups are numbered in arm order
  s.head_guess = s.longest_head;
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

Result<std::string> BanditEngineCore::pull(std::optional<std::uint32_t> query_length,
                                           std::span<const std::int32_t> exclude_ids) {
  std::string out(result_bound(), '\0');
  auto written = pull_into(query_length, exclude_ids, out);
  if (!written) return std::move(written).take_failure();
  out.resize(*written);
  return out;
}

Result<std::size_t> BanditEngineCore::pull_into(std::optional<std::uint32_t> query_length,
                                                std::span<const std::int32_t> exclude_ids,
                                                std::span<char> out) {
  auto text = pull_text(query_length, exclude_ids, out, true);
  if (!text) return std::move(text).take_failure();
  return text->size();
}

Result<std::string_view> BanditEngineCore::pull_anywhere(std::optional<std::uint32_t> query_length,
                                                         std::span<const std::int32_t> exclude_ids,
                                                         std::span<char> out) {
  return pull_text(query_length, exclude_ids, out, false);
}

Result<std::string_view> BanditEngineCore::pull_text(std::optional<std::uint32_t> query_length,
                                                     std::span<const std::int32_t> exclude_ids,
                                                     std::span<char> out, bool at_start) {
  if (!state_ || state_->arms.empty()) return fail("No arms available");
  State& s = *state_;
  if (out.size() < s.result_bound) throw_index_out_of_bounds(out.size(), s.result_bound - 1);

  const double scale = s.exploration;
  standard_normals(rng_, s.deviates);
  // A non-finite weight turns the skipped 0.0 cells into NaN products: only the dense sum says so.
  const bool sparse_exact = sample_weights(s.theta, s.cholesky, s.deviates, scale, s.weights);
  const double query = s.query_feature(query_length);

  // Second line of defence: every feature column and row must lie inside what is read below.
  const std::size_t n = s.arms.size();
  if (s.features.width() > s.weights.size()) {
    throw_index_out_of_bounds(s.weights.size(), s.weights.size());
  }
  if (s.features.num_rows() < n) throw_index_out_of_bounds(s.features.num_rows(), n - 1);

  // The excluded groups are cleared in place and given back their activity on the way out.
  const auto ids_begin = s.ascending_ids.begin(), ids_end = s.ascending_ids.end();
  const auto exclude = [&](bool restore) {
    for (const std::int32_t id : exclude_ids) {
      const auto at = std::lower_bound(ids_begin, ids_end, id);
      if (at == ids_end || *at != id) continue;
      const std::uint32_t g = s.ascending_group[static_cast<std::size_t>(at - ids_begin)];
      s.score_keys[g].included = restore ? s.group_active[g] : 0;
    }
  };
  exclude(false);
  struct Restore {
    decltype(exclude)& undo;
    ~Restore() { undo(true); }
  } const restore{exclude};

  const std::span<const double> w = s.weights;
  const FeatureRow* const rows = s.features.rows();
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  json::Best best{-std::numeric_limits<double>::infinity(), kNone};
  const auto write_head = [&](char* p) {
    p = json::write_uint(text::put(p, kHeadIndex), best.row);
    p = json::write_int(text::put(p, kHeadId), s.arms[best.row].arm_id);
    return text::put(p, kHeadScores);
  };
  char* begin = out.data();
  char* members;  // the scores' first member, whose comma becomes the object's brace
  char* end;
  if (sparse_exact && s.groups_are_arms) {
    // Scored and written in one pass after room for the head: at the start, a head as long as the
    // last pull's, so that the members move only when the chosen arm's head is longer or shorter.
    const std::size_t room = at_start ? s.head_guess : s.longest_head;
    members = begin + room;
    end = json::write_scored_members(members, s.score_keys, rows, w.data(), query, best);
    if (best.row == kNone) return fail("All arms excluded or inactive");
    // The head's length from the row's digits and the member name's identifier.
    std::size_t head_length = kHeadIndex.size() + 1 + kHeadId.size() +
                              (s.score_keys[best.row].length - 4) + kHeadScores.size();
    for (std::size_t rest = best.row; rest >= 10; rest /= 10) ++head_length;
    if (!at_start) {
      begin = members - head_length;
    } else if (head_length != room) {
      std::memmove(begin + head_length, members, static_cast<std::size_t>(end - members));
      end = end - room + head_length;
      members = begin + head_length;
      s.head_guess = head_length;
    }
    write_head(begin);
  } else {
    const std::uint32_t* const arm_group = s.arm_group.data();
    const json::KeySlot* const keys = s.score_keys.data();
    double* const group_score = s.group_score.data();
    const auto select = [&](auto score_of) {
      for (std::size_t r = 0; r < n; ++r) {
        const std::uint32_t g = arm_group[r];
        if (!keys[g].included) continue;
        const double score = score_of(r);
        group_score[g] = score;  // a later arm with the same identifier replaces the earlier one
        if (score > best.score) best = {score, r};
      }
    };
    if (sparse_exact) {
      select([&](std::size_t r) { return sparse_score(rows[r], w.data(), query); });
    } else {
      select([&](std::size_t r) {
        s.features.write_row(r, query, s.dense_row);
        return linalg::dot(s.dense_row, w);
      });
    }
    if (best.row == kNone) return fail("All arms excluded or inactive");
    members = write_head(begin);
    end = json::write_double_members(members, s.score_keys, group_score);
  }
  *members = '{';  // in place of the first member's comma; the chosen arm is one
  end = text::put(end, kTail);
  return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace korvane
