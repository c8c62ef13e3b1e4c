// Pull and construction at three bandit sizes, each with a dense lower-triangular factor:
// 4 models x 3 prompts (12 arms, d = 15), 32 x 32 (1,024 arms, d = 128), 100 x 100 (10,000 arms,
// d = 400).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_core.hpp"
#include "engine/json/writer.hpp"
#include "engine/sync.hpp"

namespace {

using korvane::BanditEngineCore;
using korvane::BanditSync;

BanditSync bench_document(int models, int prompts) {
  std::mt19937_64 gen(static_cast<std::uint64_t>(models) * 1000 + prompts);
  std::uniform_real_distribution<double> small(-0.1, 0.1);
  BanditSync doc;
  doc.bandit_id = 42;
  doc.name = "bench";
  doc.optimization_mode = "base";
  doc.avg_latency_last_n = 250.0;
  std::int64_t id = 1;
  for (int m = 0; m < models; ++m) {
    for (int p = 0; p < prompts; ++p) {
      korvane::ArmSync arm;
      arm.arm_id = id++;
      arm.model_name = "model-" + std::to_string(m);
      arm.model_provider = "provider-" + std::to_string(m % 3);
      arm.system_prompt = "You are assistant number " + std::to_string(p) + ". Be brief.";
      arm.avg_latency_last_n = 100.0 + 10.0 * m;
      doc.arms.push_back(std::move(arm));
    }
  }
  const std::size_t d = static_cast<std::size_t>(3 * models + prompts);
  doc.dimensions = d;
  for (std::size_t i = 0; i < d; ++i) doc.theta.push_back(small(gen));
  doc.cholesky.assign(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < i; ++j) doc.cholesky[i * d + j] = small(gen);
    doc.cholesky[i * d + i] = 0.5 + small(gen);
  }
  return doc;
}

// The same document as sync text, cholesky in the flat form.
std::string document_text(const BanditSync& doc) {
  namespace json = korvane::json;
  std::string out = "{\"bandit_id\":";
  json::append_int(out, doc.bandit_id);
  out += ",\"name\":";
  json::append_string(out, doc.name);
  out += ",\"optimization_mode\":";
  json::append_string(out, doc.optimization_mode);
  out += ",\"avg_latency_last_n\":";
  json::append_double(out, *doc.avg_latency_last_n);
  out += ",\"dimensions\":";
  json::append_uint(out, doc.dimensions);
  for (const auto* list : {&doc.theta, &doc.cholesky}) {
    out += list == &doc.theta ? ",\"theta\":[" : "],\"cholesky\":[";
    for (std::size_t i = 0; i < list->size(); ++i) {
      if (i) out += ',';
      json::append_double(out, (*list)[i]);
    }
  }
  out += "],\"arms\":[";
  for (std::size_t i = 0; i < doc.arms.size(); ++i) {
    const korvane::ArmSync& arm = doc.arms[i];
    out += i ? ",{\"arm_id\":" : "{\"arm_id\":";
    json::append_int(out, arm.arm_id);
    out += ",\"model_name\":";
    json::append_string(out, arm.model_name);
    out += ",\"model_provider\":";
    json::append_string(out, arm.model_provider);
    out += ",\"system_prompt\":";
    json::append_string(out, arm.system_prompt);
    out += ",\"is_prompt_templated\":false,\"is_active\":true,\"avg_latency_last_n\":";
    json::append_double(out, *arm.avg_latency_last_n);
    out += '}';
  }
  return out + "]}";
}

const BanditSync& document_for(int models) {
  static const BanditSync small = bench_document(4, 3);
  static const BanditSync medium = bench_document(32, 32);
  static const BanditSync large = bench_document(100, 100);
  return models == 4 ? small : models == 32 ? medium : large;
}

void set_counters(benchmark::State& state, std::size_t arms) {
  state.counters["arms"] = static_cast<double>(arms);
  state.counters["ns_per_arm"] =
      benchmark::Counter(static_cast<double>(arms), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

void BM_Pull(benchmark::State& state) {
  const BanditSync& doc = document_for(static_cast<int>(state.range(0)));
  auto core = BanditEngineCore::from_sync(BanditSync(doc), 7);
  const std::vector<std::int32_t> exclude = {3, 5};
  for (auto _ : state) {
    auto result = core->pull(100, exclude);
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, doc.arms.size());
}
BENCHMARK(BM_Pull)->Arg(4)->Arg(32)->Arg(100);

void BM_Construct(benchmark::State& state) {
  const BanditSync& doc = document_for(static_cast<int>(state.range(0)));
  const std::string text = document_text(doc);
  for (auto _ : state) {
    auto core = BanditEngineCore::construct(text, 7);
    benchmark::DoNotOptimize(core);
  }
  set_counters(state, doc.arms.size());
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_Construct)->Arg(4)->Arg(32)->Arg(100)->Unit(benchmark::kMicrosecond);

// Without reading the text: the cost of building the state alone.
void BM_ConstructFromRecords(benchmark::State& state) {
  const BanditSync& doc = document_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    BanditSync copy = doc;
    state.ResumeTiming();
    auto core = BanditEngineCore::from_sync(std::move(copy), 7);
    benchmark::DoNotOptimize(core);
  }
  set_counters(state, doc.arms.size());
}
BENCHMARK(BM_ConstructFromRecords)->Arg(4)->Arg(32)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
