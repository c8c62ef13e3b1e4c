// Reading sync documents into records: defaults, the array forms, the two cholesky shapes, and
// every content error with its reason and position.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sync.hpp"
#include "engine/sync/shape.hpp"
#include "sync_reading.hpp"

namespace {

using korvane::BanditSync;
using korvane::parse_bandit_sync;

// The five required fields, for documents that test something else.
constexpr std::string_view kRequired =
    R"("bandit_id": 1, "name": "b", "theta": [0.5], "cholesky": [1], "dimensions": 1)";

std::string with(std::string_view members) {
  return "{" + std::string(kRequired) + ", " + std::string(members) + "}";
}

using korvane::testing::message;
using korvane::testing::read;

TEST(SyncReaderDefaults, AbsentOptionalFieldsTakeTheirDefaults) {
  const BanditSync s =
      read(R"({"bandit_id": 1, "name": "b", "theta": [0.5], "cholesky": [1], "dimensions": 1})");
  EXPECT_EQ(s.bandit_id, 1);
  EXPECT_EQ(s.name, "b");
  EXPECT_EQ(s.theta, std::vector<double>{0.5});
  EXPECT_EQ(s.cholesky, std::vector<double>{1.0});
  EXPECT_EQ(s.dimensions, 1u);
  EXPECT_EQ(s.optimization_mode, "base");
  EXPECT_EQ(korvane::default_optimization_mode(), "base");
  EXPECT_FALSE(s.avg_latency_last_n.has_value());
  EXPECT_TRUE(s.arms.empty());

  const BanditSync a = read(with(
      R"("arms": [{"arm_id": 3, "model_name": "m", "model_provider": "p", "system_prompt": "s"}])"));
  ASSERT_EQ(a.arms.size(), 1u);
  EXPECT_EQ(a.arms[0].arm_id, 3);
  EXPECT_EQ(a.arms[0].model_name, "m");
  EXPECT_EQ(a.arms[0].model_provider, "p");
  EXPECT_EQ(a.arms[0].system_prompt, "s");
  EXPECT_TRUE(a.arms[0].is_active);
  EXPECT_FALSE(a.arms[0].is_prompt_templated);
  EXPECT_FALSE(a.arms[0].avg_latency_last_n.has_value());
}

TEST(SyncReaderDefaults, LatencyNullIsAbsentAndZeroIsPresentAtBothLevels) {
  const std::string arm = R"({"arm_id": 1, "model_name": "m", "model_provider": "p",)"
                          R"( "system_prompt": "s", "avg_latency_last_n": )";
  const BanditSync nulls = read(with(R"("avg_latency_last_n": null, "arms": [)" + arm + "null}]"));
  EXPECT_FALSE(nulls.avg_latency_last_n.has_value());
  EXPECT_FALSE(nulls.arms[0].avg_latency_last_n.has_value());
  const BanditSync zeros = read(with(R"("avg_latency_last_n": 0, "arms": [)" + arm + "0}]"));
  EXPECT_EQ(zeros.avg_latency_last_n, 0.0);
  EXPECT_EQ(zeros.arms[0].avg_latency_last_n, 0.0);
}

TEST(SyncReaderDefaults, PresentFieldsAreKeptAndArmsStayInDocumentOrder) {
  const BanditSync s = read(with(
      R"("optimization_mode": "", "avg_latency_last_n": 250.5, "arms": [)"
      R"({"is_active": false, "system_prompt": "s1", "model_provider": "p", "model_name": "m",)"
      R"( "arm_id": 9, "is_prompt_templated": true, "avg_latency_last_n": 12},)"
      R"({"arm_id": 4, "model_name": "m2", "model_provider": "p", "system_prompt": ""}])"));
  EXPECT_EQ(s.optimization_mode, "");
  EXPECT_EQ(s.avg_latency_last_n, 250.5);
  ASSERT_EQ(s.arms.size(), 2u);
  EXPECT_EQ(s.arms[0].arm_id, 9);
  EXPECT_FALSE(s.arms[0].is_active);
  EXPECT_TRUE(s.arms[0].is_prompt_templated);
  EXPECT_EQ(s.arms[0].avg_latency_last_n, 12.0);
  EXPECT_EQ(s.arms[1].arm_id, 4);
  EXPECT_EQ(s.arms[1].model_name, "m2");
  EXPECT_TRUE(s.arms[1].is_active);
}

TEST(SyncReaderArrayForm, FieldsByPositionWithTrailingDefaults) {
  const BanditSync s = read(R"([7, "support", [0.1, 0.2], [1, 0, 0, 1], 2])");
  EXPECT_EQ(s.bandit_id, 7);
  EXPECT_EQ(s.name, "support");
  EXPECT_EQ(s.theta, (std::vector<double>{0.1, 0.2}));
  EXPECT_EQ(s.cholesky, (std::vector<double>{1, 0, 0, 1}));
  EXPECT_EQ(s.dimensions, 2u);
  EXPECT_EQ(s.optimization_mode, "base");
  EXPECT_TRUE(s.arms.empty());

  const BanditSync full = read(
      R"([7, "s", [], [], 0, "explore", null, [[1, "m", "p", "s"], [2, "m", "p", "s", true, false, 3.5],)"
      R"( {"arm_id": 3, "model_name": "m", "model_provider": "p", "system_prompt": "s"}]])");
  EXPECT_EQ(full.optimization_mode, "explore");
  EXPECT_FALSE(full.avg_latency_last_n.has_value());
  ASSERT_EQ(full.arms.size(), 3u);
  EXPECT_TRUE(full.arms[0].is_active);
  EXPECT_TRUE(full.arms[1].is_prompt_templated);
  EXPECT_FALSE(full.arms[1].is_active);
  EXPECT_EQ(full.arms[1].avg_latency_last_n, 3.5);
  EXPECT_EQ(full.arms[2].arm_id, 3);
}

TEST(SyncReaderArrayForm, TooFewAndTooManyElements) {
  EXPECT_EQ(message(R"([7, "support"])"),
            "invalid length 2, expected struct BanditSync with 8 elements at line 1 column 13");
  EXPECT_EQ(message("[]"),
            "invalid length 0, expected struct BanditSync with 8 elements at line 1 column 1");
  EXPECT_EQ(message(R"([1, "b", [], [], 0, "m", null, [[1, "m", "p"]]])"),
            "invalid length 3, expected struct ArmSync with 7 elements at line 1 column 44");
  EXPECT_EQ(message(R"([1, "b", [], [], 0, "m", null, [], 5])"),
            "trailing characters at line 1 column 36");
  EXPECT_EQ(message(R"([1, "b", [], [], 0, "m", null, [], {}])"),
            "trailing characters at line 1 column 36");
  EXPECT_EQ(
      message(R"([1, "b", [], [], 0, "m", null, [[1, "m", "p", "s", true, true, null, "x"]]])"),
      "trailing characters at line 1 column 70");
}

TEST(SyncReaderCholesky, FlatAndNestedShapesGiveOneRowMajorList) {
  EXPECT_EQ(read(with(R"("x": 0)")).cholesky, std::vector<double>{1.0});
  const std::string head =
      R"({"bandit_id": 1, "name": "b", "theta": [], "dimensions": 2, "cholesky": )";
  EXPECT_EQ(read(head + "[[1, 0], [0, 1]]}").cholesky, (std::vector<double>{1, 0, 0, 1}));
  EXPECT_EQ(read(head + "[1, 0, 0, 1]}").cholesky, (std::vector<double>{1, 0, 0, 1}));
  EXPECT_EQ(read(head + "[[1, 2, 3], [4]]}").cholesky, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(read(head + "[[], [5], []]}").cholesky, std::vector<double>{5});
  EXPECT_TRUE(read(head + "[]}").cholesky.empty());
  EXPECT_TRUE(read(head + "[[]]}").cholesky.empty());
}

TEST(SyncReaderCholesky, OtherShapesAreRefusedAtTheEndOfTheValue) {
  const std::string shape = "data did not match any variant of untagged enum FlatOrNested";
  // `{"cholesky": ` is 13 bytes: the column is 13 plus the value's length.
  const auto at = [&](std::string_view value) {
    return shape + " at line 1 column " + std::to_string(13 + value.size());
  };
  for (std::string_view value : {"[1, [2]]", "[[1], 2]", "[[[1]]]", "[[1, [2]]]", "null", "{}",
                                 R"({"a": [1]})", R"("x")", R"([1, "a"])", R"([[true]])", "5",
                                 "[[{}]]", "[1, null]", "[[1], null]", "[[null]]", "[false]"}) {
    EXPECT_EQ(message(R"({"cholesky": )" + std::string(value) + "}"), at(value)) << value;
  }
  // The value is read whole first: its syntax and number errors come before the shape.
  EXPECT_EQ(message(R"({"cholesky": -1e400})"), "number out of range at line 1 column 19");
  EXPECT_EQ(message(R"({"cholesky": [1, [2], x]})"), "expected value at line 1 column 23");
  EXPECT_EQ(message(R"({"cholesky": [[1], 1e999]})"), "number out of range at line 1 column 24");
}

TEST(SyncReaderContent, WrongKindsNameWhatWasFoundAndWhatWasWanted) {
  EXPECT_EQ(message(R"({"bandit_id": "7"})"),
            "invalid type: string \"7\", expected i64 at line 1 column 17");
  EXPECT_EQ(message(R"({"bandit_id": null})"),
            "invalid type: null, expected i64 at line 1 column 18");
  EXPECT_EQ(message(R"({"bandit_id": true})"),
            "invalid type: boolean `true`, expected i64 at line 1 column 18");
  EXPECT_EQ(message(R"({"bandit_id": 1.5})"),
            "invalid type: floating point `1.5`, expected i64 at line 1 column 17");
  EXPECT_EQ(message(R"({"bandit_id": 1.0})"),
            "invalid type: floating point `1.0`, expected i64 at line 1 column 17");
  EXPECT_EQ(message(R"({"bandit_id": 1e3})"),
            "invalid type: floating point `1000.0`, expected i64 at line 1 column 17");
  EXPECT_EQ(message(R"({"bandit_id": [1]})"),
            "invalid type: sequence, expected i64 at line 1 column 14");
  EXPECT_EQ(message(R"({"bandit_id": {}})"), "invalid type: map, expected i64 at line 1 column 14");
  EXPECT_EQ(message(R"({"name": 5})"),
            "invalid type: integer `5`, expected a string at line 1 column 10");
  EXPECT_EQ(message(R"({"name": -0})"),
            "invalid type: integer `0`, expected a string at line 1 column 11");
  EXPECT_EQ(message(R"({"dimensions": 2.0})"),
            "invalid type: floating point `2.0`, expected usize at line 1 column 18");
  EXPECT_EQ(
      message(R"({"dimensions": 1e20})"),
      "invalid type: floating point `100000000000000000000.0`, expected usize at line 1 column 19");
  EXPECT_EQ(message(R"({"theta": [1e-7]})"), "missing field `bandit_id` at line 1 column 16");
  EXPECT_EQ(message(R"({"theta": [[1, 2]]})"),
            "invalid type: sequence, expected f64 at line 1 column 11");
  EXPECT_EQ(message(R"({"theta": ["NaN"]})"),
            "invalid type: string \"NaN\", expected f64 at line 1 column 16");
  EXPECT_EQ(message(R"({"theta": 1})"),
            "invalid type: integer `1`, expected a sequence at line 1 column 11");
  EXPECT_EQ(message(R"({"arms": null})"),
            "invalid type: null, expected a sequence at line 1 column 13");
  EXPECT_EQ(message(R"({"arms": [5]})"),
            "invalid type: integer `5`, expected struct ArmSync at line 1 column 11");
  EXPECT_EQ(message(R"({"arms": [{"is_active": 1}]})"),
            "invalid type: integer `1`, expected a boolean at line 1 column 25");
  EXPECT_EQ(message(R"({"optimization_mode": null})"),
            "invalid type: null, expected a string at line 1 column 26");
  EXPECT_EQ(message(R"({"avg_latency_last_n": "a"})"),
            "invalid type: string \"a\", expected f64 at line 1 column 26");
  EXPECT_EQ(message(R"("abc")"),
            "invalid type: string \"abc\", expected struct BanditSync at line 1 column 5");
  EXPECT_EQ(message("5"),
            "invalid type: integer `5`, expected struct BanditSync at line 1 column 1");
}

TEST(SyncReaderContent, FoundStringsAreQuotedWithEscapes) {
  EXPECT_EQ(message(R"({"bandit_id": "a\"b\\c\nd\u0001\u007f\u0000é"})"),
            "invalid type: string \"a\\\"b\\\\c\\nd\\u{1}\\u{7f}\\0é\", expected i64 at line 1 "
            "column 46");
  // Line and paragraph separators and C1 controls are escaped wherever they stand; their
  // neighbours in the same blocks (U+2027, U+20A8, U+00A0) are not.
  EXPECT_EQ(message(R"({"bandit_id": "\t\r\b\f"})"),
            "invalid type: string \"\\t\\r\\u{8}\\u{c}\", expected i64 at line 1 column 24");
  EXPECT_EQ(message(R"({"bandit_id": "\u2028\u2029x\u2027\u20a8\u0085\u00a0\u2029"})"),
            "invalid type: string \"\\u{2028}\\u{2029}x\u2027\u20a8\\u{85}\u00a0\\u{2029}\", "
            "expected i64 at line 1 column 59");
}

TEST(SyncReaderContent, IntegersOutsideTheirRangeKeepTheirSpelling) {
  EXPECT_EQ(message(R"({"bandit_id": 9223372036854775808})"),
            "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 33");
  EXPECT_EQ(message(R"({"bandit_id": -9223372036854775809})"),
            "invalid value: integer `-9223372036854775809`, expected i64 at line 1 column 34");
  EXPECT_EQ(message(R"({"bandit_id": 18446744073709551616})"),
            "invalid value: integer `18446744073709551616`, expected i64 at line 1 column 34");
  EXPECT_EQ(
      message(R"({"arms": [[123456789012345678901234567890]]})"),
      "invalid value: integer `123456789012345678901234567890`, expected i64 at line 1 column 41");
  EXPECT_EQ(message(R"({"dimensions": -1})"),
            "invalid value: integer `-1`, expected usize at line 1 column 17");
  const std::string beyond_usize = sizeof(std::size_t) == 8 ? "18446744073709551616" : "4294967296";
  EXPECT_EQ(message(R"({"dimensions": )" + beyond_usize + "}"),
            "invalid value: integer `" + beyond_usize + "`, expected usize at line 1 column " +
                std::to_string(15 + beyond_usize.size()));

  EXPECT_EQ(read(R"([-9223372036854775808, "b", [], [], 0])").bandit_id,
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(read(R"([9223372036854775807, "b", [], [], -0])").bandit_id,
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(read(R"([-0, "b", [], [], 0])").bandit_id, 0);
  const std::string max_usize = std::to_string(std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(read(R"([1, "b", [], [], )" + max_usize + "]").dimensions,
            std::numeric_limits<std::size_t>::max());
}

TEST(SyncReaderFields, DuplicateKnownKeysAreRefusedAtTheSecondKey) {
  EXPECT_EQ(message(R"({"name": "a", "name": "b"})"), "duplicate field `name` at line 1 column 20");
  // A null latency still counts as present.
  EXPECT_EQ(message(R"({"avg_latency_last_n": null, "avg_latency_last_n": 1})"),
            "duplicate field `avg_latency_last_n` at line 1 column 49");
  EXPECT_EQ(message(R"({"arms": [{"arm_id": 1, "arm_id": 2}]})"),
            "duplicate field `arm_id` at line 1 column 32");
  // Escapes are resolved before keys are compared.
  EXPECT_EQ(message(R"({"bandit_id": 1, "\u0062andit_id": 2})"),
            "duplicate field `bandit_id` at line 1 column 33");
}

TEST(SyncReaderFields, UnknownKeysAreSkippedWhateverTheirValueAndMayRepeat) {
  const BanditSync s = read(with(
      R"("x": 1, "x": {"a": [1, {"b": null}], "c": "\ud83d\ude00"}, "Bandit_ID": "no", "")"
      R"(: [], "arms": [{"arm_id": 1, "model_name": "m", "model_provider": "p", "system_prompt": "s",)"
      R"( "extra": [[[]]], "extra": true}])"));
  EXPECT_EQ(s.bandit_id, 1);
  EXPECT_EQ(s.arms.size(), 1u);
  EXPECT_EQ(
      read(R"({"\u0062andit_id": 5, "name": "b", "theta": [], "cholesky": [], "dimensions": 0})")
          .bandit_id,
      5);
}

TEST(SyncReaderFields, TheFirstMissingFieldInDeclarationOrderIsReported) {
  EXPECT_EQ(message("{}"), "missing field `bandit_id` at line 1 column 1");
  EXPECT_EQ(message(R"({"bandit_id": 1})"), "missing field `name` at line 1 column 15");
  EXPECT_EQ(message(R"({"dimensions": 1, "cholesky": [], "name": "b", "Bandit_ID": 1})"),
            "missing field `bandit_id` at line 1 column 61");
  EXPECT_EQ(message(R"({"bandit_id": 1, "name": "b", "cholesky": [], "dimensions": 1})"),
            "missing field `theta` at line 1 column 61");
  EXPECT_EQ(message(with(R"("arms": [{"system_prompt": "s", "model_name": "m"}])")),
            "missing field `arm_id` at line 1 column 129");
  EXPECT_EQ(message(with(R"("arms": [{"arm_id": 1, "model_name": "m", "system_prompt": "s"}])")),
            "missing field `model_provider` at line 1 column 142");
}

TEST(SyncReaderPositions, LinesSplitAtLineFeedsAndColumnsCountBytes) {
  EXPECT_EQ(message("{\n  \"bandit_id\": \"7\"\n}"),
            "invalid type: string \"7\", expected i64 at line 2 column 18");
  EXPECT_EQ(message("{\r\n  \"bandit_id\": \"7\"\r\n}"),
            "invalid type: string \"7\", expected i64 at line 2 column 18");
  // The closing brace starts line 3 and is not consumed yet.
  EXPECT_EQ(message("{\r\n  \"bandit_id\": 1\r\n}"), "missing field `name` at line 3 column 0");
  EXPECT_EQ(message("{\n\"name\": \"é\",\n\"name\": 1}"),
            "duplicate field `name` at line 3 column 6");
  EXPECT_EQ(message("[\n1,\n\"b\"\n]"),
            "invalid length 2, expected struct BanditSync with 8 elements at line 4 column 0");
  EXPECT_EQ(message("{\n\"x\": 1,\n}"), "trailing comma at line 3 column 1");
  EXPECT_EQ(message("{\"x\": [1,\n"), "EOF while parsing a value at line 2 column 0");
}

TEST(SyncReaderFlatOrNested, DecidesFromTheCollectedShape) {
  korvane::sync_detail::FlatOrNested flat;
  flat.is_array = true;
  flat.has_numbers = true;
  flat.numbers = {1, 2};
  EXPECT_EQ(*korvane::sync_detail::deserialize_flat_or_nested(flat), (std::vector<double>{1, 2}));
  korvane::sync_detail::FlatOrNested mixed = flat;
  mixed.has_rows = true;
  EXPECT_FALSE(korvane::sync_detail::deserialize_flat_or_nested(mixed));
  korvane::sync_detail::FlatOrNested scalar;
  EXPECT_EQ(korvane::sync_detail::deserialize_flat_or_nested(scalar).error(),
            "data did not match any variant of untagged enum FlatOrNested");
}

}  // namespace

namespace {

// Arms in the usual spelling are read in one pass, the others by the general reading: the record
// must not tell them apart, and a fault after arms of either kind keeps its exact position.
TEST(SyncReaderArms, EverySpellingGivesTheSameRecordAndFaultsKeepTheirPosition) {
  const std::string usual =
      R"({"arm_id": 3, "model_name": "m", "model_provider": "p", "system_prompt": "s", )"
      R"("is_active": false, "avg_latency_last_n": 12.5, "x": [1]})";
  const std::string spelled[] = {
      usual,
      R"({"\u0061rm_id": 3, "model_name": "m", "model_provider": "p", "system_prompt": "s", )"
      R"("is_active": false, "avg_latency_last_n": 125e-1})",
      R"([3, "m", "p", "s", false, false, 12.5])",
  };
  const BanditSync expected = read(with(R"("arms": [)" + usual + "]"));
  ASSERT_EQ(expected.arms.size(), 1u);
  for (const std::string& first : spelled) {
    for (const std::string& second : spelled) {
      const BanditSync s = read(with(R"("arms": [)" + first + ", " + second + "]"));
      ASSERT_EQ(s.arms.size(), 2u) << first << second;
      for (const korvane::ArmSync& a : s.arms) {
        const korvane::ArmSync& e = expected.arms[0];
        EXPECT_EQ(std::tie(a.arm_id, a.model_name, a.model_provider, a.system_prompt,
                           a.is_prompt_templated, a.is_active, a.avg_latency_last_n),
                  std::tie(e.arm_id, e.model_name, e.model_provider, e.system_prompt,
                           e.is_prompt_templated, e.is_active, e.avg_latency_last_n))
            << first << second;
      }
    }
  }
  const std::string head = "{" + std::string(kRequired) + R"(, "arms": [)" + usual;
  const auto at = [&](std::size_t column) {
    return " at line 1 column " + std::to_string(head.size() + column);
  };
  EXPECT_EQ(message(head + ",]}"), "trailing comma" + at(2));
  EXPECT_EQ(message(head + " " + usual + "]}"), "expected `,` or `]`" + at(2));
  EXPECT_EQ(message(head + R"(, {"arm_id": 1, "arm_id": 2}]})"),
            "duplicate field `arm_id`" + at(24));
  EXPECT_EQ(message(head + ", 7]}"), "invalid type: integer `7`, expected struct ArmSync" + at(3));
}

}  // namespace

namespace {

struct Case {
  std::string text;
  std::string expected;
};

// The one-pass readings of theta, cholesky and the arms give up on anything but the usual spelling,
// and the reader then refuses a fault exactly where it would have without them.
TEST(SyncReaderFastPaths, FaultsInTheUsualSpellingAreRefusedAtTheirByte) {
  const std::string arm = R"("model_name": "m", "model_provider": "p", "system_prompt": "s"})";
  const Case cases[] = {
      {R"({"theta": [0.1 0.2, 0.3]})", "expected `,` or `]` at line 1 column 16"},
      {R"({"theta": [1)]})", "expected `,` or `]` at line 1 column 13"},
      {R"({"theta": [1 , ]})", "trailing comma at line 1 column 16"},
      {R"({"theta": [1 2)", "expected `,` or `]` at line 1 column 14"},
      {R"({"theta": [1, 2)", "EOF while parsing a list at line 1 column 15"},
      {R"({"cholesky": [1 2]})", "expected `,` or `]` at line 1 column 17"},
      {R"({"cholesky": [[1 2]]})", "expected `,` or `]` at line 1 column 18"},
      {R"({"cholesky": [[1] [2]]})", "expected `,` or `]` at line 1 column 19"},
      {R"({"cholesky": [[1]) ]})", "expected `,` or `]` at line 1 column 18"},
      {R"({"cholesky": [[1], ]})", "trailing comma at line 1 column 20"},
      {R"({"arms": [{"arm_id": 1+ )" + arm + "]}", "expected `,` or `}` at line 1 column 23"},
      {R"({"arms": [{"arm_id": 1) )" + arm + "]}", "expected `,` or `}` at line 1 column 23"},
      {R"({"arms": [{"arm_id" 1, )" + arm + "]}", "expected `:` at line 1 column 21"},
      {R"({"arms": [{"arm_id": 1, )" + arm + " x]}", "expected `,` or `]` at line 1 column 89"},
      {R"({"arms": [{"arm_id": 1, )" + arm + ", [1, \"m\"] ]}",
       "invalid length 2, expected struct ArmSync with 7 elements at line 1 column 96"},
      {R"({"arms": [{"arm_id": 1, "is_active": tru, )" + arm + "]}",
       "expected ident at line 1 column 41"},
      {R"({"arms": [{"arm_id": 1, "is_active": null, )" + arm + "]}",
       "invalid type: null, expected a boolean at line 1 column 41"},
      {R"({"arms": [{"arm_id": 1.5, )" + arm + "]}",
       "invalid type: floating point `1.5`, expected i64 at line 1 column 24"},
      // A stray byte straight after a key or a text, before the separator the scan looks for.
      {R"({"arms": [{"arm_id"): 1, )" + arm + "]}", "expected `:` at line 1 column 20"},
      {R"({"arms": [{"arm_id": 1, "model_name": "m"), )" + arm.substr(19) + "]}",
       "expected `,` or `}` at line 1 column 42"},
      {R"({"arms": [{"arm_id"): 1, "model_name"): "m"), "model_provider"): "p"),)"
       R"( "system_prompt"): "s")}]})",
       "expected `:` at line 1 column 20"},
      {R"({"cholesky": [[1],7]]})",
       "data did not match any variant of untagged enum FlatOrNested at line 1 column 20"},
      // A point needs a digit after it.
      {R"({"theta": [1, 2.]})", "invalid number at line 1 column 17"},
      {R"({"cholesky": [[1.]]})", "invalid number at line 1 column 18"},
      {R"({"arms": [{"arm_id": 1, "avg_latency_last_n": 2., "model_name": "m"}]})",
       "invalid number at line 1 column 49"},
      // Only a minus sign leads a number.
      {R"({"theta": [+1]})", "expected value at line 1 column 12"},
      {R"({"theta": [1, +2]})", "expected value at line 1 column 15"},
      {R"({"cholesky": [[1], [+2]]})", "expected value at line 1 column 21"},
      {R"({"arms": [{"arm_id": +1, )" + arm + "]}", "expected value at line 1 column 22"},
  };
  for (const Case& c : cases) EXPECT_EQ(message(c.text), c.expected) << c.text;
}

// Each of these lists gives its arms in document order whichever spelling each one has.
TEST(SyncReaderFastPaths, ArmsOfMixedSpellingsKeepTheirOrderAndValues) {
  const auto usual = [](std::string_view id, std::string_view more = "") {
    return R"({"arm_id": )" + std::string(id) +
           R"(, "model_name": "m", "model_provider": "p", "system_prompt": "s")" +
           std::string(more) + "}";
  };
  const struct {
    std::string arms;
    std::vector<std::int64_t> ids;
  } cases[] = {
      // The reader reads the arms after the array form, each object still in one pass.
      {usual("1") + R"(, [2, "m", "p", "s"], )" + usual("3", R"(, "is_active": false)") + ", " +
           usual("4", R"(, "avg_latency_last_n": 1)"),
       {1, 2, 3, 4}},
      {usual("1") + ", " + usual("2", R"(, "x": [1])") + ", " + usual("3"), {1, 2, 3}},
      {usual("1") + ", " + usual("2") + " , " + usual("3") + " ", {1, 2, 3}},
      // Beyond 2^53 and around 2^31 the value is exact, whichever conversion reads it.
      {usual("9007199254740993") + ", " + usual("-9007199254740993"),
       {9007199254740993, -9007199254740993}},
      {usual("2147483648") + ", " + usual("-2147483649") + ", " + usual("-2147483648") + ", " +
           usual("2147483647"),
       {2147483648, -2147483649, -2147483648, 2147483647}},
  };
  for (const auto& c : cases) {
    const BanditSync s = read(with(R"("arms": [)" + c.arms + "]"));
    std::vector<std::int64_t> ids;
    for (const korvane::ArmSync& a : s.arms) ids.push_back(a.arm_id);
    EXPECT_EQ(ids, c.ids) << c.arms;
  }
  // Values that the one-pass reading leaves to the reader still land in their fields.
  const BanditSync s =
      read(with(R"("arms": [)" + usual("1", R"(, "avg_latency_last_n": 1e2, "is_active": false)") +
                ", " + usual("2", R"(, "avg_latency_last_n": null, "x": null)") + "]"));
  ASSERT_EQ(s.arms.size(), 2u);
  EXPECT_EQ(s.arms[0].avg_latency_last_n, 100.0);
  EXPECT_FALSE(s.arms[0].is_active);
  EXPECT_FALSE(s.arms[1].avg_latency_last_n.has_value());
}

// Numbers in every spacing that JSON allows, straight after their commas or not.
TEST(SyncReaderFastPaths, NumberListsInAnySpacingKeepTheirValues) {
  const std::string head = R"({"bandit_id": 1, "name": "b", "dimensions": 2, )";
  for (const std::string_view theta :
       {"[1,23,-4.5,67]", "[ 1 , 23 ,-4.5 , 67 ]", "[\n1,\t23,\r\n-4.5,67\n]"}) {
    EXPECT_EQ(read(head + R"("cholesky": [], "theta": )" + std::string(theta) + "}").theta,
              (std::vector<double>{1, 23, -4.5, 67}))
        << theta;
  }
  for (const std::string_view rows :
       {"[[1,23],[-4.5,67]]", "[ [1 ,23 ] , [ -4.5, 67] ]", "[[1,23],\n[-4.5,67]]"}) {
    EXPECT_EQ(read(head + R"("theta": [], "cholesky": )" + std::string(rows) + "}").cholesky,
              (std::vector<double>{1, 23, -4.5, 67}))
        << rows;
  }
}

// A key that differs from a field's name in its first or last byte is an unknown key: a required
// field stays missing, an optional one keeps its default.
TEST(SyncReaderFastPaths, KeysThatDifferInOneByteAreUnknown) {
  const std::string_view keys[] = {
      "arm_id",    "model_name",        "model_provider", "system_prompt", "is_prompt_templated",
      "is_active", "avg_latency_last_n"};
  const std::string_view values[] = {"7", R"("m")", R"("p")", R"("s")", "true", "false", "5"};
  for (std::size_t field = 0; field < 7; ++field) {
    for (const bool last_byte : {false, true}) {
      std::string arm = "{";
      for (std::size_t i = 0; i < 7; ++i) {
        std::string key(keys[i]);
        if (i == field) key[last_byte ? key.size() - 1 : 0] ^= 0x20;
        arm += (i ? ", \"" : "\"") + key + "\": " + std::string(values[i]);
      }
      const std::string doc = with(R"("arms": [)" + arm + "}]");
      if (field < 4) {
        EXPECT_EQ(message(doc).substr(0, 16 + keys[field].size()),
                  "missing field `" + std::string(keys[field]) + "`")
            << arm;
        continue;
      }
      const BanditSync s = read(doc);
      ASSERT_EQ(s.arms.size(), 1u) << arm;
      EXPECT_EQ(s.arms[0].is_prompt_templated, field != 4) << arm;
      EXPECT_EQ(s.arms[0].is_active, field == 5) << arm;
      EXPECT_EQ(s.arms[0].avg_latency_last_n.has_value(), field != 6) << arm;
    }
  }
}

}  // namespace
