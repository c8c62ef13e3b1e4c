#include "engine/json_writer.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/shortest_decimal.hpp"
#include "shared/portable.hpp"
#include "shared/text.hpp"

namespace korvane::json {
namespace {

// A 32-bit machine divides 64-bit integers in a library call: there the search's products are
// made of 32-bit ones and every division by a constant is a multiplication.
using word_math::kNarrow;

// v / 10^8 and the eight digits below, for v < 10^17.
KORVANE_ALWAYS_INLINE std::uint64_t upper_of(std::uint64_t v) {
  return shortest::div_1e8<kNarrow>(v);
}

// The significant digits sit right-aligned in the first 17 bytes of `text`; the bytes after them
// are slack, so that fixed-size copies of kCopy bytes from any digit stay inside the array.
constexpr int kCopy = 32;

struct Digits {
  char text[17 + kCopy];
  int count;     // number of significant digits, at text + 17 - count
  int exponent;  // value = digits × 10^exponent
  bool negative;

  const char* begin() const { return text + 17 - count; }
};

constexpr std::array<std::uint64_t, 20> kPow10 = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

int digit_count(std::uint64_t v) {  // v > 0
  const int bits = 64 - portable::countl_zero_nonzero(v);
  const int t = (bits * 1233) >> 12;  // log10(2^bits), low by at most one
  return t - (v < kPow10[static_cast<std::size_t>(t)]) + 1;
}

// The eight decimal digits of v < 10^8 as ASCII bytes, most significant first in memory: all
// eight digits are split out at once in the lanes of one 64-bit word (4 + 4, 2 + 2, 1 + 1).
KORVANE_ALWAYS_INLINE std::uint64_t eight_digits(std::uint32_t v) {
  if constexpr (kNarrow) {
    // Two words of four digits: the lanes of a 32-bit word (2 + 2, then 1 + 1).
    const auto four = [](std::uint32_t n) {  // n < 10^4
      const std::uint32_t hundreds = (n * 5243) >> 19;
      std::uint32_t x = hundreds | ((n - hundreds * 100) << 16);
      const std::uint32_t tens = ((x * 103) >> 10) & 0x000F000F;  // each 16-bit lane / 10
      x = tens | ((x - tens * 10) << 8);
      x |= 0x30303030;
      if constexpr (std::endian::native == std::endian::big) x = portable::byteswap(x);
      return x;
    };
    const std::uint32_t high = v / 10000;
    const std::uint64_t first = four(high), second = four(v - high * 10000);
    return std::endian::native == std::endian::big ? (first << 32) | second
                                                   : first | (second << 32);
  }
  const std::uint64_t high = v / 10000;
  std::uint64_t x = high | (static_cast<std::uint64_t>(v - high * 10000) << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // each 32-bit lane / 100
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // each 16-bit lane / 10
  x = q | ((x - q * 10) << 8);
  x |= 0x3030303030303030ULL;
  if constexpr (std::endian::native == std::endian::big) x = portable::byteswap(x);
  return x;
}

#if !KORVANE_SSE2
// "00" to "99".
constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// The four digits of v < 10^4 at p, two by two from the table of pairs.
KORVANE_ALWAYS_INLINE void four_digits(char* p, std::uint32_t v) {
  const std::uint32_t high = (v * 5243) >> 19;  // v / 100
  std::memcpy(p, &kPairs[2 * high], 2);
  std::memcpy(p + 2, &kPairs[2 * (v - high * 100)], 2);
}
#endif

// The sixteen digits of high and low (each below 10^8) as ASCII at p, most significant first.
KORVANE_ALWAYS_INLINE void sixteen_digits(char* p, std::uint32_t high, std::uint32_t low) {
#if KORVANE_SSE2
  // Every lane splits in two at once, in text order: 4 + 4 digits per 64-bit lane, 2 + 2 per
  // 32-bit lane, 1 + 1 per 16-bit lane, the quotients by multiplications with the high half kept.
  const __m128i x = _mm_set_epi64x(low, high);
  const __m128i by_10000 = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(0xd1b71759)), 45);
  const __m128i below_10000 = _mm_sub_epi32(x, _mm_mul_epu32(by_10000, _mm_set1_epi32(10000)));
  const __m128i fours = _mm_or_si128(by_10000, _mm_slli_epi64(below_10000, 32));
  // (v * 41944) >> 22 is v / 100 for v < 10^4; the remainder's -100 * quotient in one madd.
  const __m128i by_100 =
      _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi16(static_cast<short>(41944))), 6);
  const __m128i minus_hundreds = _mm_madd_epi16(by_100, _mm_set1_epi32(0xff9c));  // -100 * q
  const __m128i twos =
      _mm_add_epi32(by_100, _mm_slli_epi32(_mm_add_epi32(fours, minus_hundreds), 16));
  // v / 10 for v < 100 is the high half of v * 6554, the next digit that of 10 * the low half.
  const __m128i tenths = _mm_mullo_epi16(twos, _mm_set1_epi16(6554));
  const __m128i by_10 = _mm_mulhi_epu16(twos, _mm_set1_epi16(6554));
  const __m128i below_10 = _mm_mulhi_epu16(tenths, _mm_set1_epi16(10));
  const __m128i ones = _mm_or_si128(by_10, _mm_slli_epi16(below_10, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_add_epi8(ones, _mm_set1_epi8('0')));
#else
  const std::uint32_t a = high / 10000, b = low / 10000;
  four_digits(p, a);
  four_digits(p + 4, high - a * 10000);
  four_digits(p + 8, b);
  four_digits(p + 12, low - b * 10000);
#endif
}

// Precondition: value is finite. Zero yields the single digit "0".
Digits shortest_digits(double value) {
  Digits d;
  d.negative = std::signbit(value);
  if (value == 0.0) {
    d.text[16] = '0';
    d.count = 1;
    d.exponent = 0;
    return d;
  }
  const auto decimal = shortest::to_decimal(value);
  const std::uint64_t v = decimal.significand;  // below 10^17
  const std::uint64_t upper = upper_of(v);
  const std::uint32_t top = static_cast<std::uint32_t>(upper) / 100000000;  // upper < 10^9
  const std::uint64_t middle = eight_digits(static_cast<std::uint32_t>(upper) - top * 100000000);
  const std::uint64_t low = eight_digits(static_cast<std::uint32_t>(v - upper * 100000000));
  d.text[0] = static_cast<char>('0' + top);
  std::memcpy(d.text + 1, &middle, 8);
  std::memcpy(d.text + 9, &low, 8);
  d.count = digit_count(v);
  d.exponent = decimal.exponent;
  return d;
}

char* put_digits(char* p, const char* first, int n) {
  return text::put(p, {first, static_cast<std::size_t>(n)});
}

char* put_zeros(char* p, int n) {
  std::memset(p, '0', static_cast<std::size_t>(n));
  return p + n;
}

// Plain decimal notation into p, which has room for count + |exponent| + 4 bytes.
char* write_fixed(char* p, const Digits& d) {
  if (d.negative) *p++ = '-';
  const int point = d.count + d.exponent;  // digits before the decimal point
  if (d.exponent >= 0) {
    p = put_zeros(put_digits(p, d.begin(), d.count), d.exponent);
    return text::put(p, ".0");
  }
  if (point > 0) {
    p = put_digits(p, d.begin(), point);
    *p++ = '.';
    return put_digits(p, d.begin() + point, d.count - point);
  }
  p = put_zeros(text::put(p, "0."), -point);
  return put_digits(p, d.begin(), d.count);
}

}  // namespace

void append_string(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(utf8.data() + run, utf8.size() - run);
  out.push_back('"');
}

char* write_uint(char* p, std::uint64_t value) {
  if constexpr (kNarrow) {
    // 32-bit digits, and eight more per factor of 10^8 above them.
    if (value >> 32 != 0) {
      const std::uint64_t high = shortest::div_1e8<kNarrow>(value);
      const std::uint64_t low = eight_digits(static_cast<std::uint32_t>(value) -
                                             static_cast<std::uint32_t>(high) * 100000000);
      p = write_uint(p, high);
      std::memcpy(p, &low, 8);
      return p + 8;
    }
    return std::to_chars(p, p + kMaxIntegerText, static_cast<std::uint32_t>(value)).ptr;
  } else {
    return std::to_chars(p, p + kMaxIntegerText, value).ptr;
  }
}

char* write_int(char* p, std::int64_t value) {
  if constexpr (kNarrow) {
    *p = '-';
    const auto bits = static_cast<std::uint64_t>(value);
    return write_uint(p + (bits >> 63), value < 0 ? 0 - bits : bits);
  } else {
    return std::to_chars(p, p + kMaxIntegerText, value).ptr;
  }
}

// head / 10^8 and the remainder, for head < 10^16.
struct Halves {
  std::uint32_t upper, lower;
};

KORVANE_ALWAYS_INLINE Halves split_head(std::uint64_t head) {
  if constexpr (kNarrow) {
    // head < 2^54: floor(2^58 / 10^8) gives the quotient low by at most one (head / 2^58 < 1/16),
    // from two 32 × 32-bit products; the remainder, below 2 × 10^8, says which.
    constexpr std::uint32_t kM = static_cast<std::uint32_t>((std::uint64_t{1} << 58) / 100000000);
    const std::uint64_t low = std::uint64_t{static_cast<std::uint32_t>(head)} * kM;
    const std::uint64_t high =
        std::uint64_t{static_cast<std::uint32_t>(head >> 32)} * kM + (low >> 32);
    Halves h{static_cast<std::uint32_t>(high >> 26), 0};
    h.lower = static_cast<std::uint32_t>(head) - h.upper * 100000000;
    if (h.lower >= 100000000) {
      ++h.upper;
      h.lower -= 100000000;
    }
    return h;
  } else {
    const auto upper = static_cast<std::uint32_t>(upper_of(head));
    return {upper, static_cast<std::uint32_t>(head) - upper * 100000000};
  }
}

// The digits up to the last non-zero one among the sixteen at p, the first of which is not zero:
// the longer candidate keeps its trailing zeros, which the text shows for free.
KORVANE_ALWAYS_INLINE int significant_count(const char* p) {
  std::uint64_t last, first;
  std::memcpy(&last, p + 8, 8);
  std::memcpy(&first, p, 8);
  last ^= 0x3030303030303030ULL;  // zero bytes where the digits are '0'
  first ^= 0x3030303030303030ULL;
  // The text's last byte is the word's most significant one on a little-endian machine.
  const auto zero_digits = [](std::uint64_t w) {
    return (std::endian::native == std::endian::little ? std::countl_zero(w)
                                                       : std::countr_zero(w)) >>
           3;
  };
  if (last != 0) [[likely]]
    return 16 - zero_digits(last);
  return 8 - zero_digits(first);
}

// The search's digits for the text that starts at p: head's sixteen from p - leading_zero (the
// byte before p is kept), then the shorter candidate's last digit; returns how many digits from p
// are significant.
KORVANE_ALWAYS_INLINE int store_digits(char* p, const shortest::Split& split, Halves halves,
                                       int leading_zero) {
  char* const at = p - leading_zero;
  const char before = p[-1];
  sixteen_digits(at, halves.upper, halves.lower);
  p[-1] = before;
  if (split.last == shortest::kNoDigit) {
    at[16] = '0';  // a whole number's sixteenth digit when the first fifteen are all of head's
    return significant_count(at) - leading_zero;
  }
  at[16] = static_cast<char>('0' + split.last);
  return 17 - leading_zero;
}

// Zero, subnormals, infinities and not-a-number, away from the common path. A subnormal is below
// 1e-5: scientific notation.
KORVANE_NOINLINE char* write_rare(char* p, double value) {
  if (!std::isfinite(value)) return text::put(p, "null");
  const Digits d = shortest_digits(value);
  if (d.negative) *p++ = '-';
  if (value == 0.0) return text::put(p, "0.0");
  *p++ = *d.begin();
  if (d.count > 1) {
    *p++ = '.';
    p = put_digits(p, d.begin() + 1, d.count - 1);
  }
  *p++ = 'e';
  *p++ = '-';
  return std::to_chars(p, p + 4, -(d.count - 1 + d.exponent)).ptr;
}

// The decimal point at `point`, the (at most 16) digits there moved one byte on.
KORVANE_ALWAYS_INLINE void put_point(char* point) {
  if constexpr (kNarrow) {
    // In four words held in registers: a 16-byte copy goes through the stack there.
    std::uint32_t fraction[4];
    for (int k = 0; k < 4; ++k) std::memcpy(&fraction[k], point + 4 * k, 4);
    for (int k = 0; k < 4; ++k) std::memcpy(point + 1 + 4 * k, &fraction[k], 4);
  } else {
    char fraction[16];
    std::memcpy(fraction, point, 16);
    std::memcpy(point + 1, fraction, 16);
  }
  *point = '.';
}

// The digits go straight to their place, sixteen at a time and the last one after them; the
// bytes past the text are scratch, and the point is put in by moving the digits after it one byte
// on.
KORVANE_ALWAYS_INLINE char* write_other(char* p, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  // One test for zero, the subnormals and the values with the largest exponent.
  if (((bits >> 52) & 0x7ff) - 1 >= 0x7fe) [[unlikely]]
    return write_rare(p, value);
  *p = '-';
  p += bits >> 63;
  const shortest::Split split = shortest::search_normal<kNarrow>(bits);
  const Halves halves = split_head(split.head);
  const int leading_zero = halves.upper < 10000000;  // a normal double's head has 15 or 16 digits
  const int leading = split.exponent + 15 - leading_zero;  // decimal exponent of the first digit
  if (leading < -5 || leading > 15) {
    const int count = store_digits(p + 1, split, halves, leading_zero);
    p[0] = p[1];
    if (count == 1) {
      ++p;
    } else {
      p[1] = '.';
      p += count + 1;
    }
    *p++ = 'e';
    *p++ = leading < 0 ? '-' : '+';
    return std::to_chars(p, p + 3, leading < 0 ? -leading : leading).ptr;
  }
  const int point = leading + 1;  // digits before the decimal point
  if (point <= 0) {
    std::memcpy(p, "0.0000", 6);  // "0." and up to four zeros
    p += 2 - point;
    return p + store_digits(p, split, halves, leading_zero);
  }
  const int count = store_digits(p, split, halves, leading_zero);
  if (count <= point) {  // a whole number of at most 16 digits: the padding zeros are its own
    p += point;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  put_point(p + point);
  return p + count + 1;
}

// 1 <= |value| < 2^52, not a power of two: one to sixteen digits before the point, the layout
// known from the exponent bits alone but for the head's leading zero.
KORVANE_ALWAYS_INLINE char* write_unit_range(char* p, std::uint64_t bits, unsigned r) {
  *p = '-';
  p += bits >> 63;
  const shortest::Split split = shortest::search_unit<kNarrow>(bits, r);
  const Halves halves = split_head(split.head);
  // Positions rather than counts: a head of 15 digits starts a byte early, on its leading zero.
  char* const at = p - (halves.upper < 10000000);
  char* const point = at + 16 + split.exponent;
  const char before = p[-1];
  char* end;
  // Each branch writes the digits itself: on 32-bit ARM, GCC then spills less (7 instructions).
  if (split.last != shortest::kNoDigit) {
    // The shorter candidate's digit is a fraction's (K < 0): the text always has one.
    sixteen_digits(at, halves.upper, halves.lower);
    p[-1] = before;
    at[16] = static_cast<char>('0' + split.last);
    end = at + 18;
  } else {
    sixteen_digits(at, halves.upper, halves.lower);
    p[-1] = before;
    at[16] = '0';  // a whole number's sixteenth digit when the first fifteen are all of head's
    end = at + significant_count(at);
    if (end <= point) {  // a whole number of at most 16 digits: the padding zeros are its own
      std::memcpy(point, ".0", 2);
      return point + 2;
    }
    ++end;
  }
  put_point(point);
  return end;
}

KORVANE_FLATTEN char* write_double(char* p, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const unsigned r = static_cast<unsigned>((bits >> 52) & 0x7ff) - 1023;
  if (r < shortest::kUnitPowers && (bits & ((std::uint64_t{1} << 52) - 1)) != 0) [[likely]]
    return write_unit_range(p, bits, r);
  return write_other(p, value);
}

// A member's name, from a slot copied whole.
KORVANE_ALWAYS_INLINE char* put_key(char* p, const KeySlot& key) {
  if constexpr (kNarrow) {
    // Sixteen bytes hold every name of an identifier below 10^12; longer ones take the rest.
    std::memcpy(p, &key, 16);
    if (key.length > 16) std::memcpy(p + 16, key.text + 16, sizeof(KeySlot) - 16);
  } else {
    std::memcpy(p, &key, sizeof(KeySlot));
  }
  return p + key.length;
}

// The members' loops live here so that the numbers' writing is inlined into them.
KORVANE_FLATTEN char* write_double_members(char* p, std::span<const KeySlot> keys,
                                           const double* values) {
  for (std::size_t g = 0; g < keys.size(); ++g) {
    if (!keys[g].included) continue;
    p = write_double(put_key(p, keys[g]), values[g]);
  }
  return p;
}

KORVANE_FLATTEN char* write_scored_members(char* p, std::span<const KeySlot> keys,
                                           const FeatureRow* rows, const double* weights,
                                           double query_feature, Best& best) {
  // Pointers rather than an index, and the best arm's slot rather than its row: fewer registers
  // live across the numbers' writing.
  const KeySlot* const first = keys.data();
  const KeySlot* const last = first + keys.size();
  const KeySlot* best_key = nullptr;
  double top = best.score;
  const FeatureRow* row = rows;
  for (const KeySlot* key = first; key != last; ++key, ++row) {
    if (!key->included) continue;
    const double score = sparse_score(*row, weights, query_feature);
    if (score > top) {
      top = score;
      best_key = key;
    }
    p = write_double(put_key(p, *key), score);
  }
  if (best_key != nullptr) best = {top, static_cast<std::size_t>(best_key - first)};
  return p;
}

void append_int(std::string& out, std::int64_t value) {
  char buf[kMaxIntegerText];
  out.append(buf, static_cast<std::size_t>(write_int(buf, value) - buf));
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[kMaxIntegerText];
  out.append(buf, static_cast<std::size_t>(write_uint(buf, value) - buf));
}

void append_double(std::string& out, double value) {
  char buf[1 + kDoubleRoom];  // write_double keeps the byte before its text
  out.append(buf + 1, static_cast<std::size_t>(write_double(buf + 1, value) - (buf + 1)));
}

void append_plain_double(std::string& out, double value) {
  const Digits d = shortest_digits(value);
  char buf[352];  // the longest: the smallest subnormal, "0." then 323 zeros and 17 digits
  out.append(buf, static_cast<std::size_t>(write_fixed(buf, d) - buf));
}

}  // namespace korvane::json
