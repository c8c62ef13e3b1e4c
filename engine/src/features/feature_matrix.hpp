// The feature matrix: one row per arm in document order, total_dims columns wide, with exactly four
// written cells per row (model indicator, prompt indicator, query-length feature, latency feature,
// in ascending column order) and 0.0 everywhere else. Only the written cells are stored; the
// query-length feature is one number per pull and is passed in. Building allocates; reading
// neither allocates nor throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "features/arm_identity.hpp"
#include "features/arm_index_map.hpp"
#include "shared/result.hpp"

namespace korvane {

// ln(max(q, 1)) for a known query length q, 0.0 when it is unknown.
double query_length_feature(std::optional<std::uint32_t> query_length);

// query_length_feature, remembering the last known length's value: a service asks with the same
// lengths again and again, and the logarithm is a library call.
class QueryFeatureCache {
 public:
  double operator()(std::optional<std::uint32_t> query_length) {
    if (!query_length) return 0.0;
    if (*query_length != last_length_) {
      last_feature_ = query_length_feature(query_length);
      last_length_ = *query_length;
    }
    return last_feature_;
  }

 private:
  std::uint64_t last_length_ = ~std::uint64_t{0};  // no length yet: equal to no uint32
  double last_feature_ = 0.0;
};

// arm / bandit when both are present and bandit > 0, else 1.0 (the arm value is not clamped).
double latency_feature(std::optional<double> arm_latency, std::optional<double> bandit_latency);

struct FeatureRow {
  std::array<std::uint32_t, 4> columns{};  // model, prompt, query length, latency: ascending
  double latency = 0.0;                    // the value of the latency cell
};

// The row's score against the weights w: its four cells in column order, the indicator cells'
// products 1.0 * w being w. Equal to the dense dot product whenever every weight is finite.
inline double sparse_score(const FeatureRow& cells, const double* w, double query_feature) {
  double score = 0.0;
  score += w[cells.columns[0]];
  score += w[cells.columns[1]];
  score += query_feature * w[cells.columns[2]];
  score += cells.latency * w[cells.columns[3]];
  return score;
}

class FeatureMatrix {
 public:
  std::size_t num_rows() const { return rows_.size(); }
  std::size_t width() const { return width_; }
  const FeatureRow& row(std::size_t r) const { return rows_[r]; }
  const FeatureRow* rows() const { return rows_.data(); }
  void set_latency(std::size_t r, double value) { rows_[r].latency = value; }

  // Writes row r densely into out: zeros with its four cells. Precondition: out.size() == width().
  void write_row(std::size_t r, double query_feature, std::span<double> out) const;

 private:
  friend Result<FeatureMatrix> build_feature_matrix(std::span<const ArmIndexes>,
                                                    const ArmIndexMap&);
  std::vector<FeatureRow> rows_;
  std::size_t width_ = 0;
};

// One row per identity, from the map built over the same identities; the latency cells start at
// 0.0. Fails with "arm model not in index map" / "arm prompt not in index map" for a foreign map.
Result<FeatureMatrix> build_feature_matrix(std::span<const ArmIdentity> arms,
                                           const ArmIndexMap& index_map);
// The same from the indexes that ArmIndexMap::from_ordered_arms wrote for the arms: no lookups.
Result<FeatureMatrix> build_feature_matrix(std::span<const ArmIndexes> indexes,
                                           const ArmIndexMap& index_map);

}  // namespace korvane
