// Reading sync documents of 10, 100, 1,000 and 10,000 arms (2 x 5, 5 x 20, 20 x 50 and 100 x 100
// models x prompts), each with a dense `cholesky` of the matching width d = 3 * models + prompts
// (11, 35, 110, 400), written as nested rows of shortest round-trip doubles, as the service sends
// them.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>

#include "engine/sync.hpp"

namespace {

void append_number(std::string& out, double value) {
  char buf[32];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string sync_text(int models, int prompts) {
  std::mt19937_64 gen(static_cast<std::uint64_t>(models) * 1000 +
                      static_cast<std::uint64_t>(prompts));
  std::uniform_real_distribution<double> weight(-1.0, 1.0);
  std::uniform_real_distribution<double> latency(50.0, 900.0);
  const int d = 3 * models + prompts;
  std::string out = R"({"bandit_id": 42, "name": "support-router", "theta": [)";
  for (int i = 0; i < d; ++i) {
    if (i) out.append(", ");
    append_number(out, weight(gen));
  }
  out.append(R"(], "cholesky": [)");
  for (int r = 0; r < d; ++r) {
    out.append(r ? ", [" : "[");
    for (int c = 0; c < d; ++c) {
      if (c) out.append(", ");
      append_number(out, weight(gen));
    }
    out.push_back(']');
  }
  out.append(R"(], "dimensions": )" + std::to_string(d) +
             R"(, "optimization_mode": "explore", "avg_latency_last_n": 412.5, "arms": [)");
  std::int64_t id = 1;
  for (int m = 0; m < models; ++m) {
    for (int p = 0; p < prompts; ++p) {
      if (id > 1) out.append(", ");
      out.append(R"({"arm_id": )" + std::to_string(id++) + R"(, "model_name": "model-)" +
                 std::to_string(m) + R"(", "model_provider": "provider-)" + std::to_string(m % 3) +
                 R"(", "system_prompt": "You are a helpful assistant for support topic )" +
                 std::to_string(p) +
                 R"(. Answer briefly.", "is_prompt_templated": false, "is_active": true, )"
                 R"("avg_latency_last_n": )");
      append_number(out, latency(gen));
      out.push_back('}');
    }
  }
  out.append("]}");
  return out;
}

void BM_ParseBanditSync(benchmark::State& state) {
  const int models = static_cast<int>(state.range(0));
  const int prompts = static_cast<int>(state.range(1));
  const std::string text = sync_text(models, prompts);
  for (auto _ : state) {
    auto result = korvane::parse_bandit_sync(text);
    if (!result) {
      state.SkipWithError(result.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.counters["arms"] = models * prompts;
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}

BENCHMARK(BM_ParseBanditSync)->Args({2, 5})->Args({5, 20})->Args({20, 50})->Args({100, 100});

}  // namespace
