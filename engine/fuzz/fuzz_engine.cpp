// A fuzzed document and a fuzzed script of pulls, refreshes and arms listings on the engine.
// Input: the document, then optionally "\n%%\n" and the script, then "\n%%\n"-separated documents
// that the script's refreshes use in turn. The script's first byte picks the seed (0xff: none).
//
// Two engines are built from the same document and seed: `engine` runs the whole script, `twin`
// skips every refused refresh. Both must agree after every step, so a refused refresh that leaves
// a trace (in the arms listing, a getter or the next pull) shows up as a difference. Every output
// must parse as JSON and agree with the document it came from.
#include <rapidjson/document.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/engine_core.hpp"
#include "engine/sync.hpp"
#include "fuzz_checks.hpp"
#include "shared/result.hpp"
#include "sync_text.hpp"

namespace {

using korvane::BanditEngineCore;
using korvane::BanditSync;
using korvane::fuzz::finding;
using korvane::fuzz::require;

constexpr std::string_view kSeparator = "\n%%\n";
constexpr std::size_t kMaxSteps = 48;

std::vector<std::string_view> split(std::string_view data) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = data.find(kSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(data.substr(0, at));
    data.remove_prefix(at + kSeparator.size());
  }
  parts.push_back(data);
  return parts;
}

class Script {
 public:
  explicit Script(std::string_view bytes) : bytes_(bytes) {}
  bool done() const { return pos_ >= bytes_.size(); }
  std::uint8_t byte() {
    return pos_ < bytes_.size() ? static_cast<std::uint8_t>(bytes_[pos_++]) : 0;
  }
  std::uint32_t word() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(byte()) << (8 * k);
    return v;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

struct PullArgs {
  std::optional<std::uint32_t> query_length;
  std::vector<std::int32_t> exclude_ids;
};

PullArgs read_pull(Script& script) {
  PullArgs args;
  const std::uint8_t p = script.byte();
  switch (p & 7) {
    case 0:
      break;
    case 1:
      args.query_length = 0;
      break;
    case 2:
      args.query_length = 1;
      break;
    case 3:
      args.query_length = 100;
      break;
    case 4:
      args.query_length = 4294967295u;
      break;
    default:
      args.query_length = script.word();
  }
  for (int k = (p >> 3) & 3; k > 0; --k) {
    const std::uint8_t e = script.byte();
    args.exclude_ids.push_back(e & 0x80 ? static_cast<std::int32_t>(script.word())
                                        : static_cast<std::int32_t>(e) - 16);
  }
  return args;
}

std::string outcome(BanditEngineCore& core, const PullArgs& args) {
  try {
    auto r = core.pull(args.query_length, args.exclude_ids);
    return r ? *r : "error: " + r.error();
  } catch (const korvane::InternalError& e) {
    finding("pull on a built engine broke an invariant", e.what());
  }
}

// What the arms listing must say, derived from the accepted document.
struct ExpectedArm {
  std::int64_t arm_id;
  const korvane::ArmSync* arm;
  bool active;
  std::optional<double> latency;
};

std::vector<ExpectedArm> expected_arms(const BanditSync& doc) {
  std::unordered_set<std::int64_t> active;
  std::unordered_map<std::int64_t, std::optional<double>> latency;
  for (const korvane::ArmSync& a : doc.arms) {
    if (a.is_active) active.insert(a.arm_id);
    latency[a.arm_id] = a.avg_latency_last_n;
  }
  std::vector<ExpectedArm> out;
  for (const korvane::ArmSync& a : doc.arms) {
    out.push_back({a.arm_id, &a, active.count(a.arm_id) > 0, latency[a.arm_id]});
  }
  return out;
}

bool parse_double(std::string_view text, double& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool parse_int(std::string_view text, std::int64_t& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// Numbers stay text, so they are compared exactly rather than through the JSON library's rounding.
constexpr unsigned kJsonFlags =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;

std::string_view str(const rapidjson::Value& v) {
  return {v.GetString(), v.GetStringLength()};
}

void check_arms_json(const std::string& text, const std::vector<ExpectedArm>& expected) {
  rapidjson::Document doc;
  doc.Parse<kJsonFlags>(text.data(), text.size());
  require(!doc.HasParseError() && doc.IsArray(), "arms listing is not a JSON array", text);
  require(doc.Size() == expected.size(), "arms listing has the wrong length", text);
  static constexpr std::string_view kKeys[] = {"arm_id",        "model_name", "model_provider",
                                               "system_prompt", "is_active",  "avg_latency_last_n"};
  for (rapidjson::SizeType i = 0; i < doc.Size(); ++i) {
    const rapidjson::Value& obj = doc[i];
    require(obj.IsObject() && obj.MemberCount() == 6, "arm entry is not a six-member object", text);
    std::size_t k = 0;
    for (auto m = obj.MemberBegin(); m != obj.MemberEnd(); ++m, ++k) {
      require(str(m->name) == kKeys[k], "arm entry members out of order", text);
    }
    const ExpectedArm& e = expected[i];
    std::int64_t id = 0;
    require(obj["arm_id"].IsString() && parse_int(str(obj["arm_id"]), id) && id == e.arm_id,
            "arm_id differs from the document", text);
    require(obj["model_name"].IsString() && str(obj["model_name"]) == e.arm->model_name &&
                obj["model_provider"].IsString() &&
                str(obj["model_provider"]) == e.arm->model_provider &&
                obj["system_prompt"].IsString() &&
                str(obj["system_prompt"]) == e.arm->system_prompt,
            "arm texts differ from the document", text);
    require(obj["is_active"].IsBool() && obj["is_active"].GetBool() == e.active,
            "is_active differs from the document", text);
    const rapidjson::Value& lat = obj["avg_latency_last_n"];
    if (e.latency && std::isfinite(*e.latency)) {
      double v = 0.0;
      require(
          lat.IsString() && parse_double(str(lat), v) && korvane::fuzz::same_bits(v, *e.latency),
          "latency differs from the document", text);
      require(str(lat) == korvane::fuzz::number_text(v), "latency not in its shortest text", text);
    } else {
      require(lat.IsNull(), "an absent latency is not null", text);
    }
  }
}

void check_pull(const std::string& result, const PullArgs& args,
                const std::vector<ExpectedArm>& arms) {
  std::unordered_set<std::int64_t> excluded(args.exclude_ids.begin(), args.exclude_ids.end());
  std::unordered_set<std::int64_t> eligible;
  for (const ExpectedArm& a : arms) {
    if (a.active && !excluded.count(a.arm_id)) eligible.insert(a.arm_id);
  }
  if (result.rfind("error: ", 0) == 0) {
    require(result == "error: All arms excluded or inactive", "unexpected pull error", result);
    return;
  }
  rapidjson::Document doc;
  doc.Parse<kJsonFlags>(result.data(), result.size());
  require(!doc.HasParseError() && doc.IsObject() && doc.MemberCount() == 3,
          "pull result is not a three-member JSON object", result);
  auto m = doc.MemberBegin();
  require(str(m->name) == "arm_index" && str((m + 1)->name) == "arm_id" &&
              str((m + 2)->name) == "scores",
          "pull result members out of order", result);
  std::int64_t index = -1, id = 0;
  require(m->value.IsString() && parse_int(str(m->value), index) && index >= 0 &&
              static_cast<std::size_t>(index) < arms.size(),
          "arm_index outside the arms", result);
  require((m + 1)->value.IsString() && parse_int(str((m + 1)->value), id) &&
              id == arms[static_cast<std::size_t>(index)].arm_id,
          "arm_id is not the arm at arm_index", result);
  require(eligible.count(id) > 0, "the chosen arm is inactive or excluded", result);

  const rapidjson::Value& scores = (m + 2)->value;
  require(scores.IsObject() && scores.MemberCount() == eligible.size(),
          "scores do not list exactly the eligible arms", result);
  std::unordered_map<std::int64_t, std::optional<double>> score_of;
  for (auto s = scores.MemberBegin(); s != scores.MemberEnd(); ++s) {
    std::int64_t key = 0;
    require(parse_int(str(s->name), key) && eligible.count(key) > 0 && !score_of.count(key),
            "a scores member names no eligible arm, or one twice", result);
    std::optional<double> value;
    if (!s->value.IsNull()) {
      double v = 0.0;
      require(s->value.IsString() && parse_double(str(s->value), v) && std::isfinite(v),
              "a score is neither a finite number nor null", result);
      require(str(s->value) == korvane::fuzz::number_text(v), "a score not in its shortest text",
              result);
      value = v;
    }
    score_of[key] = value;
  }

  // With distinct identifiers every listed score is the arm's own: the choice is the first
  // highest, and a finite choice is at least every other finite score.
  std::unordered_set<std::int64_t> seen;
  for (const ExpectedArm& a : arms) {
    if (!seen.insert(a.arm_id).second) return;
  }
  const std::optional<double> best = score_of[id];
  if (!best) return;  // +infinity, printed as null
  for (std::size_t r = 0; r < arms.size(); ++r) {
    const auto it = score_of.find(arms[r].arm_id);
    if (it == score_of.end() || !it->second) continue;
    require(*it->second <= *best, "an arm scoring higher was not chosen", result);
    if (r < static_cast<std::size_t>(index)) {
      require(*it->second < *best, "an earlier arm with the same score was not chosen", result);
    }
  }
}

void check_same(BanditEngineCore& engine, BanditEngineCore& twin, std::string_view what) {
  require(engine.bandit_id() == twin.bandit_id() && engine.bandit_name() == twin.bandit_name() &&
              engine.dimensions() == twin.dimensions() && engine.num_arms() == twin.num_arms(),
          what, "getters differ");
  const std::string a = engine.get_arms_json();
  const std::string b = twin.get_arms_json();
  require(a == b, what, a + "\n  " + b);
}

// A refusal by the reader is located in its text; a refusal of a read document is one line.
void check_build_failure(std::string_view text, const std::string& message) {
  auto read = korvane::parse_bandit_sync(text);
  if (!read) {
    require(message == read.error(), "build refused with another message than the reader's",
            message);
    korvane::fuzz::check_located_message(message, text);
    return;
  }
  require(!message.empty() && message.find('\n') == std::string::npos &&
              korvane::fuzz::valid_utf8(message),
          "build failure is not one line of text", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts =
      split(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view first = parts[0];
  Script script(parts.size() > 1 ? parts[1] : std::string_view("\x00\x00\x00\x02", 4));
  const std::uint8_t seed_byte = script.byte();
  const std::optional<std::uint64_t> seed =
      seed_byte == 0xff ? std::nullopt : std::optional<std::uint64_t>(seed_byte);

  auto built = BanditEngineCore::construct(first, seed);
  if (!built) {
    check_build_failure(first, built.error());
    return 0;
  }
  auto twin_built = BanditEngineCore::construct(first, seed);
  require(twin_built.has_value(), "the same document built once and refused once");
  BanditEngineCore engine = std::move(*built);
  BanditEngineCore twin = std::move(*twin_built);

  BanditSync current = *korvane::parse_bandit_sync(first);
  std::vector<ExpectedArm> arms = expected_arms(current);
  check_arms_json(engine.get_arms_json(), arms);

  std::size_t next_refresh = 2;
  for (std::size_t step = 0; step < kMaxSteps && !script.done(); ++step) {
    const std::uint8_t op = script.byte();
    switch (op % 5) {
      case 0: {
        const PullArgs args = read_pull(script);
        const std::string a = outcome(engine, args);
        const std::string b = outcome(twin, args);
        require(a == b, "engine and twin pull differently", a + "\n  " + b);
        check_pull(a, args, arms);
        break;
      }
      case 1:
      case 4: {
        std::string_view text;
        if (op % 5 == 1 && parts.size() > 2) {
          text = parts[next_refresh];
          next_refresh = next_refresh + 1 < parts.size() ? next_refresh + 1 : 2;
        } else {
          // A cut of the first document: mostly refused, sometimes still whole.
          const std::size_t cut = first.size() * script.byte() / 255;
          text = first.substr(0, cut);
        }
        auto refreshed = engine.refresh(text);
        if (refreshed) {
          auto also = twin.refresh(text);
          require(also.has_value(), "the same refresh accepted once and refused once");
          current = *korvane::parse_bandit_sync(text);
          arms = expected_arms(current);
          check_same(engine, twin, "engine and twin differ after the same refresh");
          check_arms_json(engine.get_arms_json(), arms);
        } else {
          check_build_failure(text, refreshed.error());
          check_same(engine, twin, "a refused refresh changed the engine");
          const PullArgs args;
          const std::string a = outcome(engine, args);
          const std::string b = outcome(twin, args);
          require(a == b, "a refused refresh changed the next pull", a + "\n  " + b);
          check_pull(a, args, arms);
        }
        break;
      }
      case 2:
        check_arms_json(engine.get_arms_json(), arms);
        check_same(engine, twin, "engine and twin list their arms differently");
        break;
      default:
        require(engine.bandit_id() == current.bandit_id && engine.bandit_name() == current.name &&
                    engine.dimensions() == current.dimensions &&
                    engine.num_arms() == current.arms.size(),
                "a getter differs from the accepted document");
        check_same(engine, twin, "engine and twin report differently");
    }
  }
  return 0;
}
