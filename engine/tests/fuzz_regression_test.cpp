// Inputs that the fuzz targets found, kept as ordinary cases. Each names what it found.
#include <gtest/gtest.h>

#include <string>

#include "engine/engine_core.hpp"
#include "sync_reading.hpp"

namespace korvane {
namespace {

using testing::message;

// Reader target, input "{": the first bracket of every read is the first push onto the JSON
// library's parse stack, which the clang UndefinedBehaviorSanitizer flags inside that library
// (an offset applied to its still-null stack pointer). The fuzz build silences exactly that
// report (engine/fuzz/ubsan.supp); these reads must still be refused cleanly, one after another,
// and leave nothing behind for the next read.
TEST(FuzzRegression, FirstBracketOfEachRead) {
  EXPECT_EQ(message("{"), "EOF while parsing an object at line 1 column 1");
  EXPECT_EQ(message("["), "EOF while parsing a list at line 1 column 1");
  EXPECT_EQ(message("[["), "invalid type: sequence, expected i64 at line 1 column 1");
  EXPECT_EQ(message("{\"x\": {"), "EOF while parsing an object at line 1 column 7");
  EXPECT_EQ(message("\xbb\"cholesky\""), "expected value at line 1 column 1");
  auto core = BanditEngineCore::construct(
      R"({"bandit_id": 1, "name": "b", "theta": [0, 0, 0, 0], "cholesky": [[1]], )"
      R"("dimensions": 4, "arms": [{"arm_id": 3, "model_name": "m", "model_provider": "p", )"
      R"("system_prompt": "s"}]})",
      0);
  EXPECT_EQ(core ? "built" : core.error(), "cholesky has 1 values but dimensions 4 needs 16");
}

}  // namespace
}  // namespace korvane
