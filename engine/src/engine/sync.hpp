// The sync reader's public face: the records of a sync document and the function that fills them.
// What a caller may rely on:
// - parse_bandit_sync never throws for any input bytes (except std::bad_alloc). On failure it
//   returns one line "<reason> at line <L> column <C>" (lines split at line feeds, columns count
//   bytes) and nothing else is kept; on success every text of the records is valid UTF-8.
// - The reasons are part of the contract, and they name types as they stand: "struct BanditSync",
//   "struct ArmSync", "i64", "usize", "f64", "a sequence" and "untagged enum FlatOrNested" for
//   the two shapes of `cholesky` ("invalid type: string \"7\", expected i64 at line 1 column 17").
//   Callers show them to users and match on them; they change only with the document format.
// - It allocates the records and, only for numbers beyond the JSON reader's own limits, a copy
//   of the text. Stateless and thread-safe; nesting deeper than 127 levels is refused, so no input
//   grows the stack.
// The reader's pieces live in sync/ (reader.cpp defines what is declared here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/result.hpp"

namespace korvane {

struct ArmSync {
  std::int64_t arm_id = 0;
  std::string model_name;
  std::string model_provider;
  std::string system_prompt;
  bool is_prompt_templated = false;
  bool is_active = true;
  std::optional<double> avg_latency_last_n;
};

struct BanditSync {
  std::int64_t bandit_id = 0;
  std::string name;
  std::vector<double> theta;
  std::vector<double> cholesky;  // row-major, flattened from either accepted shape
  std::size_t dimensions = 0;
  std::string optimization_mode;
  std::optional<double> avg_latency_last_n;
  std::vector<ArmSync> arms;
};

// "base": the exploration setting of a document that names none.
std::string default_optimization_mode();

// Takes bytes: text that is not valid UTF-8 is refused.
Result<BanditSync> parse_bandit_sync(std::string_view text);

}  // namespace korvane
