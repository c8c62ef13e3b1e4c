// Consistent engine states built from fuzz bytes (arms, dimensions, theta and cholesky with huge,
// subnormal, infinite and NaN entries), pulled by the engine and by a plain dense computation
// written here from the rules alone: its own generator, index map, full feature matrix and full
// factor product. The result texts must be identical, bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../tests/dense_choice.hpp"
#include "engine/engine_core.hpp"
#include "engine/json/writer.hpp"
#include "engine/sync.hpp"
#include "fuzz_checks.hpp"
#include "shared/result.hpp"
#include "sync_text.hpp"

namespace {

using korvane::ArmSync;
using korvane::BanditEngineCore;
using korvane::BanditSync;
using korvane::fuzz::finding;
using korvane::fuzz::require;

constexpr double kInf = std::numeric_limits<double>::infinity();

double fuzzed_value(FuzzedDataProvider& in, bool wild) {
  const int kind = in.ConsumeIntegralInRange<int>(0, wild ? 23 : 11);
  switch (kind) {
    case 0:
      return 0.0;
    case 1:
      return -0.0;
    case 2:
      return 1.0;
    case 3:
      return -1.0;
    case 4:
      return std::numeric_limits<double>::denorm_min();
    case 5:
      return -std::numeric_limits<double>::min();
    case 6:  // any subnormal
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>() & 0x800fffffffffffffULL);
    case 12:
      return 1e308;
    case 13:
      return -std::numeric_limits<double>::max();
    case 14:
      return std::numeric_limits<double>::max();
    case 15:
      return kInf;
    case 16:
      return -kInf;
    case 17:
      return std::numeric_limits<double>::quiet_NaN();
    case 18:
      return -std::numeric_limits<double>::quiet_NaN();
    case 19:  // any bits at all: signalling NaNs, payloads, every exponent
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 20:
      return 1e-160;
    default:
      return in.ConsumeFloatingPointInRange<double>(-2.0, 2.0);
  }
}

std::optional<double> fuzzed_latency(FuzzedDataProvider& in, bool wild) {
  if (in.ConsumeBool()) return std::nullopt;
  if (in.ConsumeBool()) return in.ConsumeFloatingPointInRange<double>(-10.0, 1000.0);
  return fuzzed_value(in, wild);
}

std::string fuzzed_text(FuzzedDataProvider& in, const char* const* pool, int count) {
  const int k = in.ConsumeIntegralInRange<int>(0, count);
  if (k < count) return pool[k];
  return in.ConsumeRandomLengthString(12);
}

constexpr const char* kModels[] = {"m0", "m1", "m2", "m3", "", "ml"};
constexpr const char* kProviders[] = {"p", "q", ""};
constexpr const char* kPrompts[] = {"", "a", "b", "Be brief.", "p\n\"q\"", "日本"};
constexpr const char* kModes[] = {"base", "explore", "maximize", "Explore", "", "explore "};

// The index map, read directly from its rules: columns in order of first appearance among the
// arms sorted by ascending arm_id (stable), models by (name, provider), prompts by text.
struct Columns {
  std::map<std::pair<std::string, std::string>, std::size_t> model;
  std::map<std::string, std::size_t> prompt;
  std::size_t total = 0;
};

Columns columns_of(const std::vector<ArmSync>& arms) {
  std::vector<const ArmSync*> order;
  for (const ArmSync& a : arms) order.push_back(&a);
  std::stable_sort(order.begin(), order.end(),
                   [](const ArmSync* a, const ArmSync* b) { return a->arm_id < b->arm_id; });
  Columns c;
  for (const ArmSync* a : order) {
    c.model.try_emplace({a->model_name, a->model_provider}, c.model.size());
    c.prompt.try_emplace(a->system_prompt, c.prompt.size());
  }
  c.total = 3 * c.model.size() + c.prompt.size();
  return c;
}

class DenseReference {
 public:
  DenseReference(const BanditSync& doc, std::optional<std::uint64_t> seed)
      : doc_(doc), columns_(columns_of(doc.arms)) {
    std::uint64_t x = seed ? *seed : default_seed(doc.bandit_id, doc.name);
    for (std::uint64_t& word : s_) {
      x += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
    for (const ArmSync& a : doc.arms) {
      if (a.is_active) active_.insert(a.arm_id);
      latency_[a.arm_id] = a.avg_latency_last_n;
    }
    const std::size_t d = doc.dimensions;
    features_.assign(doc.arms.size() * d, 0.0);
    for (std::size_t r = 0; r < doc.arms.size(); ++r) {
      const ArmSync& a = doc.arms[r];
      features_[r * d + columns_.model.at({a.model_name, a.model_provider})] = 1.0;
      features_[r * d + columns_.model.size() + columns_.prompt.at(a.system_prompt)] = 1.0;
    }
  }

  std::string pull(std::optional<std::uint32_t> query_length,
                   const std::vector<std::int32_t>& exclude_ids) {
    const std::size_t d = doc_.dimensions;
    const std::string& mode = doc_.optimization_mode;
    const double scale = mode == "explore" ? 1.5 : mode == "maximize" ? 0.5 : 1.0;
    std::vector<double> z(d, 0.0), w(d, 0.0);
    for (std::size_t i = 0; i < d; i += 2) {
      double u1 = next_f64();
      while (u1 <= 0.0) u1 = next_f64();
      const double u2 = next_f64();
      const double r = std::sqrt(std::log(u1) * -2.0);
      const double angle = u2 * 6.283185307179586;
      z[i] = r * std::cos(angle);
      if (i + 1 < d) z[i + 1] = r * std::sin(angle);
    }
    for (std::size_t i = 0; i < d; ++i) {
      double acc = 0.0;
      for (std::size_t j = 0; j < d; ++j) acc = acc + doc_.cholesky[i * d + j] * z[j];
      w[i] = doc_.theta[i] + scale * acc;
    }
    const double q = query_length
                         ? std::log(static_cast<double>(std::max<std::uint32_t>(*query_length, 1)))
                         : 0.0;
    const std::size_t models = columns_.model.size(), prompts = columns_.prompt.size();
    const std::optional<double> bandit = doc_.avg_latency_last_n;
    for (std::size_t a = 0; a < doc_.arms.size(); ++a) {
      const ArmSync& arm = doc_.arms[a];
      const std::size_t m = columns_.model.at({arm.model_name, arm.model_provider});
      features_[a * d + models + prompts + m] = q;
      const std::optional<double> own = latency_.at(arm.arm_id);
      features_[a * d + 2 * models + prompts + m] =
          own && bandit && *bandit > 0.0 ? *own / *bandit : 1.0;
    }
    std::vector<std::int64_t> ids;
    for (const auto& arm : doc_.arms) ids.push_back(arm.arm_id);
    return korvane::testing::dense_choice(ids, features_, w, active_, exclude_ids);
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t default_seed(std::int64_t id, const std::string& name) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return h ^ static_cast<std::uint64_t>(id);
  }
  double next_f64() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return static_cast<double>(result >> 11) * 1.1102230246251565e-16;
  }

  BanditSync doc_;
  Columns columns_;
  std::uint64_t s_[4] = {};
  std::unordered_set<std::int64_t> active_;
  std::unordered_map<std::int64_t, std::optional<double>> latency_;
  std::vector<double> features_;
};

BanditSync fuzzed_document(FuzzedDataProvider& in) {
  BanditSync doc;
  const bool wild = in.ConsumeBool();
  doc.bandit_id = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(-3, 3)
                                   : in.ConsumeIntegral<std::int64_t>();
  doc.name = in.ConsumeRandomLengthString(8);
  doc.optimization_mode = kModes[in.ConsumeIntegralInRange<int>(0, 5)];
  doc.avg_latency_last_n = fuzzed_latency(in, wild);
  const int arms = in.ConsumeIntegralInRange<int>(1, 10);
  for (int i = 0; i < arms; ++i) {
    ArmSync a;
    a.arm_id = in.ConsumeIntegralInRange<int>(0, 9) == 0 ? in.ConsumeIntegral<std::int64_t>()
                                                         : in.ConsumeIntegralInRange<int>(-2, 6);
    a.model_name = fuzzed_text(in, kModels, 6);
    a.model_provider = fuzzed_text(in, kProviders, 3);
    a.system_prompt = fuzzed_text(in, kPrompts, 6);
    a.is_active = in.ConsumeIntegralInRange<int>(0, 4) != 0;
    a.avg_latency_last_n = fuzzed_latency(in, wild);
    doc.arms.push_back(std::move(a));
  }
  const std::size_t d = columns_of(doc.arms).total;
  doc.dimensions = d;
  const std::size_t extra_theta = in.ConsumeIntegralInRange<std::size_t>(0, 2);
  for (std::size_t i = 0; i < d + extra_theta; ++i) doc.theta.push_back(fuzzed_value(in, wild));
  const int shape = in.ConsumeIntegralInRange<int>(0, 3);  // lower, full, diagonal, zero
  const double density = in.ConsumeProbability<double>();
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) {
      const bool kept = shape == 1 || (shape == 0 && j <= i) || (shape == 2 && j == i);
      const bool zero = !kept || in.ConsumeProbability<double>() > density;
      doc.cholesky.push_back(zero ? (in.ConsumeBool() ? 0.0 : -0.0) : fuzzed_value(in, wild));
    }
  }
  for (std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, 2); k > 0; --k) {
    doc.cholesky.push_back(fuzzed_value(in, wild));
  }
  return doc;
}

std::string outcome(BanditEngineCore& core, std::optional<std::uint32_t> q,
                    const std::vector<std::int32_t>& exclude) {
  try {
    auto r = core.pull(q, exclude);
    return r ? *r : "error: " + r.error();
  } catch (const korvane::InternalError& e) {
    finding("pull on a consistent engine broke an invariant", e.what());
  }
}

bool writable_as_text(const BanditSync& doc) {
  using korvane::fuzz::valid_utf8;
  const auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  const auto finite_latency = [](const std::optional<double>& v) {
    return !v || std::isfinite(*v);
  };
  if (!finite(doc.theta) || !finite(doc.cholesky) || !finite_latency(doc.avg_latency_last_n) ||
      !valid_utf8(doc.name)) {
    return false;
  }
  return std::all_of(doc.arms.begin(), doc.arms.end(), [&](const ArmSync& a) {
    return finite_latency(a.avg_latency_last_n) && valid_utf8(a.model_name) &&
           valid_utf8(a.model_provider) && valid_utf8(a.system_prompt);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const BanditSync doc = fuzzed_document(in);
  const std::optional<std::uint64_t> seed =
      in.ConsumeBool() ? std::nullopt
                       : std::optional<std::uint64_t>(in.ConsumeIntegral<std::uint64_t>());

  auto built = BanditEngineCore::from_sync(BanditSync(doc), seed);
  require(built.has_value(), "a consistent document was refused", built ? "" : built.error());
  BanditEngineCore engine = std::move(*built);
  DenseReference reference(doc, seed);

  // The same document as text must give the same engine: the reader keeps every finite value.
  std::optional<BanditEngineCore> from_text;
  if (writable_as_text(doc)) {
    korvane::fuzz::Spelling how;
    how.numbers = static_cast<korvane::fuzz::Spelling::Numbers>(in.ConsumeIntegralInRange(0, 2));
    how.zeros = in.ConsumeIntegralInRange<std::size_t>(0, 40);
    how.escape_all = in.ConsumeBool();
    how.array_form = in.ConsumeBool();
    how.nested = in.ConsumeBool();
    const std::string text = korvane::fuzz::sync_text(doc, how);
    auto read = BanditEngineCore::construct(text, seed);
    require(read.has_value(), "the document written as text was refused",
            read ? text : read.error() + "\n  " + text);
    from_text.emplace(std::move(*read));
  }

  const int pulls = in.ConsumeIntegralInRange<int>(1, 6);
  for (int p = 0; p < pulls; ++p) {
    std::optional<std::uint32_t> q;
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        break;
      case 1:
        q = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
        break;
      case 2:
        q = 4294967295u;
        break;
      default:
        q = in.ConsumeIntegral<std::uint32_t>();
    }
    std::vector<std::int32_t> exclude(in.ConsumeIntegralInRange<std::size_t>(0, 3));
    for (std::int32_t& id : exclude) id = in.ConsumeIntegralInRange<std::int32_t>(-2, 6);
    const std::string expected = reference.pull(q, exclude);
    const std::string got = outcome(engine, q, exclude);
    require(got == expected, "engine and dense reference differ", got + "\n  " + expected);
    if (from_text) {
      const std::string again = outcome(*from_text, q, exclude);
      require(again == got, "the engine read from text differs", again + "\n  " + got);
    }
  }
  return 0;
}
