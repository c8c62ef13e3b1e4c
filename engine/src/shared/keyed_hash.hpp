// Keyed hashing of the texts a sync document names, so that no document can pick keys that share
// a probe chain of the tables built from it. SipHash-1-3 over 64-bit words; HalfSipHash-1-3 over
// 32-bit words where the machine word is narrow (a 64-bit rotation takes four instructions there).
// The key is a per-process secret from the operating system's random source (process_secret.cpp),
// read once on first use; tests pass keys of their own. No output may depend on a hash value:
// only the layout of a table does. Nothing here allocates or throws.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "shared/portable.hpp"
#include "shared/word_math.hpp"

namespace korvane::keyed_hash {

struct Key {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;  // unused by the 32-bit variant, whose key is k0
};

// The process's secret key.
const Key& process_key() noexcept;

// SipHash-c-d with 64-bit words (Word = std::uint64_t) or HalfSipHash-c-d with 32-bit words and
// a 32-bit result (Word = std::uint32_t), over little-endian words whatever the machine's order.
template <class Word, int C, int D>
class Sip {
  static_assert(std::is_same_v<Word, std::uint64_t> || std::is_same_v<Word, std::uint32_t>);
  static constexpr bool kWide = sizeof(Word) == 8;

 public:
  explicit Sip(const Key& key) noexcept {
    if constexpr (kWide) {
      v0_ = key.k0 ^ 0x736f6d6570736575ULL;
      v1_ = key.k1 ^ 0x646f72616e646f6dULL;
      v2_ = key.k0 ^ 0x6c7967656e657261ULL;
      v3_ = key.k1 ^ 0x7465646279746573ULL;
    } else {
      const auto k0 = static_cast<std::uint32_t>(key.k0);
      const auto k1 = static_cast<std::uint32_t>(key.k0 >> 32);
      v0_ = k0;
      v1_ = k1;
      v2_ = k0 ^ 0x6c796765u;
      v3_ = k1 ^ 0x74656462u;
    }
  }

  KORVANE_ALWAYS_INLINE void word(Word m) noexcept {
    v3_ ^= m;
    for (int i = 0; i < C; ++i) round();
    v0_ ^= m;
  }

  // The text's whole words, then its last bytes zero-padded to a word: where a text ends is known
  // from a length absorbed before it.
  void padded(std::string_view text) noexcept {
    const char* p = whole_words(text);
    const std::size_t rest = text.size() % sizeof(Word);
    if (rest != 0) word(tail(p, rest));
  }

  // The text's whole words, then the last block (its last bytes and its length), and the result.
  Word finish(std::string_view text) noexcept {
    const char* p = whole_words(text);
    const Word last =
        tail(p, text.size() % sizeof(Word)) |
        static_cast<Word>(static_cast<Word>(text.size() & 0xff) << (8 * sizeof(Word) - 8));
    word(last);
    v2_ ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    if constexpr (kWide) {
      return v0_ ^ v1_ ^ v2_ ^ v3_;
    } else {
      return v1_ ^ v3_;
    }
  }

 private:
  KORVANE_ALWAYS_INLINE void round() noexcept {
    if constexpr (kWide) {
      v0_ += v1_, v1_ = std::rotl(v1_, 13), v1_ ^= v0_, v0_ = std::rotl(v0_, 32);
      v2_ += v3_, v3_ = std::rotl(v3_, 16), v3_ ^= v2_;
      v0_ += v3_, v3_ = std::rotl(v3_, 21), v3_ ^= v0_;
      v2_ += v1_, v1_ = std::rotl(v1_, 17), v1_ ^= v2_, v2_ = std::rotl(v2_, 32);
    } else {
      v0_ += v1_, v1_ = std::rotl(v1_, 5), v1_ ^= v0_, v0_ = std::rotl(v0_, 16);
      v2_ += v3_, v3_ = std::rotl(v3_, 8), v3_ ^= v2_;
      v0_ += v3_, v3_ = std::rotl(v3_, 7), v3_ ^= v0_;
      v2_ += v1_, v1_ = std::rotl(v1_, 13), v1_ ^= v2_, v2_ = std::rotl(v2_, 16);
    }
  }

  KORVANE_ALWAYS_INLINE const char* whole_words(std::string_view text) noexcept {
    const char* p = text.data();
    for (std::size_t n = text.size() / sizeof(Word); n > 0; --n, p += sizeof(Word)) {
      Word m;
      std::memcpy(&m, p, sizeof m);
      if constexpr (std::endian::native == std::endian::big) m = portable::byteswap(m);
      word(m);
    }
    return p;
  }

  KORVANE_ALWAYS_INLINE static Word tail(const char* p, std::size_t n) noexcept {
    Word m = 0;
    for (std::size_t i = 0; i < n; ++i) {
      m |= static_cast<Word>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    return m;
  }

  Word v0_, v1_, v2_, v3_;
};

// The hashes the tables use: as wide as the machine word.
using Hash = std::conditional_t<word_math::kNarrow, std::uint32_t, std::uint64_t>;
using TableSip = Sip<Hash, 1, 3>;

inline Hash hash_text(const Key& key, std::string_view text) noexcept {
  return TableSip(key).finish(text);
}

// A pair of texts: the first one's length, the first text padded to a word, the second text.
inline Hash hash_pair(const Key& key, std::string_view first, std::string_view second) noexcept {
  TableSip sip(key);
  sip.word(static_cast<Hash>(first.size()));
  sip.padded(first);
  return sip.finish(second);
}

}  // namespace korvane::keyed_hash
