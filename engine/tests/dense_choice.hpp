// The last steps of a plain dense pull, shared by the dense reference test and the differential
// fuzz target: each score as a full dot product in column order, the first best eligible arm,
// and the result text with each eligible id at its first occurrence and its last arm's score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/json/writer.hpp"

namespace korvane::testing {

inline std::string dense_choice(const std::vector<std::int64_t>& ids,
                                const std::vector<double>& features, const std::vector<double>& w,
                                const std::unordered_set<std::int64_t>& active,
                                const std::vector<std::int32_t>& exclude_ids) {
  const std::size_t d = w.size();
  const std::unordered_set<std::int64_t> excluded(exclude_ids.begin(), exclude_ids.end());
  std::unordered_map<std::int64_t, double> result;
  std::vector<std::int64_t> order;  // first eligible occurrence of each identifier
  double best = -std::numeric_limits<double>::infinity();
  std::optional<std::size_t> chosen;
  for (std::size_t a = 0; a < ids.size(); ++a) {
    double score = 0.0;
    for (std::size_t j = 0; j < d; ++j) score = score + features[a * d + j] * w[j];
    const std::int64_t id = ids[a];
    if (!active.count(id) || excluded.count(id)) continue;
    if (!result.count(id)) order.push_back(id);
    result[id] = score;
    if (score > best) {
      best = score;
      chosen = a;
    }
  }
  if (!chosen) return "error: All arms excluded or inactive";
  std::string out = "{\"arm_index\":" + std::to_string(*chosen) +
                    ",\"arm_id\":" + std::to_string(ids[*chosen]) + ",\"scores\":{";
  for (std::size_t k = 0; k < order.size(); ++k) {
    out += (k ? ",\"" : "\"") + std::to_string(order[k]) + "\":";
    json::append_double(out, result[order[k]]);
  }
  return out + "}}";
}

}  // namespace korvane::testing
