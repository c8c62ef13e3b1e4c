// BanditEngineCore: the whole state of one bandit and its decisions.
// Fallible operations return Result (a one-line message on failure). Only a broken internal
// invariant throws, as InternalError; allocation failure throws std::bad_alloc. Construct and
// refresh allocate the new state; pull allocates only its result text on the steady path, and
// pull_into nothing.
// The type is movable; a moved-from core holds no arms (pull fails with "No arms available").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/sample_rng.hpp"
#include "shared/result.hpp"

namespace korvane {

struct BanditSync;

class BanditEngineCore {
 public:
  // Builds a state from a sync document; the generator is seeded from `seed`, or from the
  // document's bandit identifier and name when it is absent.
  static Result<BanditEngineCore> construct(std::string_view bandit_json,
                                            std::optional<std::uint64_t> seed);
  // The same, from a document that has already been read.
  static Result<BanditEngineCore> from_sync(BanditSync&& sync, std::optional<std::uint64_t> seed);

  // All or nothing: on failure the state is exactly as before. The generator is never reseeded.
  Result<void> refresh(std::string_view bandit_json);
  Result<void> refresh_from_sync(BanditSync&& sync);

  BanditEngineCore(BanditEngineCore&&) noexcept;
  BanditEngineCore& operator=(BanditEngineCore&&) noexcept;
  ~BanditEngineCore();

  std::int64_t bandit_id() const;
  const std::string& bandit_name() const;
  std::size_t dimensions() const;
  std::size_t num_arms() const;

  std::string get_arms_json() const;

  // The result document {"arm_index":…,"arm_id":…,"scores":{…}}, or an engine error.
  // Throws InternalError only if the state's invariants are broken.
  Result<std::string> pull(std::optional<std::uint32_t> query_length,
                           std::span<const std::int32_t> exclude_ids);

  // The same pull, writing the document (always ASCII) into `out` and returning its length; the
  // bytes after it are left with unspecified contents. `out` must hold result_bound() bytes
  // (InternalError otherwise, before anything changes). It allocates nothing.
  Result<std::size_t> pull_into(std::optional<std::uint32_t> query_length,
                                std::span<const std::int32_t> exclude_ids, std::span<char> out);
  // As pull_into, but the document may start anywhere in `out`: its place is returned. It spares
  // the move that pull_into makes when the chosen arm's head is not as long as the last one's.
  Result<std::string_view> pull_anywhere(std::optional<std::uint32_t> query_length,
                                         std::span<const std::int32_t> exclude_ids,
                                         std::span<char> out);
  // The room pull_into and pull_anywhere need: the longest document of the current state plus
  // scratch.
  std::size_t result_bound() const;

 private:
  struct State;
  BanditEngineCore(std::unique_ptr<State> state, SampleRng rng);
  static Result<std::unique_ptr<State>> build_state(BanditSync&& sync);
  // The build's last step, the pull's own (pull.cpp): every group's member name rendered, the
  // result text and the scratch sized.
  static void prepare_pull(State& s);
  Result<std::string_view> pull_text(std::optional<std::uint32_t> query_length,
                                     std::span<const std::int32_t> exclude_ids, std::span<char> out,
                                     bool at_start);

  std::unique_ptr<State> state_;
  SampleRng rng_;  // outside the state, which a refresh replaces whole
};

}  // namespace korvane
