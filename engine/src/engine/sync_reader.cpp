// Reads a sync document with the SAX reader: a handler with a small fixed stack of typed frames
// fills the records as the events arrive; values that need no record (unknown keys) and the
// `cholesky` value (whose shape is decided at its end) are followed by a depth counter only.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <rapidjson/reader.h>

#include "engine/sync.hpp"
#include "engine/sync_messages.hpp"
#include "shared/portable.hpp"
#include "shared/text.hpp"

namespace korvane {
namespace {

using sync_detail::ReadError;

// The document itself counts as the first level.
constexpr std::size_t kMaxDepth = 127;

// In-situ mode hands numbers over as raw text without copying them and lets the stream collect
// each string's text (never into the input).
constexpr unsigned kReadFlags = rapidjson::kParseInsituFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseNumbersAsStringsFlag;

constexpr char kShapeMessage[] = "data did not match any variant of untagged enum FlatOrNested";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

KORVANE_ALWAYS_INLINE const char* skip_spaces(const char* p, const char* last) {
  // The one space after a separator that common encoders write, without the general test.
  if (p != last && *p == ' ') ++p;
  while (p != last && static_cast<unsigned char>(*p) <= ' ' && text::is_space(*p)) ++p;
  return p;
}

unsigned hex_value(char c) {
  if (c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// Printable ASCII other than the quote and the backslash: a string byte that needs neither
// decoding nor validation.
bool is_plain(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
}

// The first byte at or after `p` that is not plain, eight bytes at a time.
KORVANE_ALWAYS_INLINE const char* plain_end(const char* p, const char* end) {
  // Words of the machine's width: on 32 bits a 64-bit word costs two of everything and more.
  using Word = std::conditional_t<word_math::kNarrow, std::uint32_t, std::uint64_t>;
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101u);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080u);
  while (end - p >= static_cast<std::ptrdiff_t>(sizeof(Word))) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    const Word quote = w ^ (kOnes * '"');
    const Word backslash = w ^ (kOnes * '\\');
    // A high bit marks a quote or backslash (a zero byte after the xor), a control or a non-ASCII
    // byte; the lowest marked byte is exact (borrows only run upwards from a marked byte).
    const Word stop =
        (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (w - kOnes * 0x20) | w) &
        kHigh;
    if (stop != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(stop) >> 3);
      }
      break;
    }
    p += sizeof w;
  }
  while (p != end && is_plain(*p)) ++p;
  return p;
}

// The text of a string that the reader decodes byte by byte (one with escapes or non-ASCII
// bytes), terminator included. Put runs for every such byte, so it is a compare and a store.
class DecodedText {
 public:
  DecodedText() : bytes_(64, '\0'), end_(bytes_.data() + bytes_.size()), pos_(bytes_.data()) {}
  void assign(const char* from, std::size_t count) {
    pos_ = bytes_.data();
    while (static_cast<std::size_t>(end_ - pos_) < count) grow();
    std::memcpy(pos_, from, count);
    pos_ += count;
  }
  void put(char c) {
    if (pos_ == end_) [[unlikely]]
      grow();
    *pos_++ = c;
  }
  // Without the terminator that the reader appends.
  std::string_view text() const {
    return std::string_view(bytes_.data(), static_cast<std::size_t>(pos_ - bytes_.data()) - 1);
  }

 private:
  KORVANE_NOINLINE void grow() {
    const auto used = static_cast<std::size_t>(pos_ - bytes_.data());
    bytes_.resize(bytes_.size() * 2);
    pos_ = bytes_.data() + used;
    end_ = bytes_.data() + bytes_.size();
  }

  std::string bytes_;
  char* end_;
  char* pos_;
};

// The reader's input: counts the bytes taken, so every handler callback knows its offset, and
// holds the text of the last string. A string whose bytes are all plain up to its closing quote
// is that span of the input, passed over in one step; any other string is decoded by the reader
// through Put from its first byte that is not plain.
class CountingStream {
 public:
  using Ch = char;

  explicit CountingStream(std::string_view bytes)
      : begin_(bytes.data()), pos_(begin_), end_(begin_ + bytes.size()) {}

  Ch Peek() const { return pos_ != end_ ? *pos_ : '\0'; }
  Ch Take() { return pos_ != end_ ? *pos_++ : '\0'; }
  std::size_t Tell() const { return static_cast<std::size_t>(pos_ - begin_); }

  // Called after the opening quote of every string, and after every number (nothing to do there).
  Ch* PutBegin() {
    if (pos_ != begin_ && pos_[-1] == '"') begin_string();
    return const_cast<Ch*>(pos_);
  }
  void Put(Ch c) {
    // Only a \u escape puts this lead byte without having just taken it from the input.
    if (c == '\xED' && pos_[-1] != '\xED') [[unlikely]]
      check_surrogate_escape();
    decoded_.put(c);
  }
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 1; }  // the handler takes the text from text()

  void skip_space() {
    while (pos_ != end_ && static_cast<unsigned char>(*pos_) <= ' ' && text::is_space(*pos_))
      ++pos_;
  }
  // The handler has read up to `offset` itself.
  void resume_at(std::size_t offset) { pos_ = begin_ + offset; }

  std::string_view text() const { return spanned_ ? span_ : decoded_.text(); }
  // Offset just after the opening quote of the last string.
  std::size_t string_start() const { return string_start_; }
  // Where a lone trailing surrogate escape ended the reading, or kNone.
  std::size_t surrogate_fault() const { return surrogate_fault_; }

 private:
  void begin_string() {
    string_start_ = Tell();
    const char* stop = plain_end(pos_, end_);
    spanned_ = stop != end_ && *stop == '"';
    if (spanned_) {
      span_ = std::string_view(pos_, static_cast<std::size_t>(stop - pos_));
    } else {
      decoded_.assign(pos_, static_cast<std::size_t>(stop - pos_));
    }
    pos_ = stop;
  }

  // A \u escape decoded to U+D800..U+DFFF. The reader joins a leading half with its trailing one,
  // so this is a trailing half alone: refused at the end of its escape, by ending the input there.
  KORVANE_NOINLINE void check_surrogate_escape() {
    unsigned code = 0;
    for (const char* h = pos_ - 4; h != pos_; ++h) code = code * 16 + hex_value(*h);
    if (code < 0xD800 || surrogate_fault_ != kNone) return;
    surrogate_fault_ = Tell();
    end_ = pos_;
  }

  const char* begin_;
  const char* pos_;
  const char* end_;
  DecodedText decoded_;
  std::string_view span_;
  bool spanned_ = false;
  std::size_t string_start_ = 0;
  std::size_t surrogate_fault_ = kNone;
};

// The reader's whitespace skipping, found by argument-dependent lookup: one tight loop.
void SkipWhitespace(CountingStream& stream) {
  stream.skip_space();
}

// Which value the next event belongs to. The first fifteen are the record fields in declaration
// order (document fields, then arm fields), which the array forms rely on.
enum class Slot : std::uint8_t {
  kBanditId,
  kName,
  kTheta,
  kCholesky,
  kDimensions,
  kMode,
  kLatency,
  kArms,
  kArmId,
  kModelName,
  kModelProvider,
  kSystemPrompt,
  kTemplated,
  kActive,
  kArmLatency,
  kDocument,
  kThetaElement,
  kArmsElement,
  kUnknown,
  kExtra,  // past the last field of an array form
};

constexpr std::size_t kBanditFields = 8;
constexpr std::size_t kBanditRequired = 5;
constexpr std::size_t kArmFields = 7;
constexpr std::size_t kArmRequired = 4;
constexpr std::uint8_t kArmRequiredBits = (1u << kArmRequired) - 1;
constexpr std::size_t kModeField = 5;

constexpr std::array<std::string_view, kBanditFields> kBanditKeys = {
    "bandit_id",          "name", "theta", "cholesky", "dimensions", "optimization_mode",
    "avg_latency_last_n", "arms"};
constexpr std::array<std::string_view, kArmFields> kArmKeys = {
    "arm_id",    "model_name",        "model_provider", "system_prompt", "is_prompt_templated",
    "is_active", "avg_latency_last_n"};

Slot bandit_field(std::size_t i) {
  return static_cast<Slot>(i);
}
Slot arm_field(std::size_t i) {
  return static_cast<Slot>(static_cast<std::size_t>(Slot::kArmId) + i);
}

std::string_view wanted(Slot slot) {
  switch (slot) {
    case Slot::kBanditId:
    case Slot::kArmId:
      return "i64";
    case Slot::kDimensions:
      return "usize";
    case Slot::kThetaElement:
    case Slot::kLatency:
    case Slot::kArmLatency:
      return "f64";
    case Slot::kName:
    case Slot::kMode:
    case Slot::kModelName:
    case Slot::kModelProvider:
    case Slot::kSystemPrompt:
      return "a string";
    case Slot::kTemplated:
    case Slot::kActive:
      return "a boolean";
    case Slot::kTheta:
    case Slot::kArms:
      return "a sequence";
    case Slot::kDocument:
      return "struct BanditSync";
    case Slot::kArmsElement:
      return "struct ArmSync";
    default:
      return "a value";
  }
}

enum class FrameKind : std::uint8_t {
  kBanditObject,
  kBanditArray,
  kTheta,
  kArms,
  kArmObject,
  kArmArray
};

struct Frame {
  FrameKind kind;
  std::uint8_t count = 0;         // array forms: values read so far
  std::uint8_t seen = 0;          // object forms: one bit per field whose key was met
  Slot pending = Slot::kUnknown;  // object forms: the field of the last key
};

class SyncHandler {
 public:
  // `original` is the document; the stream reads it, or a copy with some numbers rewritten.
  SyncHandler(std::string_view original, CountingStream& stream)
      : input_(original), stream_(stream) {}

  // Unused: numbers always arrive as raw text.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }

  bool Null() {
    const std::size_t end = stream_.Tell();
    if (generic_depth_ > 0) return generic_scalar();
    const Slot slot = current();
    switch (slot) {
      case Slot::kLatency:
      case Slot::kArmLatency:
      case Slot::kUnknown:
        break;
      case Slot::kCholesky:
        return fail(kShapeMessage, end);
      case Slot::kExtra:
        return extra(end - 4);
      default:
        return invalid_type("null", slot, end);
    }
    return value_done();
  }

  bool Bool(bool value) {
    const std::size_t end = stream_.Tell();
    if (generic_depth_ > 0) return generic_scalar();
    const Slot slot = current();
    switch (slot) {
      case Slot::kTemplated:
        arm_.is_prompt_templated = value;
        break;
      case Slot::kActive:
        arm_.is_active = value;
        break;
      case Slot::kUnknown:
        break;
      case Slot::kCholesky:
        return fail(kShapeMessage, end);
      case Slot::kExtra:
        return extra(end - (value ? 4 : 5));
      default:
        return invalid_type(value ? "boolean `true`" : "boolean `false`", slot, end);
    }
    return value_done();
  }

  bool RawNumber(const char*, rapidjson::SizeType length, bool) {
    // Read from the document itself, so a rewritten number is judged by its original text.
    const std::size_t start = stream_.Tell() - length;
    const sync_detail::NumberRead number = sync_detail::read_decimal_number(input_, start);
    const std::size_t end = number.end;
    // Only a second reading meets this: a rewritten number stood where the text has a malformed
    // one ("--1"), refused at the byte that ends it as the first reading's reader would have.
    if (!number.complete) {
      if (end >= input_.size()) return fail("EOF while parsing a value", end);
      return fail("invalid number", end + 1);
    }
    // The reader ends a number at a digit after a leading zero; that is a malformed number.
    if (end < input_.size() && input_[end] >= '0' && input_[end] <= '9') {
      return fail("invalid number", end + 1);
    }
    if (generic_depth_ > 0) return generic_number(number);
    const Slot slot = current();
    const std::string_view text = input_.substr(start, end - start);
    switch (slot) {
      case Slot::kBanditId:
      case Slot::kArmId: {
        std::int64_t id = 0;
        if (!read_integer(number, text, slot, id)) return false;
        (slot == Slot::kBanditId ? sync_.bandit_id : arm_.arm_id) = id;
        break;
      }
      case Slot::kDimensions:
        if (!read_integer(number, text, slot, sync_.dimensions)) return false;
        break;
      case Slot::kThetaElement:
        if (!in_range(number)) return false;
        sync_.theta.push_back(number.value);
        break;
      case Slot::kLatency:
      case Slot::kArmLatency:
        if (!in_range(number)) return false;
        (slot == Slot::kLatency ? sync_.avg_latency_last_n : arm_.avg_latency_last_n) =
            number.value;
        break;
      case Slot::kUnknown:
        if (!in_range(number)) return false;
        break;
      case Slot::kCholesky:
        if (!in_range(number)) return false;
        return fail(kShapeMessage, end);
      case Slot::kExtra:
        return extra(start);
      default:
        if (number.integer) return invalid_type(sync_detail::found_integer(text), slot, end);
        if (!in_range(number)) return false;
        return invalid_type(sync_detail::found_double(number.value), slot, end);
    }
    return value_done();
  }

  bool String(const char*, rapidjson::SizeType, bool) {
    const std::size_t end = stream_.Tell();
    if (generic_depth_ > 0) return generic_scalar();
    const Slot slot = current();
    switch (slot) {
      case Slot::kName:
        sync_.name = decoded();
        break;
      case Slot::kMode:
        sync_.optimization_mode = decoded();
        break;
      case Slot::kModelName:
        arm_.model_name = decoded();
        break;
      case Slot::kModelProvider:
        arm_.model_provider = decoded();
        break;
      case Slot::kSystemPrompt:
        arm_.system_prompt = decoded();
        break;
      case Slot::kUnknown:
        break;
      case Slot::kCholesky:
        return fail(kShapeMessage, end);
      case Slot::kExtra:
        return extra(stream_.string_start() - 1);
      default:
        return invalid_type(sync_detail::found_string(decoded()), slot, end);
    }
    return value_done();
  }

  bool Key(const char*, rapidjson::SizeType, bool) {
    const std::size_t end = stream_.Tell();
    if (generic_depth_ > 0) return true;
    Frame& frame = top();
    const bool bandit = frame.kind == FrameKind::kBanditObject;
    const std::span<const std::string_view> keys =
        bandit ? std::span<const std::string_view>(kBanditKeys)
               : std::span<const std::string_view>(kArmKeys);
    frame.pending = Slot::kUnknown;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (decoded() != keys[i]) continue;
      const auto bit = static_cast<std::uint8_t>(1u << i);
      if (frame.seen & bit) return fail("duplicate field `" + std::string(keys[i]) + "`", end);
      frame.seen |= bit;
      frame.pending = bandit ? bandit_field(i) : arm_field(i);
      break;
    }
    return true;
  }

  bool StartObject() {
    const std::size_t at = stream_.Tell();
    if (generic_depth_ > 0) {
      if (shape_value_) shape_.has_other = true;
      return generic_open(at);
    }
    const Slot slot = current();
    switch (slot) {
      case Slot::kDocument:
        return push(FrameKind::kBanditObject, at);
      case Slot::kArmsElement:
        if (!push(FrameKind::kArmObject, at)) return false;
        take_arm(at);
        return true;
      case Slot::kCholesky:
      case Slot::kUnknown:
        return generic_begin(slot, false, at);
      case Slot::kExtra:
        return extra(at);
      default:
        return invalid_type("map", slot, at);
    }
  }

  bool StartArray() {
    const std::size_t at = stream_.Tell();
    if (generic_depth_ > 0) {
      if (shape_value_) (generic_depth_ == 1 ? shape_.has_rows : shape_.has_other) = true;
      return generic_open(at);
    }
    const Slot slot = current();
    switch (slot) {
      case Slot::kDocument:
        return push(FrameKind::kBanditArray, at);
      case Slot::kTheta:
        if (!push(FrameKind::kTheta, at)) return false;
        take_numbers(at, sync_.theta, nullptr);
        return true;
      case Slot::kArms:
        if (!push(FrameKind::kArms, at)) return false;
        take_arms(at);
        return true;
      case Slot::kArmsElement:
        return push(FrameKind::kArmArray, at);
      case Slot::kCholesky:
      case Slot::kUnknown:
        return generic_begin(slot, true, at);
      case Slot::kExtra:
        return extra(at);
      default:
        return invalid_type("sequence", slot, at);
    }
  }

  bool EndObject(rapidjson::SizeType) {
    const std::size_t at = stream_.Tell();
    if (generic_depth_ > 0) return generic_close(at);
    const Frame frame = top();
    const bool bandit = frame.kind == FrameKind::kBanditObject;
    const std::size_t required = bandit ? kBanditRequired : kArmRequired;
    for (std::size_t i = 0; i < required; ++i) {
      if (!(frame.seen & (1u << i))) {
        const std::string_view key = bandit ? kBanditKeys[i] : kArmKeys[i];
        return fail("missing field `" + std::string(key) + "`", at);
      }
    }
    if (bandit && !(frame.seen & (1u << kModeField))) {
      sync_.optimization_mode = default_optimization_mode();
    }
    return close_record(bandit);
  }

  bool EndArray(rapidjson::SizeType) {
    const std::size_t at = stream_.Tell();
    if (generic_depth_ > 0) return generic_close(at);
    const Frame frame = top();
    switch (frame.kind) {
      case FrameKind::kBanditArray:
        if (frame.count < kBanditRequired) {
          return fail("invalid length " + std::to_string(frame.count) +
                          ", expected struct BanditSync with 8 elements",
                      at);
        }
        if (frame.count <= kModeField) sync_.optimization_mode = default_optimization_mode();
        return close_record(true);
      case FrameKind::kArmArray:
        if (frame.count < kArmRequired) {
          return fail("invalid length " + std::to_string(frame.count) +
                          ", expected struct ArmSync with 7 elements",
                      at);
        }
        return close_record(false);
      default:
        --depth_;
        return value_done();
    }
  }

  BanditSync take() && { return std::move(sync_); }
  const ReadError& error() const { return error_; }

 private:
  Frame& top() { return frames_[depth_ - 1]; }

  std::string_view decoded() const { return stream_.text(); }

  Slot current() const {
    if (depth_ == 0) return Slot::kDocument;
    const Frame& frame = frames_[depth_ - 1];
    switch (frame.kind) {
      case FrameKind::kBanditArray:
        return frame.count < kBanditFields ? bandit_field(frame.count) : Slot::kExtra;
      case FrameKind::kArmArray:
        return frame.count < kArmFields ? arm_field(frame.count) : Slot::kExtra;
      case FrameKind::kTheta:
        return Slot::kThetaElement;
      case FrameKind::kArms:
        return Slot::kArmsElement;
      default:
        return frame.pending;
    }
  }

  // A value of the top frame is complete.
  bool value_done() {
    if (depth_ > 0) {
      Frame& frame = top();
      if (frame.kind == FrameKind::kBanditArray || frame.kind == FrameKind::kArmArray) {
        ++frame.count;
      }
    }
    return true;
  }

  bool fail(std::string reason, std::size_t consumed) {
    error_ = ReadError{std::move(reason), consumed};
    return false;
  }

  bool invalid_type(std::string_view found, Slot slot, std::size_t consumed) {
    std::string reason = "invalid type: ";
    reason.append(found);
    reason.append(", expected ");
    reason.append(wanted(slot));
    return fail(std::move(reason), consumed);
  }

  // A value beyond the last field of an array form, refused where it starts.
  bool extra(std::size_t start) { return fail("trailing characters", start + 1); }

  bool depth_allows(std::size_t at) {
    if (depth_ + generic_depth_ < kMaxDepth) return true;
    return fail("recursion limit exceeded", at + 1);
  }

  bool push(FrameKind kind, std::size_t at) {
    if (!depth_allows(at)) return false;
    if (kind == FrameKind::kArmObject || kind == FrameKind::kArmArray) {
      arm_ = ArmSync{};
      arm_start_ = at;
    }
    frames_[depth_++] = Frame{kind};
    return true;
  }

  bool close_record(bool bandit) {
    --depth_;
    if (!bandit) {
      if (sync_.arms.empty()) reserve_arms(stream_.Tell() - arm_start_, stream_.Tell());
      sync_.arms.push_back(std::move(arm_));
    }
    return value_done();
  }

  // The first arm's text tells roughly how many follow; the rest of the document bounds the guess.
  void reserve_arms(std::size_t arm_bytes, std::size_t at) {
    arm_bytes = std::max<std::size_t>(arm_bytes, sizeof(ArmSync) / 2);
    sync_.arms.reserve(1 + (input_.size() - at) / arm_bytes);
  }

  // Both integer fields share the rule: integer spelling, then the target's range.
  template <class Int>
  bool read_integer(const sync_detail::NumberRead& number, std::string_view text, Slot slot,
                    Int& out) {
    if (!number.integer) {
      if (!in_range(number)) return false;
      return invalid_type(sync_detail::found_double(number.value), slot, number.end);
    }
    std::string_view digits = text;
    if constexpr (std::is_unsigned_v<Int>) {
      if (text == "-0") digits = "0";
    }
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    if (result.ec == std::errc() && result.ptr == digits.data() + digits.size()) return true;
    std::string reason = "invalid value: integer `";
    reason.append(text);
    reason.append("`, expected ");
    reason.append(wanted(slot));
    return fail(std::move(reason), number.end);
  }

  bool in_range(const sync_detail::NumberRead& number) {
    if (number.in_range) return true;
    return fail("number out of range", number.fault);
  }

  std::size_t space_end(std::size_t i) const {
    while (i < input_.size() && static_cast<unsigned char>(input_[i]) <= ' ' &&
           text::is_space(input_[i])) {
      ++i;
    }
    return i;
  }

  // The closing bracket of the array of plain numbers opened at `open`, its numbers appended to
  // `out`; kNone when anything else is there.
  std::size_t number_row(std::size_t open, std::vector<double>& out) const {
    const char* const base = input_.data();
    const char* const last = base + input_.size();
    const char* p = base + space_end(open + 1);
    if (p != last && *p == ']') return static_cast<std::size_t>(p - base);
    for (;;) {
      double value;
      bool integer;
      if (!sync_detail::read_decimal(p, last, value, integer)) {
        const sync_detail::NumberRead number =
            sync_detail::read_number(input_, static_cast<std::size_t>(p - base));
        if (!number.in_range) return kNone;
        value = number.value;
        p = base + number.end;
      }
      out.push_back(value);
      if (p != last && *p == ',') {  // the usual spelling: the comma straight after the number
        p = skip_spaces(p + 1, last);
        continue;
      }
      p = skip_spaces(p, last);
      if (p == last) return kNone;
      if (*p == ']') return static_cast<std::size_t>(p - base);
      if (*p != ',') return kNone;
      p = skip_spaces(p + 1, last);
    }
  }

  // The same for an array of such rows.
  std::size_t number_rows(std::size_t open, std::vector<double>& out) const {
    std::size_t i = space_end(open + 1);
    const std::size_t kept = out.size();
    for (bool first = true;; first = false) {
      if (i >= input_.size() || input_[i] != '[') return kNone;
      i = number_row(i, out);
      if (i == kNone) return kNone;
      if (first) {
        // The factor is square: its first row tells the whole size. Every further number takes
        // at least two bytes of text, which bounds the guess for a document that is not square.
        const std::size_t width = out.size() - kept;
        const std::size_t room = (input_.size() - i) / 2;
        out.reserve(out.size() + std::min(width * width, room));
      }
      i = space_end(i + 1);
      if (i >= input_.size() || (input_[i] != ',' && input_[i] != ']')) return kNone;
      if (input_[i] == ']') return i;
      i = space_end(i + 1);
    }
  }

  // The text of the plain string whose opening quote is at `p`, and `p` moved past its closing
  // quote; false for any other string or value.
  static bool plain_string(const char*& p, const char* last, std::string_view& text) {
    if (p == last || *p != '"') return false;
    const char* const close = plain_end(p + 1, last);
    if (close == last || *close != '"') return false;
    text = std::string_view(p + 1, static_cast<std::size_t>(close - p - 1));
    p = close + 1;
    return true;
  }

  // `p` moved past `word` when it is there.
  static bool literal(const char*& p, const char* last, std::string_view word) {
    if (static_cast<std::size_t>(last - p) < word.size() ||
        std::memcmp(p, word.data(), word.size()) != 0) {
      return false;
    }
    p += word.size();
    return true;
  }

  // The closing brace of the arm object opened at `open` when it is in the usual spelling (plain
  // keys and texts, decimals, literals, every required field once), read into `arm`; kNone
  // for anything else, which is left to the reader.
  std::size_t arm_end(std::size_t open, ArmSync& arm) const {
    const char* const base = input_.data();
    const char* const last = base + input_.size();
    const char* p = skip_spaces(base + open + 1, last);
    std::uint8_t seen = 0;
    for (;;) {
      std::string_view key;
      if (!plain_string(p, last, key)) return kNone;
      p = skip_spaces(p, last);
      if (p == last || *p != ':') return kNone;
      p = skip_spaces(p + 1, last);
      const std::size_t field = arm_key(key);
      if (field < kArmFields) {
        const auto bit = static_cast<std::uint8_t>(1u << field);
        if (seen & bit) return kNone;
        seen |= bit;
      }
      if (!arm_value(p, last, field, arm)) return kNone;
      p = skip_spaces(p, last);
      if (p == last) return kNone;
      if (*p == '}') {
        if ((seen & kArmRequiredBits) != kArmRequiredBits) return kNone;
        return static_cast<std::size_t>(p - base);
      }
      if (*p != ',') return kNone;
      p = skip_spaces(p + 1, last);
    }
  }

  // One arm object read here; the reader resumes at its closing brace.
  void take_arm(std::size_t open) {
    const std::size_t close = arm_end(open, arm_);
    if (close == kNone) {
      arm_ = ArmSync{};
      return;
    }
    top().seen = kArmRequiredBits;
    // The reader takes the opening brace after this callback: leave it the byte before the close.
    stream_.resume_at(close - 1);
  }

  // The arms array's objects read here while they are in the usual spelling. The reader resumes
  // at the closing bracket, or at the first arm that it has to read itself, so that it meets every
  // separator and fault after an element, as it would have.
  void take_arms(std::size_t open) {
    const char* const base = input_.data();
    const char* const last = base + input_.size();
    std::size_t resume = kNone;
    ArmSync arm;
    for (const char* p = skip_spaces(base + open + 1, last); p != last && *p == '{';) {
      const auto start = static_cast<std::size_t>(p - base);
      const std::size_t close = arm_end(start, arm);
      if (close == kNone) {
        resume = start;
        break;
      }
      if (sync_.arms.empty()) reserve_arms(close + 1 - start, close + 1);
      sync_.arms.push_back(std::move(arm));
      arm = ArmSync{};
      p = skip_spaces(base + close + 1, last);
      if (p != last && *p == ']') {
        resume = static_cast<std::size_t>(p - base);
        break;
      }
      if (p != last && *p == ',') {
        p = skip_spaces(p + 1, last);
        if (p != last && *p == '{') continue;
      }
      // Whatever follows this arm is the reader's, and so is the arm itself.
      sync_.arms.pop_back();
      resume = start;
      break;
    }
    // The reader takes the opening bracket after this callback: leave it the byte before.
    if (resume != kNone) stream_.resume_at(resume - 1);
  }

  // The arm field named `key`, or kArmFields. The names differ in length (a repeated length would
  // be a duplicate case), so one comparison.
  static std::size_t arm_key(std::string_view key) {
    static_assert(kArmFields == 7, "every arm field has its case below");
    // The length is the case's constant, so the comparison is a few word compares, not a call.
    const auto is = [&]<std::size_t field>(std::integral_constant<std::size_t, field>) {
      constexpr std::size_t n = kArmKeys[field].size();
      if constexpr (word_math::kNarrow) {
        // GCC calls memcmp for these lengths on 32-bit ARM: word compares instead.
        bool same = true;
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
          std::uint32_t x, y;
          std::memcpy(&x, key.data() + i, 4);
          std::memcpy(&y, kArmKeys[field].data() + i, 4);
          same &= x == y;
        }
        for (; i < n; ++i) same &= key[i] == kArmKeys[field][i];
        return same ? field : kArmFields;
      } else {
        return std::memcmp(key.data(), kArmKeys[field].data(), n) == 0 ? field : kArmFields;
      }
    };
    switch (key.size()) {
      case kArmKeys[0].size():
        return is(std::integral_constant<std::size_t, 0>{});
      case kArmKeys[1].size():
        return is(std::integral_constant<std::size_t, 1>{});
      case kArmKeys[2].size():
        return is(std::integral_constant<std::size_t, 2>{});
      case kArmKeys[3].size():
        return is(std::integral_constant<std::size_t, 3>{});
      case kArmKeys[4].size():
        return is(std::integral_constant<std::size_t, 4>{});
      case kArmKeys[5].size():
        return is(std::integral_constant<std::size_t, 5>{});
      case kArmKeys[6].size():
        return is(std::integral_constant<std::size_t, 6>{});
      default:
        return kArmFields;
    }
  }

  // One value of an arm in the usual spelling, stored in its field (kArmFields: an unknown key).
  static bool arm_value(const char*& p, const char* last, std::size_t field, ArmSync& arm) {
    std::string_view text;
    double number = 0.0;
    bool integer = false;
    switch (arm_field(field)) {
      case Slot::kArmId:
        // Below 2^53 the double is the integer itself; larger ids are left to the reader.
        if (!sync_detail::read_decimal(p, last, number, integer) || !integer ||
            !(std::fabs(number) < 0x1p53)) {
          return false;
        }
        // An integer, so either conversion is exact; the 32-bit one is an instruction on 32-bit
        // ARM, where the 64-bit one is a library call.
        arm.arm_id = std::fabs(number) < 0x1p31 ? static_cast<std::int32_t>(number)
                                                : static_cast<std::int64_t>(number);
        return true;
      case Slot::kModelName:
      case Slot::kModelProvider:
      case Slot::kSystemPrompt:
        if (!plain_string(p, last, text)) return false;
        (field == 1 ? arm.model_name : field == 2 ? arm.model_provider : arm.system_prompt) = text;
        return true;
      case Slot::kTemplated:
      case Slot::kActive: {
        bool& flag = field == 4 ? arm.is_prompt_templated : arm.is_active;
        if (literal(p, last, "true")) {
          flag = true;
        } else if (literal(p, last, "false")) {
          flag = false;
        } else {
          return false;
        }
        return true;
      }
      case Slot::kArmLatency:
        if (literal(p, last, "null")) {
          arm.avg_latency_last_n.reset();
          return true;
        }
        if (!sync_detail::read_decimal(p, last, number, integer)) return false;
        arm.avg_latency_last_n = number;
        return true;
      default:
        return plain_string(p, last, text) || sync_detail::read_decimal(p, last, number, integer) ||
               literal(p, last, "true") || literal(p, last, "false") || literal(p, last, "null");
    }
  }

  // The usual spelling of `theta` or `cholesky` (numbers, or for the factor rows of numbers) is
  // read here in one pass, straight into `out`, and the reader resumes at the closing bracket.
  // Anything else is left to the reader, which reports it exactly; nothing of it is kept.
  void take_numbers(std::size_t open, std::vector<double>& out, FlatOrNested* shape) {
    const std::size_t first = space_end(open + 1);
    const bool rows = shape != nullptr && first < input_.size() && input_[first] == '[';
    if (rows && depth_ + generic_depth_ >= kMaxDepth) return;
    const std::size_t kept = out.size();
    const std::size_t close = rows ? number_rows(open, out) : number_row(open, out);
    if (close == kNone) {
      out.resize(kept);
      return;
    }
    if (shape != nullptr) (rows ? shape->has_rows : shape->has_numbers) = out.size() > kept || rows;
    // The reader takes the opening bracket after this callback: leave it the byte before the close.
    stream_.resume_at(close - 1);
  }

  bool generic_begin(Slot slot, bool is_array, std::size_t at) {
    if (!depth_allows(at)) return false;
    shape_value_ = slot == Slot::kCholesky;
    if (shape_value_) {
      shape_ = FlatOrNested{};
      shape_.is_array = is_array;
    }
    generic_depth_ = 1;
    if (shape_value_ && is_array) take_numbers(at, shape_.numbers, &shape_);
    return true;
  }

  bool generic_open(std::size_t at) {
    if (!depth_allows(at)) return false;
    ++generic_depth_;
    return true;
  }

  bool generic_close(std::size_t at) {
    if (--generic_depth_ > 0) return true;
    if (shape_value_) {
      Result<std::vector<double>> numbers = deserialize_flat_or_nested(std::move(shape_));
      if (!numbers) return fail(numbers.error(), at + 1);
      sync_.cholesky = std::move(*numbers);
    }
    return value_done();
  }

  bool generic_scalar() {
    if (shape_value_ && generic_depth_ <= 2) shape_.has_other = true;
    return true;
  }

  bool generic_number(const sync_detail::NumberRead& number) {
    if (!in_range(number)) return false;
    if (shape_value_ && generic_depth_ <= 2) {
      if (generic_depth_ == 1) shape_.has_numbers = true;
      shape_.numbers.push_back(number.value);
    }
    return true;
  }

  std::string_view input_;
  CountingStream& stream_;

  std::array<Frame, 4> frames_{};  // document, arms, arm: the typed structure is never deeper
  std::size_t depth_ = 0;
  std::size_t generic_depth_ = 0;  // levels open inside an unknown key's value or `cholesky`
  bool shape_value_ = false;       // the generic value is `cholesky`
  FlatOrNested shape_;

  BanditSync sync_;
  ArmSync arm_;
  std::size_t arm_start_ = 0;  // offset of the current arm's opening bracket
  ReadError error_;
};

// One reading of `reader_bytes`, which equals `original` except for rewritten numbers.
// `too_big_at` is set when the reader refused a number by its own range limits.
Result<BanditSync> read_once(std::string_view reader_bytes, std::string_view original,
                             std::size_t* too_big_at) {
  CountingStream stream(reader_bytes);
  SyncHandler handler(original, stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kReadFlags>(stream, handler);
  if (stream.surrogate_fault() != kNone) {
    return fail(sync_detail::located(
        original, ReadError{"invalid unicode code point", stream.surrogate_fault()}));
  }
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination) {
      return fail(sync_detail::located(original, handler.error()));
    }
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && too_big_at != nullptr) {
      *too_big_at = result.Offset();
      return fail(std::string());
    }
    return fail(sync_detail::located(
        original, sync_detail::syntax_error(original, result.Code(), result.Offset())));
  }
  std::size_t rest = stream.Tell();
  while (rest < original.size() && text::is_space(original[rest])) ++rest;
  if (rest < original.size()) {
    return fail(sync_detail::located(original, ReadError{"trailing characters", rest + 1}));
  }
  return std::move(handler).take();
}

// The reader refuses some numbers that are doubles (0e400, or huge digit strings brought back
// by their exponent) before the handler sees them. For a second reading, every complete number
// becomes "0" padded with spaces, so the reader passes it on and the handler judges the original.
std::string rewrite_numbers(std::string_view bytes) {
  std::string out(bytes);
  bool in_string = false;
  for (std::size_t i = 0; i < bytes.size();) {
    const char c = bytes[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      in_string = c != '"';
      ++i;
    } else if (c == '"') {
      in_string = true;
      ++i;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const sync_detail::NumberRead number = sync_detail::read_number(bytes, i);
      if (number.complete && number.end - i > 1) {
        out[i] = '0';
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                  out.begin() + static_cast<std::ptrdiff_t>(number.end), ' ');
      }
      i = std::max(number.end, i + 1);
    } else {
      ++i;
    }
  }
  return out;
}

}  // namespace

Result<std::vector<double>> deserialize_flat_or_nested(FlatOrNested value) {
  if (!value.is_array || value.has_other || (value.has_numbers && value.has_rows)) {
    return fail(kShapeMessage);
  }
  return std::move(value.numbers);
}

std::string default_optimization_mode() {
  return "base";
}

Result<BanditSync> parse_bandit_sync(std::string_view text) {
  std::size_t too_big_at = text.size();
  Result<BanditSync> first = read_once(text, text, &too_big_at);
  if (first || too_big_at == text.size()) return first;
  return read_once(rewrite_numbers(text), text, nullptr);
}

}  // namespace korvane
