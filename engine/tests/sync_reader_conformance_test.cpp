// The public JSON parsing conformance cases beside the checkout: texts that are not JSON are
// refused with one located line, valid texts are accepted as an unknown key's value, and texts
// whose outcome is left open do neither harm.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "engine/sync.hpp"

namespace {

namespace fs = std::filesystem;

struct CaseFile {
  std::string name;
  std::string bytes;
};

// Empty when the cases are not there (a user's clone has no shared folder).
std::vector<CaseFile> cases_with_prefix(char prefix) {
  std::vector<CaseFile> out;
  const fs::path dir = fs::path(KORVANE_SHARED_DIR) / "jsontestsuite" / "test_parsing";
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return out;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 2 || name[0] != prefix || name[1] != '_') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out.push_back({name, std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(out.begin(), out.end(),
            [](const CaseFile& a, const CaseFile& b) { return a.name < b.name; });
  return out;
}

std::string as_unknown_value(const std::string& json) {
  return R"({"bandit_id": 1, "name": "b", "theta": [], "cholesky": [], "dimensions": 0, "x": )" +
         json + "}";
}

bool is_one_located_line(const std::string& message) {
  static const std::regex located("[^\\n]+ at line [1-9][0-9]* column [0-9]+");
  return std::regex_match(message, located);
}

constexpr char kMissing[] =
    "no conformance cases under " KORVANE_SHARED_DIR "/jsontestsuite/test_parsing";

TEST(SyncReaderConformance, TextsThatAreNotJsonAreRefusedWithOneLocatedLine) {
  const std::vector<CaseFile> cases = cases_with_prefix('n');
  if (cases.empty()) GTEST_SKIP() << kMissing;
  for (const CaseFile& c : cases) {
    const auto bare = korvane::parse_bandit_sync(c.bytes);
    ASSERT_FALSE(bare) << c.name;
    EXPECT_TRUE(is_one_located_line(bare.error())) << c.name << ": " << bare.error();
    const auto embedded = korvane::parse_bandit_sync(as_unknown_value(c.bytes));
    ASSERT_FALSE(embedded) << c.name << " accepted as a value";
    EXPECT_TRUE(is_one_located_line(embedded.error())) << c.name << ": " << embedded.error();
  }
}

TEST(SyncReaderConformance, JsonTextsAreAcceptedAsTheValueOfAnUnknownKey) {
  const std::vector<CaseFile> cases = cases_with_prefix('y');
  if (cases.empty()) GTEST_SKIP() << kMissing;
  for (const CaseFile& c : cases) {
    const auto result = korvane::parse_bandit_sync(as_unknown_value(c.bytes));
    EXPECT_TRUE(result) << c.name << ": " << (result ? "" : result.error());
    const auto bare = korvane::parse_bandit_sync(c.bytes);
    if (!bare) {
      EXPECT_TRUE(is_one_located_line(bare.error())) << c.name << ": " << bare.error();
    }
  }
}

TEST(SyncReaderConformance, TextsLeftToTheImplementationAreReadSafely) {
  const std::vector<CaseFile> cases = cases_with_prefix('i');
  if (cases.empty()) GTEST_SKIP() << kMissing;
  for (const CaseFile& c : cases) {
    for (const std::string& text : {c.bytes, as_unknown_value(c.bytes)}) {
      const auto result = korvane::parse_bandit_sync(text);
      if (!result) {
        EXPECT_TRUE(is_one_located_line(result.error())) << c.name << ": " << result.error();
      }
    }
  }
}

}  // namespace
