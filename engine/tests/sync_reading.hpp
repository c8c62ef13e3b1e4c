// Helpers shared by the reader's tests: the outcome of a read as one comparable string, or the
// records.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/sync.hpp"

namespace korvane::testing {

// "accepted", or the reader's one-line message.
inline std::string message(std::string_view doc) {
  auto result = parse_bandit_sync(doc);
  return result ? "accepted" : result.error();
}

// The records of a document that must be accepted; a refusal fails the calling test.
inline BanditSync read(std::string_view doc) {
  auto result = parse_bandit_sync(doc);
  if (!result) {
    ADD_FAILURE() << doc << " -> " << result.error();
    return BanditSync{};
  }
  return *std::move(result);
}

}  // namespace korvane::testing
