// Writers for the compact JSON that the engine writes: strings, integers and doubles, and members
// of an object whose names are rendered once. The append_ functions append to a caller-owned
// string (which may allocate as it grows) and never throw anything but std::bad_alloc; the write_
// functions write at a pointer into room the caller provides, return the end of the text, and
// neither allocate nor throw. This floor knows nothing of arms or scores: it writes what it is
// given (inline_writer.hpp has the same number writing for loops that compute as they write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvane::json {

// Quoted and escaped: `"` and `\` with a backslash, \b \t \n \f \r by name, other bytes below
// 0x20 as \u00xx (lowercase hex); everything else, `/` and non-ASCII UTF-8 included, unchanged.
void append_string(std::string& out, std::string_view utf8);

// The longest integer text, "-9223372036854775808" or "18446744073709551615".
inline constexpr std::size_t kMaxIntegerText = 20;
// The longest double text, "-1.2345678901234567e-308" or "-0.000012345678901234567".
inline constexpr std::size_t kMaxDoubleText = 24;
// The bytes that write_double may touch from its start: its text, then scratch.
inline constexpr std::size_t kDoubleRoom = 40;

// Room: kMaxIntegerText bytes.
char* write_int(char* p, std::int64_t value);
char* write_uint(char* p, std::uint64_t value);

// As append_double below. Room: kDoubleRoom bytes, of which the bytes after the returned end are
// left with unspecified contents; the byte before p is read and written back as it was.
char* write_double(char* p, double value);

// A member name, `,"<name>":` or the like, in a fixed-size slot that is copied whole: the longest
// that the engine writes, `,"-9223372036854775808":`, has 24 bytes. The slot also says whether
// its member is written: the bytes copied past the name are overwritten by the value or are
// scratch.
struct KeySlot {
  char text[30];
  std::uint8_t included;
  std::uint8_t length;
};

// Fills `slot` with the member name `,"<name>":` of an integer name, written or not.
void write_integer_key(KeySlot& slot, std::int64_t name, bool included);

// The scratch that writing a member may touch past its end: a number's or a name slot's.
inline constexpr std::size_t kMemberRoom = kDoubleRoom > sizeof(KeySlot) ? kDoubleRoom
                                                                         : sizeof(KeySlot);

// For every g with keys[g].included, the name in keys[g] then the number values[g] as
// write_double writes it, in order. Room: the text plus kMemberRoom bytes of scratch.
char* write_double_members(char* p, std::span<const KeySlot> keys, const double* values);

void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// Shortest round-trip digits; fixed notation with at least one fractional digit while the decimal
// exponent is within [-5, 15], otherwise d[.ddd]e(+|-)x. Not-a-number and infinities become null.
void append_double(std::string& out, double value);

// Shortest round-trip digits in plain decimal notation, never an exponent, ".0" when whole
// ("2.0", "0.0000001", "100000000000000000000.0"). For finite values only (as found in messages).
void append_plain_double(std::string& out, double value);

}  // namespace korvane::json
