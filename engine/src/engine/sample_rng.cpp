#include "engine/sample_rng.hpp"

namespace korvane {

SampleRng SampleRng::from_seed(std::uint64_t seed) {
  SampleRng rng;
  std::uint64_t x = seed;
  for (std::uint64_t& word : rng.s_) {
    x += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    word = z ^ (z >> 31);
  }
  return rng;
}

std::uint64_t default_seed(std::int64_t bandit_id, std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h ^ static_cast<std::uint64_t>(bandit_id);
}

}  // namespace korvane
