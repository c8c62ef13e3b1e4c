// The typed SAX handler of the sync reader: a small fixed stack of typed frames fills the records
// as the JSON reader's events arrive; values that need no record (unknown keys) and the `cholesky`
// value (whose shape is decided at its end) are followed by a depth counter only. Where a value
// is in the usual spelling, the handler has the fast scanners read it and moves the reader past it.
#include "engine/sync/handler.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <rapidjson/reader.h>

#include "engine/sync.hpp"
#include "engine/sync/bytes.hpp"
#include "engine/sync/fields.hpp"
#include "engine/sync/messages.hpp"
#include "engine/sync/numbers.hpp"
#include "engine/sync/scanners.hpp"
#include "engine/sync/shape.hpp"
#include "engine/sync/stream.hpp"

namespace korvane::sync_detail {
namespace {

// The document itself counts as the first level.
constexpr std::size_t kMaxDepth = 127;

// In-situ mode hands numbers over as raw text without copying them and lets the stream collect
// each string's text (never into the input).
//
// The fast scanners rely on this contract with the iterative mode (rapidjson/reader.h, Transit):
// - StartObject and StartArray are called while the stream still stands on the opening bracket;
//   after the callback returns true the reader takes one byte as that bracket without looking at
//   it, skips whitespace and peeks for the first member or element. A handler that has read a
//   value itself calls resume_at(close - 1): the reader takes the byte before the closing bracket,
//   meets the bracket at once and reports an empty container (EndArray(0) or EndObject(0)), its
//   own stack of states unchanged. The arms scanner may instead leave it at the byte before an
//   element, which the reader then reads as if it were the first.
// - The counts that EndArray and EndObject receive are the reader's, not the document's, so the
//   handler counts elements itself.
// - No other callback moves the stream, never to before the opening bracket, and the reader
//   never reads behind it: Tell() stays the offset in the document, from which every message's
//   position is made. CountingStream is not declared copy-optimized (rapidjson::StreamTraits), so
//   the string and number callbacks see the reader's own stream, and their Tell() is exact.
// - The recursive mode takes the bracket before calling StartObject and StartArray, so these
//   flags change only together with take_arm, take_arms and take_numbers.
// Stop-when-done ends the reading at the root's last byte; read_with_handler judges what follows.
constexpr unsigned kReadFlags = rapidjson::kParseInsituFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseNumbersAsStringsFlag;

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
        return fail(std::string(kShapeMessage), end);
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
        return fail(std::string(kShapeMessage), end);
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
    const NumberRead number = read_decimal_number(input_, start);
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
        return fail(std::string(kShapeMessage), end);
      case Slot::kExtra:
        return extra(start);
      default:
        if (number.integer) return invalid_type(found_integer(text), slot, end);
        if (!in_range(number)) return false;
        return invalid_type(found_double(number.value), slot, end);
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
        return fail(std::string(kShapeMessage), end);
      case Slot::kExtra:
        return extra(stream_.string_start() - 1);
      default:
        return invalid_type(found_string(decoded()), slot, end);
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
                          ", expected struct BanditSync with " + std::to_string(kBanditFields) +
                          " elements",
                      at);
        }
        if (frame.count <= kModeField) sync_.optimization_mode = default_optimization_mode();
        return close_record(true);
      case FrameKind::kArmArray:
        if (frame.count < kArmRequired) {
          return fail("invalid length " + std::to_string(frame.count) +
                          ", expected struct ArmSync with " + std::to_string(kArmFields) +
                          " elements",
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
      if (sync_.arms.empty()) {
        reserve_arms(sync_.arms, stream_.Tell() - arm_start_, input_.size() - stream_.Tell());
      }
      sync_.arms.push_back(std::move(arm_));
    }
    return value_done();
  }

  // Both integer fields share the rule: integer spelling, then the target's range.
  template <class Int>
  bool read_integer(const NumberRead& number, std::string_view text, Slot slot, Int& out) {
    if (!number.integer) {
      if (!in_range(number)) return false;
      return invalid_type(found_double(number.value), slot, number.end);
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

  bool in_range(const NumberRead& number) {
    if (number.in_range) return true;
    return fail("number out of range", number.fault);
  }

  // One arm object read here; the reader resumes at its closing brace.
  void take_arm(std::size_t open) {
    const std::size_t close = arm_end(input_, open, arm_);
    if (close == kNone) {
      arm_ = ArmSync{};
      return;
    }
    top().seen = kArmRequiredBits;
    // The reader takes the opening brace after this callback: leave it the byte before the close.
    stream_.resume_at(close - 1);
  }

  // The arms array's objects read here while they are in the usual spelling.
  void take_arms(std::size_t open) {
    const std::size_t resume = sync_detail::take_arms(input_, open, sync_.arms);
    // The reader takes the opening bracket after this callback: leave it the byte before.
    if (resume != kNone) stream_.resume_at(resume - 1);
  }

  // The usual spelling of `theta` or `cholesky` (numbers, or for the factor rows of numbers) is
  // read here in one pass, straight into `out`, and the reader resumes at the closing bracket.
  // Anything else is left to the reader, which reports it exactly; nothing of it is kept.
  void take_numbers(std::size_t open, std::vector<double>& out, FlatOrNested* shape) {
    const char* const last = input_.data() + input_.size();
    const char* const first = skip_space(input_.data() + open + 1, last);
    const bool rows = shape != nullptr && first != last && *first == '[';
    if (rows && depth_ + generic_depth_ >= kMaxDepth) return;
    const std::size_t kept = out.size();
    const std::size_t close = rows ? number_rows(input_, open, out) : number_row(input_, open, out);
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

  bool generic_number(const NumberRead& number) {
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

}  // namespace

Result<BanditSync> read_with_handler(std::string_view reader_bytes, std::string_view original,
                                     std::size_t* too_big_at) {
  CountingStream stream(reader_bytes);
  SyncHandler handler(original, stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kReadFlags>(stream, handler);
  if (stream.surrogate_fault() != kNone) {
    return fail(
        located(original, ReadError{"invalid unicode code point", stream.surrogate_fault()}));
  }
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination) {
      return fail(located(original, handler.error()));
    }
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && too_big_at != nullptr) {
      *too_big_at = result.Offset();
      return fail(std::string());
    }
    return fail(located(original, syntax_error(original, result.Code(), result.Offset())));
  }
  const char* const last = original.data() + original.size();
  const char* const rest = skip_space(original.data() + stream.Tell(), last);
  if (rest != last) {
    const auto at = static_cast<std::size_t>(rest - original.data());
    return fail(located(original, ReadError{"trailing characters", at + 1}));
  }
  return std::move(handler).take();
}

}  // namespace korvane::sync_detail
