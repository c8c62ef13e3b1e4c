// Copying fixed texts into room the caller sized: the writer's and the pull's one byte helper.
#pragma once

#include <cstring>
#include <string_view>

namespace korvane::text {

// Copies `bytes` to p and returns the end of the copy; the caller sized the buffer.
inline char* put(char* p, std::string_view bytes) noexcept {
  std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}

}  // namespace korvane::text
