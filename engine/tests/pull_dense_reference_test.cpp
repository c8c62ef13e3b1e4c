// The engine's pull against a plain dense reading of the same rules: a full feature matrix, a
// dense factor product and dense row sums, on many random documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dense_choice.hpp"
#include "engine/engine_core.hpp"
#include "engine/json/writer.hpp"
#include "engine/posterior.hpp"
#include "engine/sample_rng.hpp"
#include "engine/sync.hpp"
#include "features/arm_index_map.hpp"

namespace korvane {
namespace {

class DenseEngine {
 public:
  DenseEngine(const BanditSync& doc, std::uint64_t seed)
      : doc_(doc), rng_(SampleRng::from_seed(seed)) {
    for (const ArmSync& a : doc.arms) {
      arms_.push_back({a.arm_id, a.model_name, a.model_provider, a.system_prompt});
      if (a.is_active) active_.insert(a.arm_id);
      latencies_[a.arm_id] = a.avg_latency_last_n;
    }
    map_ = ArmIndexMap::from_arms(arms_);
    const std::size_t t = map_.total_dims;
    features_.assign(arms_.size() * t, 0.0);
    for (std::size_t r = 0; r < arms_.size(); ++r) {
      features_[r * t + *map_.model_index(arms_[r].model_name, arms_[r].model_provider)] = 1.0;
      features_[r * t + map_.num_models + map_.prompt_to_index.at(arms_[r].system_prompt)] = 1.0;
    }
  }

  std::string pull(std::optional<std::uint32_t> query_length,
                   const std::vector<std::int32_t>& exclude_ids) {
    const std::size_t d = doc_.dimensions;
    const std::string& mode = doc_.optimization_mode;
    const double scale = mode == "explore" ? 1.5 : mode == "maximize" ? 0.5 : 1.0;
    std::vector<double> z(d, 0.0), w(d, 0.0);
    standard_normals(rng_, z);
    for (std::size_t i = 0; i < d; ++i) {
      double acc = 0.0;
      for (std::size_t j = 0; j < d; ++j) acc = acc + doc_.cholesky[i * d + j] * z[j];
      w[i] = doc_.theta[i] + scale * acc;
    }
    const double q = query_length
                         ? std::log(static_cast<double>(std::max<std::uint32_t>(*query_length, 1)))
                         : 0.0;
    const std::size_t m_count = map_.num_models, p_count = map_.num_prompts;
    for (std::size_t a = 0; a < arms_.size(); ++a) {
      const std::size_t m = *map_.model_index(arms_[a].model_name, arms_[a].model_provider);
      features_[a * d + m_count + p_count + m] = q;
      double latency = 1.0;
      const auto it = latencies_.find(arms_[a].arm_id);
      if (it != latencies_.end() && it->second && doc_.avg_latency_last_n &&
          *doc_.avg_latency_last_n > 0.0) {
        latency = *it->second / *doc_.avg_latency_last_n;
      }
      features_[a * d + 2 * m_count + p_count + m] = latency;
    }
    std::vector<std::int64_t> ids;
    for (const auto& arm : arms_) ids.push_back(arm.arm_id);
    return korvane::testing::dense_choice(ids, features_, w, active_, exclude_ids);
  }

 private:
  BanditSync doc_;
  SampleRng rng_;
  std::vector<ArmIdentity> arms_;
  ArmIndexMap map_;
  std::vector<double> features_;
  std::unordered_set<std::int64_t> active_;
  std::unordered_map<std::int64_t, std::optional<double>> latencies_;
};

class RandomDocuments {
 public:
  explicit RandomDocuments(std::uint64_t seed) : gen_(seed) {}

  BanditSync next(bool wild) {
    BanditSync doc;
    doc.bandit_id = pick(-5, 5);
    doc.name = "b" + std::to_string(pick(0, 3));
    const char* modes[] = {"base", "explore", "maximize", "Explore", ""};
    doc.optimization_mode = modes[pick(0, 4)];
    doc.avg_latency_last_n = latency(true);
    const int arms = pick(1, 20);
    for (int i = 0; i < arms; ++i) {
      ArmSync a;
      a.arm_id = pick(-3, 12);
      a.model_name = "m" + std::to_string(pick(0, 7));
      a.model_provider = pick(0, 1) ? "p" : "q";
      a.system_prompt = pick(0, 4) == 0 ? "" : "prompt " + std::to_string(pick(0, 3));
      a.is_active = pick(0, 4) != 0;
      a.avg_latency_last_n = latency(false);
      doc.arms.push_back(std::move(a));
    }
    std::vector<ArmIdentity> ids;
    for (const ArmSync& a : doc.arms) {
      ids.push_back({a.arm_id, a.model_name, a.model_provider, a.system_prompt});
    }
    const std::size_t d = ArmIndexMap::from_arms(ids).total_dims;
    doc.dimensions = d;
    for (std::size_t i = 0; i < d + pick(0, 2); ++i) doc.theta.push_back(value(wild, 0.3, 0.0));
    const bool full = pick(0, 3) == 0;  // otherwise lower triangular
    const double density = std::uniform_real_distribution<double>(0.1, 1.0)(gen_);
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = 0; j < d; ++j) {
        const bool zero = (!full && j > i) || !coin(density);
        doc.cholesky.push_back(zero ? (coin(0.5) ? 0.0 : -0.0) : value(wild, 1.0, 0.05));
      }
    }
    return doc;
  }

  std::optional<std::uint32_t> query() {
    switch (pick(0, 6)) {
      case 0:
        return std::nullopt;
      case 1:
        return 0;
      case 2:
        return 1;
      case 3:
        return 100;
      case 4:
        return 4294967295u;
      default:
        return std::uniform_int_distribution<std::uint32_t>()(gen_);
    }
  }

  std::vector<std::int32_t> exclusions() {
    std::vector<std::int32_t> ids(static_cast<std::size_t>(pick(0, 3)));
    for (auto& id : ids) id = pick(-4, 13);
    return ids;
  }

  std::uint64_t seed() { return gen_(); }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen_); }
  bool coin(double p) { return std::bernoulli_distribution(p)(gen_); }

  // Mostly ordinary numbers; the rest from the edges of the double range, zeros of both signs
  // and, for wild documents, infinities and NaN.
  double value(bool wild, double spread, double edge_share) {
    if (!coin(wild ? 0.15 : edge_share)) {
      return std::uniform_real_distribution<double>(-spread, spread)(gen_);
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double edges[] = {0.0,
                            -0.0,
                            1e-300,
                            -1e-300,
                            5e-324,
                            -5e-324,
                            1e300,
                            -1e300,
                            1e-160,
                            -1e-160,
                            1.7976931348623157e308,
                            inf,
                            -inf,
                            std::numeric_limits<double>::quiet_NaN()};
    return edges[pick(0, wild ? 13 : 10)];
  }

  std::optional<double> latency(bool bandit) {
    switch (pick(0, 6)) {
      case 0:
        return std::nullopt;
      case 1:
        return 0.0;
      case 2:
        return bandit ? -1.0 : -50.0;
      case 3:
        return bandit ? 1e-300 : 1e300;
      default:
        return std::uniform_real_distribution<double>(1.0, 500.0)(gen_);
    }
  }

  std::mt19937_64 gen_;
};

std::string pull_text(BanditEngineCore& core, std::optional<std::uint32_t> q,
                      const std::vector<std::int32_t>& exclude) {
  auto r = core.pull(q, exclude);
  return r ? *r : "error: " + r.error();
}

TEST(PullDenseReference, RandomDocumentsGiveIdenticalResults) {
  RandomDocuments random(20240611);
  int non_finite_results = 0;
  for (int doc_index = 0; doc_index < 3000; ++doc_index) {
    const BanditSync doc = random.next(doc_index % 2 == 1);
    const std::uint64_t seed = random.seed();
    DenseEngine reference(doc, seed);
    auto core = BanditEngineCore::from_sync(BanditSync(doc), seed);
    ASSERT_TRUE(core) << core.error();
    for (int p = 0; p < 4; ++p) {
      const auto q = random.query();
      const auto exclude = random.exclusions();
      const std::string expected = reference.pull(q, exclude);
      ASSERT_EQ(pull_text(*core, q, exclude), expected)
          << "document " << doc_index << " pull " << p;
      non_finite_results += expected.find("null") != std::string::npos;
    }
  }
  EXPECT_GT(non_finite_results, 500);  // the dense fallback was exercised
}

}  // namespace
}  // namespace korvane
