// BanditEngineCore: the whole state of one bandit and its decisions.
// Fallible operations return Result (a one-line message on failure). Only a broken internal
// invariant throws, as InternalError. Construct and refresh allocate the new state; pull allocates
// only its result text on the steady path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "features/result.hpp"

namespace korvane {

class BanditEngineCore {
 public:
  // Builds a state from a sync document; the generator is seeded from `seed`, or from the
  // document's bandit identifier and name when it is absent.
  static Result<BanditEngineCore> construct(std::string_view bandit_json,
                                            std::optional<std::uint64_t> seed);

  // All or nothing: on failure the state is exactly as before. The generator is never reseeded.
  Result<void> refresh(std::string_view bandit_json);

  std::int64_t bandit_id() const;
  const std::string& bandit_name() const;
  std::size_t dimensions() const;
  std::size_t num_arms() const;

  std::string get_arms_json() const;

  // The result document {"arm_index":…,"arm_id":…,"scores":{…}}, or an engine error.
  // Throws InternalError only if the state's invariants are broken.
  Result<std::string> pull(std::optional<std::uint32_t> query_length,
                           std::span<const std::int32_t> exclude_ids);

  // (private state: owned by the engine implementation)
};

}  // namespace korvane
