// `dimensions` is read into the platform's size type, so its range follows the platform's width.
#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>

#include "engine/engine_core.hpp"
#include "engine/sync.hpp"
#include "sync_reading.hpp"

namespace korvane {
namespace {

using testing::message;
using testing::read;

constexpr bool kThirtyTwoBit = sizeof(std::size_t) == 4;
static_assert(sizeof(std::size_t) == 4 || sizeof(std::size_t) == 8);

// A document whose `dimensions` is the given spelling and which reads fine otherwise.
std::string with_dimensions(const std::string& spelling) {
  return R"({"bandit_id":1,"name":"b","theta":[0.5],"cholesky":[1],"dimensions":)" + spelling +
         R"(,"arms":[{"arm_id":1,"model_name":"m","model_provider":"p","system_prompt":"s"}]})";
}

// The column just after the `dimensions` value, where an out-of-range value is reported.
std::string refusal(const std::string& spelling) {
  const std::string doc = with_dimensions(spelling);
  const std::size_t column = doc.find(spelling) + spelling.size();
  return "invalid value: integer `" + spelling + "`, expected usize at line 1 column " +
         std::to_string(column);
}

TEST(PlatformWidth, DimensionsBeyondThirtyTwoBitsFollowTheSizeType) {
  const std::string big = "4294967296";
  if constexpr (kThirtyTwoBit) {
    EXPECT_EQ(message(with_dimensions(big)), refusal(big));
    EXPECT_EQ(message(with_dimensions("18446744073709551615")), refusal("18446744073709551615"));
  } else {
    EXPECT_EQ(read(with_dimensions(big)).dimensions, std::size_t{1} << 32);
    EXPECT_EQ(read(with_dimensions("18446744073709551615")).dimensions,
              std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(message(with_dimensions("18446744073709551616")), refusal("18446744073709551616"));
  }
}

TEST(PlatformWidth, TheLargestSizeIsReadOnEveryPlatform) {
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(read(with_dimensions(std::to_string(max))).dimensions, max);
  EXPECT_EQ(read(with_dimensions("4294967295")).dimensions, std::size_t{4294967295u});
  EXPECT_EQ(message(with_dimensions(std::to_string(max) + "0")),
            refusal(std::to_string(max) + "0"));
  EXPECT_EQ(message(with_dimensions("-1")), refusal("-1"));
}

TEST(PlatformWidth, AnEngineRefusesAnOversizedDimensionsWithoutWrapping) {
  // Read as 2^32 on 64 bits, it must not wrap to 0 and then pass for some small width.
  const auto core = BanditEngineCore::construct(with_dimensions("4294967296"), 0);
  ASSERT_FALSE(core);
  if constexpr (kThirtyTwoBit) {
    EXPECT_EQ(core.error(), refusal("4294967296"));
  } else {
    EXPECT_EQ(core.error(), "dimensions 4294967296 does not match the feature width 4 of the arms");
  }
}

}  // namespace
}  // namespace korvane
