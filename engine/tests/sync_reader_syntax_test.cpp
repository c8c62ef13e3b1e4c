// Malformed text, escapes and UTF-8, number range edges, the nesting limit and trailing text.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/sync.hpp"
#include "sync_reading.hpp"

namespace {

using korvane::BanditSync;
using korvane::parse_bandit_sync;

using korvane::testing::message;
using korvane::testing::read;

// A valid document whose name is the given JSON string literal.
std::string named(std::string_view literal) {
  return R"({"bandit_id": 1, "theta": [], "cholesky": [], "dimensions": 0, "name": )" +
         std::string(literal) + "}";
}

// A valid document whose theta is the given JSON array text.
std::vector<double> theta_of(std::string_view array) {
  return read(R"({"bandit_id": 1, "name": "b", "cholesky": [], "dimensions": 0, "theta": )" +
              std::string(array) + "}")
      .theta;
}

struct Case {
  std::string_view text;
  std::string_view expected;
};

TEST(SyncReaderSyntax, EveryReasonWithTheColumnOfTheRefusedByte) {
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {R"({"x": )", "EOF while parsing a value at line 1 column 6"},
      {R"({"x": [1,)", "EOF while parsing a value at line 1 column 9"},
      {R"({"x": tr)", "EOF while parsing a value at line 1 column 8"},
      {R"({"x": -)", "EOF while parsing a value at line 1 column 7"},
      {R"({"x": 1.)", "EOF while parsing a value at line 1 column 8"},
      {R"({"x": [1)", "EOF while parsing a list at line 1 column 8"},
      {R"({"x": [ )", "EOF while parsing a list at line 1 column 8"},
      {R"({"x": 1)", "EOF while parsing an object at line 1 column 7"},
      {R"({"x")", "EOF while parsing an object at line 1 column 4"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"x": "ab)", "EOF while parsing a string at line 1 column 9"},
      {R"({"x": "a\)", "EOF while parsing a string at line 1 column 9"},
      {R"({"x": "\u12)", "EOF while parsing a string at line 1 column 11"},
      {R"({"x": "\uD800)", "EOF while parsing a string at line 1 column 13"},
      {R"({"x": "\uD800\)", "EOF while parsing a string at line 1 column 14"},
      {R"({"x" 1})", "expected `:` at line 1 column 6"},
      {R"({"x": [1 2]})", "expected `,` or `]` at line 1 column 10"},
      {R"({"x": 1 "y": 2})", "expected `,` or `}` at line 1 column 9"},
      {R"({"x": nul})", "expected ident at line 1 column 10"},
      {R"({"x": truE})", "expected ident at line 1 column 10"},
      {R"({"x": })", "expected value at line 1 column 7"},
      {R"({"x": [}})", "expected value at line 1 column 8"},
      {R"({"x": @})", "expected value at line 1 column 7"},
      {"]", "expected value at line 1 column 1"},
      {R"({"x": "\q"})", "invalid escape at line 1 column 9"},
      {R"({"x": 01})", "invalid number at line 1 column 8"},
      {R"({"x": -01})", "invalid number at line 1 column 9"},
      {R"({"x": 1.e3})", "invalid number at line 1 column 9"},
      {R"({"x": 1e+})", "invalid number at line 1 column 10"},
      {R"({"x": -a})", "invalid number at line 1 column 8"},
      {R"({"x": 1e400})", "number out of range at line 1 column 11"},
      {R"({"x": -1e400})", "number out of range at line 1 column 12"},
      {R"({"x": "\uDC00"})", "invalid unicode code point at line 1 column 13"},
      {"{\"x\": \"a\nb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{\"x\": \"\x01\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {std::string_view("{\"x\": \"a\0b\"}", 12),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {R"({1: 2})", "key must be a string at line 1 column 2"},
      {R"({"x": 1, 2})", "key must be a string at line 1 column 10"},
      {R"({"x": "\uD800"})", "lone leading surrogate in hex escape at line 1 column 14"},
      {R"({"x": "\uD800\n"})", "lone leading surrogate in hex escape at line 1 column 15"},
      {R"({"x": "\uD800\u0041"})", "lone leading surrogate in hex escape at line 1 column 19"},
      {R"({"x": [1,]})", "trailing comma at line 1 column 10"},
      {R"({"x": 1,})", "trailing comma at line 1 column 9"},
      {R"({"x": "\u12"})", "unexpected end of hex escape at line 1 column 12"},
      {R"({"x": "\u12G4"})", "unexpected end of hex escape at line 1 column 12"},
      {R"({"x": "\uD83D\uDE0"})", "unexpected end of hex escape at line 1 column 19"},
      {std::string_view("{\"x\": 1\0}", 9), "expected `,` or `}` at line 1 column 8"},
  };
  for (const Case& c : cases) EXPECT_EQ(message(c.text), c.expected) << c.text;
}

TEST(SyncReaderSyntax, HugeExponentsAndLoneTrailingSurrogatesAreRefusedAtTheirByte) {
  const Case cases[] = {
      // The exponent passes 2147483647 at its tenth digit; a smaller one is judged at the end.
      {R"({"x": 1e99999999999999999999})", "number out of range at line 1 column 18"},
      {R"({"x": -1.5E+214748364700})", "number out of range at line 1 column 23"},
      {R"({"x": 1e2147483647})", "number out of range at line 1 column 18"},
      {"{\n\"x\": 1e99999999999999999999}", "number out of range at line 2 column 17"},
      {R"({"bandit_id": 1e99999999999})", "number out of range at line 1 column 26"},
      // A trailing half alone is refused where its escape ends, whatever follows it.
      {R"({"x": "a\uDC00\uD800"})", "invalid unicode code point at line 1 column 14"},
      {R"({"x": "\uDFFF\q"})", "invalid unicode code point at line 1 column 13"},
      {R"({"x": "\uDC00)", "invalid unicode code point at line 1 column 13"},
      {R"({"\udc00": 1})", "invalid unicode code point at line 1 column 8"},
      {"{\n\"x\": \"a\\uDC00\\uD800\"}", "invalid unicode code point at line 2 column 13"},
  };
  for (const Case& c : cases) EXPECT_EQ(message(c.text), c.expected) << c.text;
  // A zero mantissa or a negative exponent still reads, as a signed zero.
  const std::string passing = "99999999999999999999";
  const std::vector<double> t = theta_of("[0e" + passing + ", -0.000e+" + passing + ", 1e-" +
                                         passing + ", -25e-" + passing + "]");
  ASSERT_EQ(t.size(), 4u);
  for (std::size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i], 0.0) << i;
    EXPECT_EQ(std::signbit(t[i]), i % 2 == 1) << i;
  }
}

TEST(SyncReaderSyntax, TextAfterTheDocumentIsRefused) {
  const std::string doc =
      R"({"bandit_id": 1, "name": "b", "theta": [], "cholesky": [], "dimensions": 0})";
  EXPECT_EQ(message(doc + " \t\r\n"), "accepted");
  EXPECT_EQ(message(" \n" + doc), "accepted");
  EXPECT_EQ(message(doc + " x"), "trailing characters at line 1 column 77");
  EXPECT_EQ(message(doc + doc), "trailing characters at line 1 column 76");
  EXPECT_EQ(message(doc + "\n\f"), "trailing characters at line 2 column 1");
  EXPECT_EQ(message(doc + std::string(1, '\0')), "trailing characters at line 1 column 76");
}

TEST(SyncReaderText, EscapesDecodeToUtf8) {
  EXPECT_EQ(read(named(R"("\"\\\/\b\f\n\r\t")")).name, "\"\\/\b\f\n\r\t");
  EXPECT_EQ(read(named(R"("\u00e9\u20AC\ud83d\ude00")")).name, "é€😀");
  EXPECT_EQ(read(named(R"("\u0000")")).name, std::string(1, '\0'));
  EXPECT_EQ(read(named(R"("")")).name, "");
  EXPECT_EQ(read(named("\"raw é€😀 \x7f\"")).name, "raw é€😀 \x7f");
}

// Strings are passed over a machine word at a time: a byte that ends the plain run (quote, escape,
// non-ASCII, control) is found at every offset within and across words, in the document's texts and
// in an arm's.
TEST(SyncReaderText, EveryByteThatEndsAPlainRunIsFoundAtEveryOffset) {
  const std::string arm_head = R"([1, "b", [], [], 0, "m", null, [[1, ")";  // 37 bytes
  for (std::size_t before = 0; before < 18; ++before) {
    const std::string lead(before, 'a');
    for (const auto& [literal, text] : {std::pair<std::string, std::string>{R"(\")", "\""},
                                        {R"(\\)", "\\"},
                                        {"é", "é"},
                                        {R"(\u0041)", "A"},
                                        {"", ""}}) {
      const std::string value = lead + literal + "zz";
      EXPECT_EQ(read(named("\"" + value + "\"")).name, lead + text + "zz") << value;
      const BanditSync s = read(arm_head + value + R"(", "p", "s"]]])");
      ASSERT_EQ(s.arms.size(), 1u) << value;
      EXPECT_EQ(s.arms[0].model_name, lead + text + "zz") << value;
    }
    // `{"bandit_id": 1, ... "name": "` is 72 bytes.
    EXPECT_EQ(message(named("\"" + lead + "\x1f\"")),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(73 + before))
        << before;
    EXPECT_EQ(message(arm_head + lead + "\x7f\xff\"]]]"),
              "invalid unicode code point at line 1 column " + std::to_string(39 + before))
        << before;
  }
}

TEST(SyncReaderText, InvalidUtf8IsRefusedWhereItStarts) {
  // `{"bandit_id": 1, ... "name": "` is 72 bytes, so the first text byte is column 73.
  for (std::string_view bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80",
                               "\xFF", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(message(named("\"" + std::string(bad) + "\"")),
              "invalid unicode code point at line 1 column 73")
        << testing::PrintToString(bad);
  }
  EXPECT_EQ(message("\xEF\xBB\xBF{}"), "expected value at line 1 column 1");
}

TEST(SyncReaderNumbers, DoublesAreCorrectlyRoundedUpToTheRangeEdges) {
  const std::vector<double> t = theta_of(
      "[1.7976931348623157e308, -1.7976931348623157e308, 5e-324, 2.4703282292062328e-324,"
      " 9007199254740993, 123456789012345678901234567890, 0.1, -0, -0.0, 1E2, 1e-7]");
  ASSERT_EQ(t.size(), 11u);
  EXPECT_EQ(t[0], std::numeric_limits<double>::max());
  EXPECT_EQ(t[1], -std::numeric_limits<double>::max());
  EXPECT_EQ(t[2], std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(t[3], std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(t[4], 9007199254740992.0);
  EXPECT_EQ(t[5], 1.2345678901234568e29);
  EXPECT_EQ(t[6], 0.1);
  EXPECT_EQ(t[7], 0.0);
  EXPECT_TRUE(std::signbit(t[8]));
  EXPECT_EQ(t[9], 100.0);
  EXPECT_EQ(t[10], 1e-7);
}

// The C++ library's conversion where it has one for doubles (libc++ has none), else the C
// library's; both round correctly.
double library_double(const std::string& text) {
#if defined(__cpp_lib_to_chars)
  double out = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), out);
  return out;
#else
  return std::strtod(text.c_str(), nullptr);
#endif
}

TEST(SyncReaderNumbers, DecimalsMatchTheLibraryConversionBitForBit) {
  std::mt19937_64 gen(11);
  std::string array = "[";
  std::vector<std::string> texts;
  for (int i = 0; i < 30000; ++i) {
    // Up to 19 digits most are exact; 16 and more also reach the library's conversion.
    const int digits = 1 + static_cast<int>(gen() % 26);
    std::string text = gen() % 2 ? "-" : "";
    std::string run = std::to_string(1 + gen() % 9);
    while (static_cast<int>(run.size()) < digits)
      run.push_back(static_cast<char>('0' + gen() % 10));
    const auto point = static_cast<std::size_t>(gen() % run.size());
    const std::string zeros(gen() % 3 == 0 ? gen() % 12 : 0, '0');
    text += point == 0 ? "0." + zeros + run : run.substr(0, point) + "." + run.substr(point);
    if (gen() % 4 == 0) text = text.substr(0, text.find('.'));
    texts.push_back(text);
    array += (i ? ", " : "") + text;
  }
  const std::vector<double> t = theta_of(array + "]");
  ASSERT_EQ(t.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const double expected = library_double(texts[i]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(t[i]), std::bit_cast<std::uint64_t>(expected))
        << texts[i];
  }
}

TEST(SyncReaderNumbers, UnderflowGivesSignedZeroAndOverflowIsRefused) {
  const std::vector<double> t = theta_of("[1e-400, -1e-400, 2.4703282292062327e-324, 0e400]");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0], 0.0);
  EXPECT_FALSE(std::signbit(t[0]));
  EXPECT_TRUE(std::signbit(t[1]));
  EXPECT_EQ(t[2], 0.0);
  EXPECT_EQ(t[3], 0.0);
  const std::string head = R"({"theta": [)";  // 11 bytes
  for (std::string_view big :
       {"1e400", "1.7976931348623159e308", "1.8e308", "-1e309", "0.1e310", "-0.01e311"}) {
    EXPECT_EQ(message(head + std::string(big) + "]}"),
              "number out of range at line 1 column " + std::to_string(11 + big.size()))
        << big;
  }
}

TEST(SyncReaderNumbers, LongDigitStringsAreJudgedByTheirValue) {
  const std::string zeros(308, '0');
  // Each of these is a double although its digits alone are not.
  const std::vector<double> t = theta_of("[1" + zeros + ", 1" + zeros + "0e-300, 0.0e999, 1" +
                                         zeros + "000000.5e-10, -0." + zeros + zeros + "25]");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0], 1e308);
  EXPECT_EQ(t[1], 1e9);
  EXPECT_EQ(t[2], 0.0);
  EXPECT_EQ(t[3], 1e304);
  EXPECT_EQ(t[4], 0.0);
  EXPECT_TRUE(std::signbit(t[4]));
  EXPECT_EQ(message(R"({"theta": [2)" + zeros + "]}"),
            "number out of range at line 1 column " + std::to_string(11 + 309));
  const std::string id = "1" + zeros;
  EXPECT_EQ(message(R"({"bandit_id": )" + id + "}"), "invalid value: integer `" + id +
                                                         "`, expected i64 at line 1 column " +
                                                         std::to_string(14 + id.size()));
  // Positions after a number that the reader had to be helped past stay exact.
  EXPECT_EQ(message(R"({"x": 0e400, "bandit_id": "7"})"),
            "invalid type: string \"7\", expected i64 at line 1 column 29");
  EXPECT_EQ(message(R"({"x": 0e400, "y": 1e400})"), "number out of range at line 1 column 23");
  EXPECT_EQ(message(R"({"x": 0e400, "y": 1)" + zeros + ".x}"),
            "invalid number at line 1 column " + std::to_string(18 + 309 + 2));
  // The second reading meets a malformed exponent whose tail it rewrote as a number.
  EXPECT_EQ(message(R"({"x": 0e400, "y": 1e--5})"), "invalid number at line 1 column 22");
  EXPECT_EQ(message(R"({"y": 1)" + zeros + "e+x}"),
            "invalid number at line 1 column " + std::to_string(6 + 309 + 3));
  EXPECT_EQ(message(R"({"y": 1)" + zeros + "e"),
            "EOF while parsing a value at line 1 column " + std::to_string(6 + 309 + 1));
  EXPECT_EQ(read(R"([12345, "b", [0e400], [], 2])").bandit_id, 12345);
}

// A number that only the second reading passes (0e400) leaves every string as it was, digits and
// escaped quotes and backslashes included, and every other number with its value.
TEST(SyncReaderNumbers, TheSecondReadingRewritesNumbersOnly) {
  const BanditSync s = read(R"([-12, "x-12 v2.50", [-0.5, 2.5], [[1e2]], 3, "a\"-1 \\", 0e400,)"
                            R"( [[7, "q\\\"7 \\", "1\u00e9 2", "s\"", true, false, 4]]])");
  EXPECT_EQ(s.bandit_id, -12);
  EXPECT_EQ(s.name, "x-12 v2.50");
  EXPECT_EQ(s.theta, (std::vector<double>{-0.5, 2.5}));
  EXPECT_EQ(s.cholesky, std::vector<double>{100.0});
  EXPECT_EQ(s.dimensions, 3u);
  EXPECT_EQ(s.optimization_mode, "a\"-1 \\");
  EXPECT_EQ(s.avg_latency_last_n, 0.0);
  ASSERT_EQ(s.arms.size(), 1u);
  EXPECT_EQ(s.arms[0].arm_id, 7);
  EXPECT_EQ(s.arms[0].model_name, "q\\\"7 \\");
  EXPECT_EQ(s.arms[0].model_provider, "1\u00e9 2");
  EXPECT_EQ(s.arms[0].system_prompt, "s\"");
  EXPECT_EQ(s.arms[0].avg_latency_last_n, 4.0);
}

TEST(SyncReaderNesting, OneHundredTwentySevenLevelsAreAccepted) {
  const auto nested = [](std::size_t levels) {  // inside the document's object, one level
    return R"({"bandit_id": 1, "name": "b", "theta": [], "cholesky": [], "dimensions": 0, "x": )" +
           std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  EXPECT_EQ(message(nested(127)), "accepted");
  EXPECT_EQ(message(nested(128)),
            "recursion limit exceeded at line 1 column " + std::to_string(81 + 127));
  EXPECT_EQ(message(R"({"x": )" + std::string(100000, '[')),
            "recursion limit exceeded at line 1 column 133");
  EXPECT_EQ(message(R"({"cholesky": )" + std::string(200, '[')),
            "recursion limit exceeded at line 1 column 140");
  // The document's first element is read before any depth is reached.
  EXPECT_EQ(message(std::string(100000, '[')),
            "invalid type: sequence, expected i64 at line 1 column 1");
}

TEST(SyncReaderNesting, ObjectsCountLikeArrays) {
  std::string doc = R"({"x": )";
  for (int i = 0; i < 126; ++i) doc += R"({"a": )";
  doc += "1" + std::string(127, '}');
  EXPECT_EQ(message(doc),
            "missing field `bandit_id` at line 1 column " + std::to_string(doc.size() - 1));
  doc.insert(6, R"({"a": )");
  EXPECT_EQ(message(doc),
            "recursion limit exceeded at line 1 column " + std::to_string(6 + 126 * 6 + 1));
}

}  // namespace
