// The records of a sync document and the reader that fills them.
// parse_bandit_sync never throws for any input bytes (except std::bad_alloc); on failure it returns
// one line "<reason> at line <L> column <C>". On success every text of the records is valid UTF-8.
// It allocates the records and, only for numbers beyond the reader's own limits, a copy of the
// text. Stateless and thread-safe; nesting deeper than 127 levels is refused, so no input grows the
// stack.
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

// The `cholesky` value as the reader collected it: every number in document order, and what its
// structure admits. Either accepted shape flattens to exactly those numbers in that order.
struct FlatOrNested {
  std::vector<double> numbers;
  bool is_array = false;     // the value itself is an array
  bool has_numbers = false;  // some element is a number (flat form)
  bool has_rows = false;     // some element is an array (nested form)
  bool has_other = false;    // something fits neither form: a non-number, an object, deeper arrays
};

// The numbers of a value of either accepted shape, or the shape message (without a position).
// Never throws; allocates only the message.
Result<std::vector<double>> deserialize_flat_or_nested(FlatOrNested value);

// "base": the exploration setting of a document that names none.
std::string default_optimization_mode();

// Takes bytes: text that is not valid UTF-8 is refused.
Result<BanditSync> parse_bandit_sync(std::string_view text);

}  // namespace korvane
