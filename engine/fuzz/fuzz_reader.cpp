// Arbitrary bytes into the sync reader. A refusal must be one located line inside the text; an
// accepted record must hold valid UTF-8 texts and read back identically from its own rewriting.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/sync.hpp"
#include "fuzz_checks.hpp"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = korvane::parse_bandit_sync(text);
  if (!first) {
    korvane::fuzz::check_located_message(first.error(), text);
    return 0;
  }
  const std::string input(text);
  check_texts(*first, input);

  // The record written out again (every number the reader produced is finite) reads back the same.
  const std::string rewritten = korvane::fuzz::sync_text(*first);
  auto second = korvane::parse_bandit_sync(rewritten);
  require(second.has_value(), "the rewritten record is refused",
          second ? rewritten : second.error() + "\n  " + rewritten);
  require(korvane::fuzz::same_record(*first, *second), "the rewritten record reads differently",
          rewritten);
  return 0;
}
