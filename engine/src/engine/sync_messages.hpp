// Internal to the sync reader: number text conversion, descriptions of found values, the mapping of
// the JSON reader's syntax errors to their reasons, and the final "at line L column C" form.
// Nothing here throws except std::bad_alloc; positions are byte offsets into the document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <rapidjson/error/error.h>

namespace korvane::sync_detail {

// A failure before it is located: `consumed` is the number of bytes of the document taken when it
// was noticed (for a refused byte, the bytes up to and including it).
struct ReadError {
  std::string reason;
  std::size_t consumed = 0;
};

// Integer when written without fraction or exponent; `number` is a valid JSON number.
bool is_integer_spelling(std::string_view number) noexcept;

// Correctly rounded; a value below the smallest subnormal becomes a signed zero. False when the
// magnitude exceeds the double range (out untouched).
bool number_to_double(std::string_view number, double& out) noexcept;

// The longest JSON number at `start`: `end` is one past it, or, when incomplete (a sign, point or
// exponent marker without its digits), the offset of the byte that ends it wrongly.
struct NumberScan {
  std::size_t end;
  bool complete;
};
NumberScan scan_number(std::string_view input, std::size_t start) noexcept;

// "integer `<n>`" as written ("-0" as "0"), "floating point `<x>`", "string \"<text>\"".
std::string found_integer(std::string_view number);
std::string found_double(double value);
std::string found_string(std::string_view text);

// True when decoded UTF-8 holds an encoded surrogate (only an escape can have put it there).
bool has_encoded_surrogate(std::string_view decoded) noexcept;
// End offset of the first \u escape in input[from, to) that is a low surrogate without its high
// half; `to` when there is none.
std::size_t lone_trailing_surrogate_end(std::string_view input, std::size_t from,
                                        std::size_t to) noexcept;

// The reason and position of a syntax error that the reader reported as `code` at `offset`,
// decided by the bytes around it.
ReadError syntax_error(std::string_view input, rapidjson::ParseErrorCode code, std::size_t offset);

// "<reason> at line <L> column <C>": lines split at line feeds, columns count bytes.
std::string located(std::string_view input, const ReadError& error);

}  // namespace korvane::sync_detail
