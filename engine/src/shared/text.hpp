// Byte-level helpers of the reader and the writers.
#pragma once

#include <cstring>
#include <string_view>

namespace korvane::text {

// JSON's four whitespace bytes.
constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Copies `bytes` to p and returns the end of the copy; the caller sized the buffer.
inline char* put(char* p, std::string_view bytes) noexcept {
  std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}

}  // namespace korvane::text
