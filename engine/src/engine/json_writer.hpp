// Appenders for the compact JSON that the engine writes. They append to a caller-owned string
// (which may allocate as it grows) and never throw anything but std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::json {

// Quoted and escaped: `"` and `\` with a backslash, \b \t \n \f \r by name, other bytes below
// 0x20 as \u00xx (lowercase hex); everything else, `/` and non-ASCII UTF-8 included, unchanged.
void append_string(std::string& out, std::string_view utf8);

void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// Shortest round-trip digits; fixed notation with at least one fractional digit while the decimal
// exponent is within [-5, 15], otherwise d[.ddd]e(+|-)x. Not-a-number and infinities become null.
void append_double(std::string& out, double value);

// Shortest round-trip digits in plain decimal notation, never an exponent, ".0" when whole
// ("2.0", "0.0000001", "100000000000000000000.0"). For finite values only (as found in messages).
void append_plain_double(std::string& out, double value);

}  // namespace korvane::json
