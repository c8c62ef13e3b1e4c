// The two accepted shapes of `cholesky`: a flat array of numbers, or an array of rows of numbers,
// either flattened to the same numbers in document order. The reader collects the value's
// numbers and what its structure admits while it reads; the shape is judged once, at its end.
// Internal to the reader. Nothing here throws; only the message allocates.
#pragma once

#include <string_view>
#include <vector>

#include "shared/result.hpp"

namespace korvane::sync_detail {

inline constexpr std::string_view kShapeMessage =
    "data did not match any variant of untagged enum FlatOrNested";

// The `cholesky` value as the reader collected it: every number in document order, and what its
// structure admits. Either accepted shape flattens to exactly those numbers in that order.
struct FlatOrNested {
  std::vector<double> numbers;
  bool is_array = false;     // the value itself is an array
  bool has_numbers = false;  // some element is a number (flat form)
  bool has_rows = false;     // some element is an array (nested form)
  bool has_other = false;    // something fits neither form: a non-number, an object, deeper arrays
};

// The numbers of a value of either accepted shape, or kShapeMessage (without a position).
Result<std::vector<double>> deserialize_flat_or_nested(FlatOrNested value);

}  // namespace korvane::sync_detail
