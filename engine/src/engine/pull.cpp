// The pull: the exploration scale, the deviates and the sampled weights, every arm's score, the
// choice of the best eligible arm and the result text, written once where the caller keeps it.
// Scoring and choosing live here alone; the writer below only writes what it is given.
#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "engine/engine_core.hpp"
#include "engine/engine_state.hpp"
#include "engine/json/inline_writer.hpp"
#include "engine/json/writer.hpp"
#include "engine/posterior.hpp"
#include "features/feature_matrix.hpp"
#include "linalg/products.hpp"
#include "shared/portable.hpp"
#include "shared/result.hpp"
#include "shared/text.hpp"

namespace korvane {
namespace {

// The fixed parts of the result document; the object of scores opens with its first member.
constexpr std::string_view kHeadIndex = "{\"arm_index\":";
constexpr std::string_view kHeadId = ",\"arm_id\":";
constexpr std::string_view kHeadScores = ",\"scores\":";
constexpr std::string_view kTail = "}}";

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The highest score so far and where it was met. Only a greater score replaces it: among equal
// scores the first arm stays chosen, and a score that is not a number (or is -infinity) never is.
template <class Where>
struct Best {
  Where at;
  double score = -std::numeric_limits<double>::infinity();

  KORVANE_ALWAYS_INLINE void offer(double candidate, Where where) {
    if (candidate > score) {
      score = candidate;
      at = where;
    }
  }
};

// The arms that are their own groups, in one pass: for every r with keys[r].included, in order,
// the row's score, offered to the choice, then its member written with that score. `chosen`
// becomes the best row, or stays as it was when no arm is included. Room: as
// json::write_double_members. Kept out of the pull's body, whose registers it would compete for.
KORVANE_NOINLINE KORVANE_FLATTEN char* write_scored_members(
    char* p, std::span<const json::KeySlot> keys, const FeatureRow* rows, const double* weights,
    double query_feature, std::size_t& chosen) {
  // Pointers rather than an index, and the best arm's slot rather than its row: fewer registers
  // live across the numbers' writing.
  const json::KeySlot* const first = keys.data();
  const json::KeySlot* const last = first + keys.size();
  Best<const json::KeySlot*> best{nullptr};
  const FeatureRow* row = rows;
  for (const json::KeySlot* key = first; key != last; ++key, ++row) {
    if (!key->included) continue;
    const double score = sparse_score(*row, weights, query_feature);
    best.offer(score, key);
    p = json::write_double_at(json::write_key(p, *key), score);
  }
  if (best.at != nullptr) chosen = static_cast<std::size_t>(best.at - first);
  return p;
}

}  // namespace

void BanditEngineCore::prepare_pull(State& s) {
  const std::size_t d = s.dimensions;
  const std::size_t groups = s.group_arm_id.size();
  s.score_keys.resize(groups);
  std::size_t keys_length = 0, longest_key = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    json::KeySlot& slot = s.score_keys[g];
    json::write_integer_key(slot, s.group_arm_id[g], s.group_active[g] != 0);
    keys_length += slot.length;
    longest_key = std::max<std::size_t>(longest_key, slot.length);
  }
  char index_text[json::kMaxIntegerText];
  const auto index_digits =
      static_cast<std::size_t>(json::write_uint(index_text, s.arms.size() - 1) - index_text);
  // The header's identifier is as long as the longest member name less its four marks.
  s.longest_head =
      kHeadIndex.size() + index_digits + kHeadId.size() + (longest_key - 4) + kHeadScores.size();
  const std::size_t header = s.longest_head + kTail.size();
  const std::size_t members = keys_length + groups * json::kMaxDoubleText;
  s.result_bound = header + members + json::kMemberRoom;
  s.deviates.assign(d, 0.0);
  s.weights.assign(d, 0.0);
  s.dense_row.assign(s.features.width(), 0.0);
  s.group_score.assign(groups, 0.0);
  s.groups_are_arms = groups == s.arms.size();  // groups are numbered in arm order
  s.head_guess = s.longest_head;
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
  std::size_t chosen = kNone;  // the chosen arm's row
  const auto write_head = [&](char* p) {
    p = json::write_uint(text::put(p, kHeadIndex), chosen);
    p = json::write_int(text::put(p, kHeadId), s.arms[chosen].arm_id);
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
    end = write_scored_members(members, s.score_keys, rows, w.data(), query, chosen);
    if (chosen == kNone) return fail("All arms excluded or inactive");
    // The head's length from the row's digits and the member name's identifier.
    std::size_t head_length = kHeadIndex.size() + 1 + kHeadId.size() +
                              (s.score_keys[chosen].length - 4) + kHeadScores.size();
    for (std::size_t rest = chosen; rest >= 10; rest /= 10) ++head_length;
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
    Best<std::size_t> best{kNone};
    const auto select = [&](auto score_of) {
      for (std::size_t r = 0; r < n; ++r) {
        const std::uint32_t g = arm_group[r];
        if (!keys[g].included) continue;
        const double score = score_of(r);
        group_score[g] = score;  // a later arm with the same identifier replaces the earlier one
        best.offer(score, r);
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
    chosen = best.at;
    if (chosen == kNone) return fail("All arms excluded or inactive");
    members = write_head(begin);
    end = json::write_double_members(members, s.score_keys, group_score);
  }
  *members = '{';  // in place of the first member's comma; the chosen arm is one
  end = text::put(end, kTail);
  return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace korvane
