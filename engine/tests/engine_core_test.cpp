#include "engine/engine_core.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/sync.hpp"
#include "sync_documents.hpp"

namespace korvane {
namespace {

using testing::arm;
using testing::document;

BanditEngineCore make(BanditSync doc, std::optional<std::uint64_t> seed = 0) {
  auto core = BanditEngineCore::from_sync(std::move(doc), seed);
  if (!core) throw std::runtime_error(core.error());
  return std::move(*core);
}

std::string pull_text(BanditEngineCore& core, std::optional<std::uint32_t> q = std::nullopt,
                      std::vector<std::int32_t> exclude = {}) {
  auto r = core.pull(q, exclude);
  return r ? *r : "error: " + r.error();
}

std::string build_error(BanditSync doc) {
  auto core = BanditEngineCore::from_sync(std::move(doc), 0);
  return core ? "built" : core.error();
}

// The posterior's mean only, so that every score is a plain sum of the arm's feature cells.
BanditSync exact(std::vector<ArmSync> arms, std::vector<double> theta) {
  BanditSync d = document(std::move(arms), 0.0, 0.0);
  d.theta = std::move(theta);
  return d;
}

TEST(EngineCore, SeedZeroWorkedPull) {
  BanditSync doc = document({arm(1, "m", "s")});
  doc.theta = {0.1, 0.2, 0.3, 0.4};
  BanditEngineCore core = make(doc);
  EXPECT_EQ(pull_text(core, 100),
            R"({"arm_index":0,"arm_id":1,"scores":{"1":-6.374875030534525}})");
  const std::string second = pull_text(core, 100);
  EXPECT_NEAR(std::stod(second.substr(second.find("\"1\":") + 4)), -3.3196460854, 1e-9);

  doc.optimization_mode = "explore";
  BanditEngineCore explore = make(doc);
  const std::string first = pull_text(explore, 100);
  EXPECT_NEAR(std::stod(first.substr(first.find("\"1\":") + 4)), -10.6030880737, 1e-9);
}

TEST(EngineCore, DefaultSeedComesFromIdentifierAndName) {
  BanditSync doc = document({arm(1, "m", "s"), arm(2, "n", "s")});
  doc.bandit_id = 1;
  doc.name = "abc";
  BanditEngineCore seeded = make(doc, 16654208175385433930u);
  BanditEngineCore defaulted = make(doc, std::nullopt);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pull_text(seeded, 10), pull_text(defaulted, 10));
}

TEST(EngineCore, GettersAndArmsDocument) {
  BanditSync doc = document(
      {arm(3, "m1", "Be brief.", true, 812.5), arm(4, "m2", "Be brief.", false, std::nullopt)});
  doc.bandit_id = -12;
  doc.name = "support";
  const BanditEngineCore core = make(doc);
  EXPECT_EQ(core.bandit_id(), -12);
  EXPECT_EQ(core.bandit_name(), "support");
  EXPECT_EQ(core.dimensions(), 7u);
  EXPECT_EQ(core.num_arms(), 2u);
  EXPECT_EQ(core.get_arms_json(),
            R"([{"arm_id":3,"model_name":"m1","model_provider":"p","system_prompt":"Be brief.",)"
            R"("is_active":true,"avg_latency_last_n":812.5},)"
            R"({"arm_id":4,"model_name":"m2","model_provider":"p","system_prompt":"Be brief.",)"
            R"("is_active":false,"avg_latency_last_n":null}])");
}

TEST(EngineCore, ArmsDocumentEscapesTextsAndFormatsLatencies) {
  const BanditEngineCore core =
      make(document({arm(1, "m\xc3\xa9/", "line1\nline2 \"q\"\x01", true, 1000.0),
                     arm(2, "m", "s", true, 1e-6)}));
  const std::string json = core.get_arms_json();
  EXPECT_NE(json.find(R"("model_name":"m)"
                      "\xc3\xa9"
                      R"(/")"),
            std::string::npos);
  EXPECT_NE(json.find(R"("system_prompt":"line1\nline2 \"q\"\u0001")"), std::string::npos);
  EXPECT_NE(json.find(R"("avg_latency_last_n":1000.0})"), std::string::npos);
  EXPECT_NE(json.find(R"("avg_latency_last_n":1e-6})"), std::string::npos);
}

TEST(EngineCore, ArmsSharingAnIdentifierShareActivityAndTheLastLatency) {
  const BanditEngineCore core = make(document(
      {arm(5, "a", "s", false, 10.0), arm(5, "b", "s", true, std::nullopt), arm(6, "a", "t")}));
  EXPECT_EQ(core.num_arms(), 3u);
  const std::string json = core.get_arms_json();
  const std::string five_a =
      R"({"arm_id":5,"model_name":"a","model_provider":"p","system_prompt":"s","is_active":true,"avg_latency_last_n":null})";
  EXPECT_EQ(json.find(five_a), 1u);
  EXPECT_NE(
      json.find(
          R"("model_name":"b","model_provider":"p","system_prompt":"s","is_active":true,"avg_latency_last_n":null})"),
      std::string::npos);
}

TEST(EngineCore, RefusesDocumentsWithoutArmsOrWithMismatchedSizes) {
  BanditSync empty = document({});
  empty.dimensions = 3;  // the missing arms are reported first
  EXPECT_EQ(build_error(empty), "No arms in sync response");

  BanditSync wide = document({arm(1, "m", "s"), arm(2, "n", "s")});  // width 7
  wide.dimensions = 8;
  wide.theta.clear();
  EXPECT_EQ(build_error(wide), "dimensions 8 does not match the feature width 7 of the arms");

  BanditSync short_theta = document({arm(1, "m", "s")});
  short_theta.theta.pop_back();
  short_theta.cholesky.clear();
  EXPECT_EQ(build_error(short_theta), "theta has 3 values but dimensions is 4");

  BanditSync short_factor = document({arm(1, "m", "s")});
  short_factor.cholesky.pop_back();
  EXPECT_EQ(build_error(short_factor), "cholesky has 15 values but dimensions 4 needs 16");

  BanditSync longer = document({arm(1, "m", "s")});
  longer.theta.push_back(std::numeric_limits<double>::quiet_NaN());
  longer.cholesky.push_back(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(build_error(longer), "built");
}

TEST(EngineCore, FactorSizeMessageIsExactBeyondThirtyTwoBits) {
  // 23,333 models and one prompt: width 70,000, whose square exceeds 2^32.
  std::vector<ArmSync> arms;
  for (int i = 0; i < 23333; ++i) arms.push_back(arm(i, "m" + std::to_string(i), "s"));
  BanditSync doc;
  doc.dimensions = 70000;
  doc.theta.assign(70000, 0.0);
  doc.arms = std::move(arms);
  EXPECT_EQ(build_error(std::move(doc)),
            "cholesky has 0 values but dimensions 70000 needs 4900000000");
}

TEST(EngineCore, FailedRefreshChangesNothing) {
  const BanditSync good = document({arm(1, "m", "s"), arm(2, "n", "s", true, 5.0)}, 0.5);
  BanditEngineCore core = make(good);
  BanditEngineCore twin = make(good);
  EXPECT_EQ(pull_text(core, 3), pull_text(twin, 3));

  BanditSync no_arms = document({});
  no_arms.bandit_id = 99;
  BanditSync mismatched = document({arm(9, "x", "y")});
  mismatched.dimensions = 5;
  for (BanditSync* bad : {&no_arms, &mismatched}) {
    const std::string arms_before = core.get_arms_json();
    EXPECT_FALSE(core.refresh_from_sync(std::move(*bad)));
    EXPECT_EQ(core.bandit_id(), 7);
    EXPECT_EQ(core.bandit_name(), "support");
    EXPECT_EQ(core.dimensions(), 7u);
    EXPECT_EQ(core.num_arms(), 2u);
    EXPECT_EQ(core.get_arms_json(), arms_before);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pull_text(core, 3), pull_text(twin, 3));
}

TEST(EngineCore, RefreshReplacesEverythingButContinuesTheRandomSequence) {
  BanditEngineCore core = make(document({arm(1, "m", "s"), arm(2, "n", "s")}), 42);
  BanditSync next = document({arm(8, "x", "s"), arm(9, "y", "s", false)});  // also width 7
  next.bandit_id = -4;
  next.name = "other";
  BanditEngineCore reference = make(next, 42);

  pull_text(core);
  pull_text(reference);
  ASSERT_TRUE(core.refresh_from_sync(BanditSync(next)));
  EXPECT_EQ(core.bandit_id(), -4);
  EXPECT_EQ(core.bandit_name(), "other");
  EXPECT_EQ(core.get_arms_json(), reference.get_arms_json());
  EXPECT_EQ(pull_text(core, 20), pull_text(reference, 20));
}

TEST(EngineCore, QueryAndLatencyCells) {
  // With the mean alone the score is the cell that theta picks out; one model, one prompt: the
  // query cell is column 2, the latency cell column 3.
  const auto score_of = [](BanditSync doc, std::optional<std::uint32_t> q) {
    BanditEngineCore core = make(std::move(doc));
    return pull_text(core, q);
  };
  EXPECT_EQ(score_of(exact({arm(1, "m", "s")}, {0, 0, 1, 0}), 100),
            R"({"arm_index":0,"arm_id":1,"scores":{"1":4.605170185988092}})");
  for (const auto q : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0},
                       std::optional<std::uint32_t>{1}}) {
    EXPECT_EQ(score_of(exact({arm(1, "m", "s")}, {0, 0, 1, 0}), q),
              R"({"arm_index":0,"arm_id":1,"scores":{"1":0.0}})");
  }

  BanditSync with_reference =
      exact({arm(1, "m", "s", true, 100.0), arm(2, "m", "s")}, {0, 0, 0, 1});
  with_reference.avg_latency_last_n = 200.0;
  EXPECT_EQ(score_of(with_reference, 5),
            R"({"arm_index":1,"arm_id":2,"scores":{"1":0.5,"2":1.0}})");
  for (const double b : {0.0, -1.0}) {
    with_reference.avg_latency_last_n = b;
    EXPECT_EQ(score_of(with_reference, 5),
              R"({"arm_index":0,"arm_id":1,"scores":{"1":1.0,"2":1.0}})");
  }
}

TEST(EngineCore, SelectionHonoursTiesActivityAndExclusion) {
  // Same model and prompt: equal scores, so the first eligible arm wins.
  BanditEngineCore ties = make(document({arm(10, "m", "s"), arm(11, "m", "s")}));
  const std::string tied = pull_text(ties, 7);
  EXPECT_EQ(tied.rfind(R"({"arm_index":0,"arm_id":10,"scores":{"10":)", 0), 0u) << tied;
  EXPECT_EQ(
      pull_text(ties, 7, {10, 12345}).rfind(R"({"arm_index":1,"arm_id":11,"scores":{"11":)", 0),
      0u);
  EXPECT_EQ(pull_text(ties, 7, {11, 10}), "error: All arms excluded or inactive");

  // The inactive arm would score highest; it is skipped but still counted by arm_index.
  BanditEngineCore inactive =
      make(exact({arm(1, "a", "s", false), arm(2, "b", "s")}, {5, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(pull_text(inactive), R"({"arm_index":1,"arm_id":2,"scores":{"2":1.0}})");

  BanditEngineCore only_inactive = make(document({arm(1, "m", "s", false)}));
  EXPECT_EQ(only_inactive.num_arms(), 1u);
  EXPECT_EQ(pull_text(only_inactive), "error: All arms excluded or inactive");
}

// Arms of their own identifiers are scored and written in one pass, their head placed after
// them: the texts must not depend on where the document goes or on the last pull's head.
TEST(EngineCore, TextsDoNotDependOnWhereTheyAreWrittenOrOnTheLastPull) {
  std::vector<ArmSync> arms;
  for (int k = 0; k < 12; ++k) {
    const std::int64_t id = k % 3 == 0 ? -1234567890123LL * k : k;  // heads of several lengths
    arms.push_back(arm(id, "m" + std::to_string(k % 4), "s" + std::to_string(k % 3), k != 5));
  }
  BanditEngineCore moved = make(document(arms), 3), anywhere = make(document(arms), 3);
  std::vector<char> room(anywhere.result_bound());
  std::set<std::size_t> head_lengths;
  for (int i = 0; i < 300; ++i) {
    std::vector<std::int32_t> exclude;
    if (i % 7 == 0) exclude = {1, 2, 4, 7, 8, 10, 11, 2, 1, 1};  // more than a few, and repeats
    const std::string text = pull_text(moved, i % 5 * 100, exclude);
    const auto placed = anywhere.pull_anywhere(i % 5 * 100, exclude, room);
    ASSERT_TRUE(placed) << placed.error();
    ASSERT_EQ(*placed, text);
    // Eleven active arms, all back once a pull's exclusions are over; seven of them excluded.
    const auto members = (std::count(text.begin(), text.end(), '"') - 6) / 2;
    ASSERT_EQ(members, exclude.empty() ? 11 : 4) << text;
    head_lengths.insert(text.find("\"scores\""));
  }
  EXPECT_GE(head_lengths.size(), 4u);  // the one-pass writer's members moved both ways
}

TEST(EngineCore, DuplicateIdentifiersReportTheLaterScoreInFirstOccurrenceOrder) {
  // Models by ascending id: a, c, b. Scores: first arm 4 -> 3.0, arm 9 -> 1.0, second arm 4 -> 2.0.
  BanditEngineCore core = make(exact({arm(4, "a", "s"), arm(9, "b", "s"), arm(4, "c", "s")},
                                     {3, 2, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(pull_text(core), R"({"arm_index":0,"arm_id":4,"scores":{"4":2.0,"9":1.0}})");
  EXPECT_EQ(pull_text(core, std::nullopt, {4}), R"({"arm_index":1,"arm_id":9,"scores":{"9":1.0}})");
}

TEST(EngineCore, NonFiniteScores) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // A NaN weight reaches every arm through its 0.0 cells: nothing can be chosen.
  BanditEngineCore nan_weight =
      make(exact({arm(1, "a", "s"), arm(2, "b", "s")}, {1, nan, 0, 0, 0, 0, 0}));
  EXPECT_EQ(pull_text(nan_weight), "error: All arms excluded or inactive");

  // An infinite latency cell times its 0.0 weight makes that one arm NaN: listed, never chosen.
  BanditSync nan_cell =
      exact({arm(1, "a", "s", true, 1e300), arm(2, "a", "s", true, 1.0)}, {1, 0, 0, 0});
  nan_cell.avg_latency_last_n = 1e-300;
  BanditEngineCore one_nan = make(nan_cell);
  EXPECT_EQ(pull_text(one_nan), R"({"arm_index":1,"arm_id":2,"scores":{"1":null,"2":1.0}})");

  BanditEngineCore all_nan = make(exact({arm(1, "a", "s")}, {nan, 0, 0, 0}));
  EXPECT_EQ(pull_text(all_nan), "error: All arms excluded or inactive");

  // +inf wins; every other arm multiplies it by a 0.0 cell and scores NaN, as the dense sum does.
  BanditEngineCore infinite =
      make(exact({arm(1, "a", "s"), arm(2, "b", "s")}, {1, inf, 0, 0, 0, 0, 0}));
  EXPECT_EQ(pull_text(infinite), R"({"arm_index":1,"arm_id":2,"scores":{"1":null,"2":null}})");

  BanditEngineCore minus_inf = make(exact({arm(1, "a", "s")}, {-inf, 0, 0, 0}));
  EXPECT_EQ(pull_text(minus_inf), "error: All arms excluded or inactive");
}

TEST(EngineCore, FailedPullsStillAdvanceTheGenerator) {
  const BanditSync doc = document({arm(1, "m", "s"), arm(2, "n", "s")});
  BanditEngineCore core = make(doc, 5);
  BanditEngineCore twin = make(doc, 5);
  EXPECT_EQ(pull_text(core, 1, {1, 2}), "error: All arms excluded or inactive");
  pull_text(twin);
  EXPECT_EQ(pull_text(core, 9), pull_text(twin, 9));
}

TEST(EngineCore, MovedFromCoreHasNoArms) {
  BanditEngineCore core = make(document({arm(1, "m", "s")}));
  BanditEngineCore moved = std::move(core);
  EXPECT_EQ(moved.num_arms(), 1u);
  EXPECT_EQ(core.num_arms(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(core.get_arms_json(), "[]");
  EXPECT_EQ(pull_text(core), "error: No arms available");
}

constexpr const char* kWorkedDocument = R"({
  "bandit_id": 1, "name": "abc", "dimensions": 4, "theta": [0.1, 0.2, 0.3, 0.4],
  "cholesky": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]],
  "arms": [{"arm_id": 1, "model_name": "m", "model_provider": "p", "system_prompt": "s"}]
})";

TEST(EngineCoreFromText, WorkedPullAndDefaultSeed) {
  auto core = BanditEngineCore::construct(kWorkedDocument, 0);
  ASSERT_TRUE(core) << core.error();
  EXPECT_EQ(pull_text(*core, 100),
            R"({"arm_index":0,"arm_id":1,"scores":{"1":-6.374875030534525}})");
  EXPECT_EQ(core->get_arms_json(),
            R"([{"arm_id":1,"model_name":"m","model_provider":"p","system_prompt":"s",)"
            R"("is_active":true,"avg_latency_last_n":null}])");

  auto defaulted = BanditEngineCore::construct(kWorkedDocument, std::nullopt);
  auto seeded = BanditEngineCore::construct(kWorkedDocument, 16654208175385433930u);
  ASSERT_TRUE(defaulted && seeded);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pull_text(*defaulted, 7), pull_text(*seeded, 7));
}

TEST(EngineCoreFromText, ReaderAndBuildFailuresLeaveTheEngineAsItWas) {
  auto refused = BanditEngineCore::construct("{}", 0);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "missing field `bandit_id` at line 1 column 1");

  auto core = BanditEngineCore::construct(kWorkedDocument, 0);
  auto twin = BanditEngineCore::construct(kWorkedDocument, 0);
  ASSERT_TRUE(core && twin);
  const auto no_arms = core->refresh(
      R"({"bandit_id": 2, "name": "x", "theta": [], "cholesky": [], "dimensions": 0, "arms": []})");
  ASSERT_FALSE(no_arms);
  EXPECT_EQ(no_arms.error(), "No arms in sync response");
  const auto syntax = core->refresh("[");
  ASSERT_FALSE(syntax);
  EXPECT_EQ(syntax.error(), "EOF while parsing a list at line 1 column 1");
  EXPECT_EQ(core->bandit_id(), 1);
  EXPECT_EQ(core->bandit_name(), "abc");
  EXPECT_EQ(pull_text(*core, 100), pull_text(*twin, 100));

  ASSERT_TRUE(core->refresh(R"({"bandit_id": 3, "name": "next", "theta": [0, 0, 0, 0],
      "cholesky": [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], "dimensions": 4,
      "arms": [[9, "m", "p", "s"]]})"));
  EXPECT_EQ(core->bandit_id(), 3);
  EXPECT_EQ(core->num_arms(), 1u);
  EXPECT_EQ(pull_text(*core), R"({"arm_index":0,"arm_id":9,"scores":{"9":0.0}})");
}

}  // namespace
}  // namespace korvane
