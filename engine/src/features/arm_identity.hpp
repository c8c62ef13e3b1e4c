// ArmIdentity: the four fields of an arm that decide its feature columns. A plain value record.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

struct ArmIdentity {
  std::int64_t arm_id = 0;
  std::string model_name;
  std::string model_provider;
  std::string system_prompt;
};

}  // namespace korvane
