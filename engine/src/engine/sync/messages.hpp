// Failure texts of the sync reader: descriptions of found values, the mapping of the JSON reader's
// syntax errors to their reasons, and the final "at line L column C" form.
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

// "integer `<n>`" as written ("-0" as "0"), "floating point `<x>`", "string \"<text>\"".
std::string found_integer(std::string_view number);
std::string found_double(double value);
std::string found_string(std::string_view text);

// The reason and position of a syntax error that the reader reported as `code` at `offset`,
// decided by the bytes around it.
ReadError syntax_error(std::string_view input, rapidjson::ParseErrorCode code, std::size_t offset);

// "<reason> at line <L> column <C>": lines split at line feeds, columns count bytes.
std::string located(std::string_view input, const ReadError& error);

}  // namespace korvane::sync_detail
