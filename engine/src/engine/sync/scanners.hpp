// The fast scanners: the usual spelling of `theta`, `cholesky` and the arms (plain numbers, plain
// keys and texts, literals), read in one pass over the document straight into the records. Each
// returns the offset where the JSON reader takes over, which the handler moves it to, or kNone
// for a value that only the reader reads, reporting any fault exactly. They are pure: no state,
// nothing thrown but std::bad_alloc; offsets index the document `input`.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "engine/sync.hpp"

namespace korvane::sync_detail {

// The closing bracket of the array of plain numbers opened at `open`, its numbers appended to
// `out`; kNone when anything else is there (some numbers may have been appended then).
std::size_t number_row(std::string_view input, std::size_t open, std::vector<double>& out);

// The same for an array of such rows, flattened in order.
std::size_t number_rows(std::string_view input, std::size_t open, std::vector<double>& out);

// The closing brace of the arm object opened at `open` when it is in the usual spelling (plain
// keys and texts, decimals, literals, every required field once), read into `arm`; kNone
// for anything else, which is left to the reader.
std::size_t arm_end(std::string_view input, std::size_t open, ArmSync& arm);

// The arms array opened at `open`: its leading objects in the usual spelling appended to `arms`.
// Returns where the reader resumes, at the closing bracket or at the first arm that it has to read
// itself, so that it meets every separator and fault after an element as it would have; kNone
// when that is the first element (nothing appended).
std::size_t take_arms(std::string_view input, std::size_t open, std::vector<ArmSync>& arms);

}  // namespace korvane::sync_detail
