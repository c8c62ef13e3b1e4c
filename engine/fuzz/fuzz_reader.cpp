// Arbitrary bytes into the sync reader. A refusal must be one located line inside the text; an
// accepted record must hold valid UTF-8 texts and read back identically from its own rewriting.
#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/sync.hpp"
#include "fuzz_checks.hpp"
#include "sync_oracle.hpp"
#include "sync_text.hpp"

namespace {

using korvane::fuzz::require;

void check_texts(const korvane::BanditSync& s, const std::string& input) {
  using korvane::fuzz::valid_utf8;
  require(valid_utf8(s.name), "name is not valid UTF-8", input);
  require(valid_utf8(s.optimization_mode), "optimization_mode is not valid UTF-8", input);
  for (const korvane::ArmSync& a : s.arms) {
    require(valid_utf8(a.model_name) && valid_utf8(a.model_provider) && valid_utf8(a.system_prompt),
            "an arm text is not valid UTF-8", input);
  }
}

// Whether the text is one JSON value, whatever its numbers' magnitude, by the JSON library's own
// document reading over the plain bytes (no byte order mark skipped). Left undecided: texts with
// a NUL byte (that reading stops there) and huge exponents (it refuses them as numbers).
std::optional<bool> is_json(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  rapidjson::MemoryStream bytes(text.data(), text.size());
  rapidjson::Document doc;
  doc.ParseStream<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag |
                  rapidjson::kParseNumbersAsStringsFlag>(bytes);
  if (doc.GetParseError() == rapidjson::kParseErrorNumberTooBig) return std::nullopt;
  return !doc.HasParseError();
}

// Syntax reasons that depend on more than the grammar: number range, depth, surrogate escapes,
// and "trailing characters", which also refuses an extra element of an array form.
bool grammar_reason(std::string_view message) {
  const std::string_view reason = message.substr(0, message.rfind(" at line "));
  if (!korvane::fuzz::is_syntax_reason(reason)) return false;
  return reason != "number out of range" && reason != "recursion limit exceeded" &&
         reason != "invalid unicode code point" &&
         reason != "lone leading surrogate in hex escape" && reason != "trailing characters";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = korvane::parse_bandit_sync(text);
  using Kind = korvane::fuzz::OracleVerdict::Kind;
  const korvane::fuzz::OracleVerdict verdict = korvane::fuzz::oracle_read(text);
  if (verdict.kind == Kind::kAccepted) {
    require(first.has_value(), "a document of the right shape was refused",
            first ? "" : first.error());
    require(korvane::fuzz::same_record(*first, verdict.record),
            "the record differs from the document tree's", std::string(text));
  } else if (verdict.kind == Kind::kRefused) {
    require(!first.has_value(), "a document of the wrong shape was accepted", std::string(text));
  }
  if (!first) {
    korvane::fuzz::check_located_message(first.error(), text);
    if (grammar_reason(first.error())) {
      require(is_json(text) != std::optional<bool>(true), "valid JSON refused as bad syntax",
              first.error());
    }
    return 0;
  }
  const std::string input(text);
  check_texts(*first, input);
  require(is_json(text) != std::optional<bool>(false), "a text that is not JSON was accepted",
          input);

  // The record written out again (every number the reader produced is finite) reads back the same,
  // once plainly and once in a spelling chosen by the input.
  korvane::fuzz::Spelling how;
  const std::size_t pick = std::hash<std::string_view>{}(text);
  how.numbers = static_cast<korvane::fuzz::Spelling::Numbers>(pick % 3);
  how.zeros = (pick >> 2) % 3 == 0 ? (pick >> 4) % 400 : (pick >> 4) % 24;
  how.escape_all = (pick >> 13) & 1;
  how.array_form = (pick >> 14) & 1;
  how.nested = (pick >> 15) & 1;
  for (const korvane::fuzz::Spelling& spelling : {korvane::fuzz::Spelling{}, how}) {
    const std::string rewritten = korvane::fuzz::sync_text(*first, spelling);
    auto second = korvane::parse_bandit_sync(rewritten);
    require(second.has_value(), "the rewritten record is refused",
            second ? rewritten : second.error() + "\n  " + rewritten);
    require(korvane::fuzz::same_record(*first, *second), "the rewritten record reads differently",
            rewritten);
  }
  return 0;
}
