#include "engine/json/writer.hpp"

#include <dragonbox/dragonbox.h>
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace {

std::string dbl(double v) {
  std::string s;
  korvane::json::append_double(s, v);
  return s;
}

std::string plain(double v) {
  std::string s;
  korvane::json::append_plain_double(s, v);
  return s;
}

std::string str(std::string_view v) {
  std::string s;
  korvane::json::append_string(s, v);
  return s;
}

TEST(JsonWriter, DoublesSwitchToScientificOutsideTheFixedRange) {
  EXPECT_EQ(dbl(12.0), "12.0");
  EXPECT_EQ(dbl(0.0), "0.0");
  EXPECT_EQ(dbl(-0.0), "-0.0");
  EXPECT_EQ(dbl(123.0), "123.0");
  EXPECT_EQ(dbl(0.25), "0.25");
  EXPECT_EQ(dbl(-2.75), "-2.75");
  EXPECT_EQ(dbl(0.00001), "0.00001");
  EXPECT_EQ(dbl(1e-6), "1e-6");
  EXPECT_EQ(dbl(2.5e-7), "2.5e-7");
  EXPECT_EQ(dbl(1.5e-7), "1.5e-7");
  EXPECT_EQ(dbl(1e15), "1000000000000000.0");
  EXPECT_EQ(dbl(1e16), "1e+16");
  EXPECT_EQ(dbl(-2.5e300), "-2.5e+300");
  EXPECT_EQ(dbl(1000.0), "1000.0");
  EXPECT_EQ(dbl(812.5), "812.5");
  EXPECT_EQ(dbl(-6.374875030534525), "-6.374875030534525");
  EXPECT_EQ(dbl(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(dbl(5e-324), "5e-324");
  EXPECT_EQ(dbl(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
}

// The significant digits of a text, without sign, point, leading zeros or exponent.
std::string significant(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find_first_of("eE"))) {
    if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return digits;
}

TEST(JsonWriter, DoublesRoundTripWithTheShortestDigitsOverRandomBitPatterns) {
  std::mt19937_64 bits(20261208);
  for (int i = 0; i < 50000; ++i) {
    const double v = std::bit_cast<double>(bits());
    if (!std::isfinite(v) || v == 0.0) continue;
    char shortest[64];
    const auto end =
        std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::scientific).ptr;
    for (const std::string& text : {dbl(v), plain(v)}) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
                std::bit_cast<std::uint64_t>(v))
          << text;
      ASSERT_EQ(significant(text), significant({shortest, end})) << text;
    }
  }
}

// The layout rule applied to the standard library's shortest digits.
std::string expected_layout(double v) {
  char sci[64];
  char* end = std::to_chars(sci, sci + sizeof sci - 1, v, std::chars_format::scientific).ptr;
  *end = '\0';
  const std::string_view text(sci, static_cast<std::size_t>(end - sci));
  const std::size_t e = text.find('e');
  const int exponent = std::atoi(text.data() + e + 1);
  if (exponent < -5 || exponent > 15) {
    return std::string(text.substr(0, e)) + (exponent < 0 ? "e-" : "e+") +
           std::to_string(std::abs(exponent));
  }
  char fixed[64];
  end = std::to_chars(fixed, fixed + sizeof fixed, v, std::chars_format::fixed).ptr;
  std::string out(fixed, static_cast<std::size_t>(end - fixed));
  return out.find('.') == std::string::npos ? out + ".0" : out;
}

TEST(JsonWriter, DoublesNearTheFixedRangeFollowTheLayoutRule) {
  std::mt19937_64 bits(20261209);
  std::uniform_int_distribution<int> scale(-9, 19);
  std::uniform_int_distribution<int> digits(1, 17);
  for (int i = 0; i < 200000; ++i) {
    // Short and long significands at every decimal exponent around the switch points.
    const int count = digits(bits);
    const auto significand = static_cast<double>(bits() % 100000000000000000ULL);
    double v = std::nearbyint(significand / std::pow(10.0, 17 - count));
    v = v * std::pow(10.0, scale(bits)) * (bits() % 2 ? 1.0 : -1.0);
    if (v == 0.0 || !std::isfinite(v)) continue;
    ASSERT_EQ(dbl(v), expected_layout(v)) << std::hexfloat << v;
  }
}

TEST(JsonWriter, NonFiniteDoublesAreNull) {
  EXPECT_EQ(dbl(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(dbl(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(dbl(std::nan("")), "null");
}

TEST(JsonWriter, PlainDoublesNeverUseAnExponent) {
  EXPECT_EQ(plain(2.0), "2.0");
  EXPECT_EQ(plain(1.5), "1.5");
  EXPECT_EQ(plain(1e20), "100000000000000000000.0");
  EXPECT_EQ(plain(1e-7), "0.0000001");
  EXPECT_EQ(plain(-0.0), "-0.0");
  EXPECT_EQ(plain(-12.5e-3), "-0.0125");
}

TEST(JsonWriter, StringsEscapeQuotesBackslashesAndControls) {
  EXPECT_EQ(str("line1\nline2 \"q\""), R"("line1\nline2 \"q\"")");
  EXPECT_EQ(str("a\\b/c"), R"("a\\b/c")");
  EXPECT_EQ(str(std::string_view("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(str(std::string_view("\0", 1)), R"("\u0000")");
  EXPECT_EQ(str("\b\t\f\r"), R"("\b\t\f\r")");
  EXPECT_EQ(str("caf\xc3\xa9 \xe2\x80\x94"), "\"caf\xc3\xa9 \xe2\x80\x94\"");
  EXPECT_EQ(str(""), "\"\"");
}

TEST(JsonWriter, IntegersCoverTheFullRange) {
  std::string s;
  korvane::json::append_int(s, std::numeric_limits<std::int64_t>::min());
  s.push_back(',');
  korvane::json::append_uint(s, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(s, "-9223372036854775808,18446744073709551615");
}

}  // namespace
