// Fixed documents, seeds and pull scripts whose every result text must match golden/pulls.txt byte
// for byte, on every platform the tests run on (x86_64 natively; 32-bit and 64-bit ARM and s390x
// under qemu; Windows, as MinGW-w64 builds it, under Wine).
//
// The golden file is written once, on x86_64, by the same test in its writing mode:
//   KORVANE_WRITE_GOLDEN=1 korvane_tests --gtest_filter='PlatformPulls.*'
// Rewrite it only for an intended change of the results, and review the diff line by line.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "engine/engine_core.hpp"

namespace korvane {
namespace {

const std::filesystem::path kGolden =
    std::filesystem::path(__FILE__).parent_path() / "golden" / "pulls.txt";

// Printf's %.17g is exact for the binary fractions the factors are made of, on any C library.
std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// A decimal that is not a binary fraction, so the reader's rounding takes part: "-0.7", "0.13".
std::string decimal(int hundredths) {
  const int magnitude = hundredths < 0 ? -hundredths : hundredths;
  std::string text = hundredths < 0 ? "-" : "";
  text += std::to_string(magnitude / 100) + ".";
  text += magnitude % 100 < 10 ? "0" + std::to_string(magnitude % 100)
                               : std::to_string(magnitude % 100);
  return text;
}

std::string arm(std::int64_t id, const std::string& model, const std::string& provider,
                const std::string& prompt, const std::string& more = "") {
  return R"({"arm_id":)" + std::to_string(id) + R"(,"model_name":")" + model +
         R"(","model_provider":")" + provider + R"(","system_prompt":")" + prompt + "\"" + more +
         "}";
}

std::string list(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? "," : "") + items[i];
  return text + "]";
}

std::string vector_text(std::size_t d, int (*hundredths)(std::size_t)) {
  std::vector<std::string> values;
  for (std::size_t i = 0; i < d; ++i) values.push_back(decimal(hundredths(i)));
  return list(values);
}

// A full d x d factor, entries above the diagonal included, flat or as rows.
std::string factor_text(std::size_t d, double (*entry)(std::size_t, std::size_t), bool nested) {
  std::vector<std::string> rows;
  std::vector<std::string> flat;
  for (std::size_t i = 0; i < d; ++i) {
    std::vector<std::string> row;
    for (std::size_t j = 0; j < d; ++j) row.push_back(number(entry(i, j)));
    flat.insert(flat.end(), row.begin(), row.end());
    rows.push_back(list(row));
  }
  return nested ? list(rows) : list(flat);
}

std::string document(std::int64_t id, const std::string& name, std::size_t d,
                     const std::string& theta, const std::string& cholesky,
                     const std::vector<std::string>& arms, const std::string& more = "") {
  return R"({"bandit_id":)" + std::to_string(id) + R"(,"name":")" + name + R"(","theta":)" + theta +
         R"(,"cholesky":)" + cholesky + R"(,"dimensions":)" + std::to_string(d) + more +
         R"(,"arms":)" + list(arms) + "}";
}

struct Pull {
  std::optional<std::uint32_t> query_length;
  std::vector<std::int32_t> exclude_ids;
};
struct Refresh {
  std::string text;
};
using Step = std::variant<Pull, Refresh>;

struct Script {
  std::string label;
  std::string text;
  std::optional<std::uint64_t> seed;
  std::vector<Step> steps;
};

// One model and prompt, d = 4, given in the array form with a nested factor.
Script single() {
  return {"single",
          R"([1,"single",[0.1,0.2,0.3,0.4],[[1,0,0,0],[0,1,0,0],[0,0,1,0],[0,0,0,1]],4,"base",)"
          R"(null,[[1,"m","p","s"]]])",
          0,
          {Pull{100, {}}, Pull{100, {}}, Pull{}, Pull{0, {}}, Pull{1, {}}, Pull{4294967295u, {}},
           Pull{7, {1}}, Pull{7, {2, -1}}}};
}

// Three models (one name under two providers), two prompts: d = 11. Latencies against a reference
// of 250: a fraction, a multiple, absent, on an inactive arm, negative.
Script latencies() {
  const std::string prompt_a = "Be brief.";
  const std::string prompt_b = R"(Explain step by step.\n\"Cite\" sources.)";
  const std::vector<std::string> arms = {
      arm(10, "m-a", "p1", prompt_a, R"(,"avg_latency_last_n":120.5)"),
      arm(11, "m-b", "p1", prompt_a, R"(,"avg_latency_last_n":480,"is_prompt_templated":true)"),
      arm(12, "m-a", "p2", prompt_b, R"(,"avg_latency_last_n":null)"),
      arm(13, "m-b", "p1", prompt_b, R"(,"is_active":false,"avg_latency_last_n":0.1)"),
      arm(14, "m-a", "p1", prompt_b, R"(,"avg_latency_last_n":-50)"),
  };
  const auto theta = [](std::size_t i) { return static_cast<int>((i * 37) % 41) - 20; };
  const auto lower = [](std::size_t i, std::size_t j) {
    if (j > i) return 0.0;
    if (j == i) return 0.5 + static_cast<double>(i % 3) / 8;
    return static_cast<double>(static_cast<int>((i * 5 + j * 3) % 9) - 4) / 32;
  };
  const std::string second =
      document(-77, "second life", 7, "[0.3,-0.2,0.25,0.1,-0.4,0.05,0.6]",
               factor_text(
                   7, [](std::size_t i, std::size_t j) { return i == j ? 0.75 : 0.0; }, false),
               {arm(20, "x", "p", "q", R"(,"avg_latency_last_n":30)"), arm(21, "y", "p", "q")},
               R"(,"optimization_mode":"maximize","avg_latency_last_n":60)");
  return {"latencies",
          document(42, "latency mix", 11, vector_text(11, theta), factor_text(11, lower, true),
                   arms, R"(,"optimization_mode":"explore","avg_latency_last_n":250)"),
          42,
          {Pull{12, {}}, Pull{512, {}}, Pull{2048, {10}}, Pull{2048, {13}}, Pull{1, {10, 11}},
           Pull{100000, {}}, Pull{3, {10, 11, 12, 14}}, Pull{},
           Refresh{document(42, "empty", 11, "[]", "[]", {})}, Pull{64, {}}, Refresh{second},
           Pull{64, {}}, Pull{9, {21}}, Pull{9, {20}}, Pull{}}};
}

// Ten models and ten prompts: d = 40, twelve arms, a dense factor, seeded from the identifier and
// the (non-ASCII) name; the identifier needs more than 32 bits.
Script wide() {
  std::vector<std::string> arms;
  for (int i = 0; i < 12; ++i) {
    const std::int64_t id = (i % 2 ? -1 : 1) * (1000 + 7 * i);
    std::string more = R"(,"avg_latency_last_n":)" + std::to_string(50 + (i * 37) % 400) + ".3";
    if (i == 4 || i == 9) more += R"(,"is_active":false)";
    arms.push_back(arm(id, "model-" + std::to_string(i % 10), i % 10 < 5 ? "east" : "west",
                       "prompt " + std::to_string((i * 3) % 10), more));
  }
  const auto theta = [](std::size_t i) { return static_cast<int>((i * 17) % 23) * 7 - 80; };
  const auto dense = [](std::size_t i, std::size_t j) {
    if (i == j) return 0.5 + static_cast<double>(i % 5) / 8;
    if (j < i) return static_cast<double>(static_cast<int>((i * 7 + j * 13) % 9) - 4) / 32;
    return (i + j) % 11 == 0 ? 1.0 / 64 : 0.0;
  };
  return {"wide",
          document(-9000000000, "Kundendienst \xc2\xb7 \xce\xa9", 40, vector_text(40, theta),
                   factor_text(40, dense, false), arms,
                   R"(,"optimization_mode":"maximize","avg_latency_last_n":333.3)"),
          std::nullopt,
          {Pull{10, {}}, Pull{250, {}}, Pull{250, {1000}}, Pull{5000, {-1007, 1014, -1021}}, Pull{},
           Pull{2, {}}, Pull{65536, {1028, 1042}}, Pull{123456789, {}}, Pull{31, {-1035}},
           Pull{31, {}}}};
}

// Shared identifiers, extreme identifiers, a reference latency of 0 and a mode that only looks
// like "explore"; d = 11 is odd, so the last deviate comes from a pair of its own.
Script duplicates() {
  const std::vector<std::string> arms = {
      arm(-5, "a", "p", "s", R"(,"is_active":false,"avg_latency_last_n":10)"),
      arm(-5, "b", "p", "s"),
      arm(-2147483648, "c", "p", "t", R"(,"avg_latency_last_n":1e-7)"),
      arm(9223372036854775807, "a", "p", "t", R"(,"avg_latency_last_n":2.5e+3)"),
      arm(-5, "c", "p", "s", R"(,"avg_latency_last_n":99)"),
  };
  const auto theta = [](std::size_t i) { return static_cast<int>(i * 13 % 17) * 3 - 25; };
  return {"duplicates",
          document(-1, "", 11, vector_text(11, theta),
                   factor_text(
                       11, [](std::size_t i, std::size_t j) { return i >= j ? 0.25 : 0.0; }, true),
                   arms, R"(,"optimization_mode":"Explore","avg_latency_last_n":0)"),
          18446744073709551615u,
          {Pull{8, {}}, Pull{8, {-5}}, Pull{8, {-5, -2147483648}}, Pull{1000, {2147483647}}, Pull{},
           Pull{8, {-5, -2147483648, -1}}}};
}

// A zero factor and huge means: scores of +infinity and not-a-number, written as null.
Script extremes() {
  return {"extremes",
          document(3, "edges", 7, "[1.7e308,-1.6e308,1.6e308,-1.7e308,0.5,-1.7e308,-0.25]",
                   factor_text(
                       7, [](std::size_t, std::size_t) { return 0.0; }, false),
                   {arm(1, "a", "p", "s"), arm(2, "b", "p", "s")}),
          5,
          {Pull{}, Pull{1000000, {}}, Pull{1000000, {2}}}};
}

std::string exclusion_text(const std::vector<std::int32_t>& ids) {
  std::string text = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) text += (i ? "," : "") + std::to_string(ids[i]);
  return text + "]";
}

// Every outcome of a script, one line each: construction, pulls, refreshes and the arms documents.
void run(const Script& script, std::ostream& out) {
  auto built = BanditEngineCore::construct(script.text, script.seed);
  if (!built) {
    out << script.label << " build error: " << built.error() << '\n';
    return;
  }
  BanditEngineCore& core = *built;
  out << script.label << " arms " << core.get_arms_json() << '\n';
  int index = 0;
  for (const Step& step : script.steps) {
    out << script.label << ' ' << ++index;
    if (const auto* pull = std::get_if<Pull>(&step)) {
      out << " q="
          << (pull->query_length ? std::to_string(*pull->query_length) : std::string("none"))
          << " x=" << exclusion_text(pull->exclude_ids) << ' ';
      const auto result = core.pull(pull->query_length, pull->exclude_ids);
      out << (result ? *result : "error: " + result.error()) << '\n';
    } else {
      const auto refreshed = core.refresh(std::get<Refresh>(step).text);
      out << " refresh " << (refreshed ? "arms " + core.get_arms_json() : refreshed.error())
          << '\n';
    }
  }
}

std::string all_outcomes() {
  std::ostringstream out;
  for (const Script& script : {single(), latencies(), wide(), duplicates(), extremes()}) {
    run(script, out);
  }
  return out.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PlatformPulls, OutcomesMatchTheGoldenFileByteForByte) {
  const std::string outcomes = all_outcomes();
  if (std::getenv("KORVANE_WRITE_GOLDEN") != nullptr) {
#if defined(__x86_64__) || defined(_M_X64)
    std::ofstream(kGolden, std::ios::binary) << outcomes;
    GTEST_SKIP() << "wrote " << kGolden;
#else
    FAIL() << "the golden file is written on x86_64 only";
#endif
  }
  std::ifstream in(kGolden, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << kGolden;
  const std::string golden{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

  const std::vector<std::string> expected = lines_of(golden);
  const std::vector<std::string> actual = lines_of(outcomes);
  for (std::size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
    EXPECT_EQ(actual[i], expected[i])
        << "line " << i + 1 << " (a last-digit change can come from the C library's log, sin, cos)";
  }
  EXPECT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(outcomes == golden) << "the texts differ (line ends or a final line feed)";
}

}  // namespace
}  // namespace korvane
