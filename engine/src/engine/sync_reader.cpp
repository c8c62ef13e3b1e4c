// Reads a sync document with the SAX reader: a handler with a small fixed stack of typed frames
// fills the records as the events arrive; values that need no record (unknown keys) and the
// `cholesky` value (whose shape is decided at its end) are followed by a depth counter only.
#include <algorithm>
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
#include "engine/sync_messages.hpp"

namespace korvane {
namespace {

using sync_detail::ReadError;

// The document itself counts as the first level.
constexpr std::size_t kMaxDepth = 127;

// In-situ mode hands numbers over as raw text without copying them and sends decoded strings
// through the stream's Put, which writes them to a scratch buffer of ours (never into the input).
constexpr unsigned kReadFlags = rapidjson::kParseInsituFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseNumbersAsStringsFlag;

constexpr char kShapeMessage[] = "data did not match any variant of untagged enum FlatOrNested";

// The last string as decoded by the reader, terminator included. Put runs for every string byte,
// so it is a compare and a store; growing is out of line.
class DecodedText {
 public:
  DecodedText() : bytes_(64, '\0'), end_(bytes_.data() + bytes_.size()), pos_(bytes_.data()) {}
  void clear() { pos_ = bytes_.data(); }
  void put(char c) {
    if (pos_ == end_) [[unlikely]]
      grow();
    *pos_++ = c;
  }
  std::size_t size() const { return static_cast<std::size_t>(pos_ - bytes_.data()); }
  // Without the terminator that the reader appends.
  std::string_view text() const { return std::string_view(bytes_.data(), size() - 1); }

 private:
  [[gnu::noinline]] void grow() {
    const std::size_t used = size();
    bytes_.resize(bytes_.size() * 2);
    pos_ = bytes_.data() + used;
    end_ = bytes_.data() + bytes_.size();
  }

  std::string bytes_;
  char* end_;
  char* pos_;
};

// The reader's input: counts the bytes taken, so every handler callback knows its offset.
class CountingStream {
 public:
  using Ch = char;

  CountingStream(std::string_view bytes, DecodedText& decoded)
      : begin_(bytes.data()), pos_(begin_), end_(begin_ + bytes.size()), decoded_(decoded) {}

  Ch Peek() const { return pos_ != end_ ? *pos_ : '\0'; }
  Ch Take() { return pos_ != end_ ? *pos_++ : '\0'; }
  std::size_t Tell() const { return static_cast<std::size_t>(pos_ - begin_); }

  // Called at the start of every string (and after every number, where it is harmless).
  Ch* PutBegin() {
    string_start_ = Tell();
    decoded_.clear();
    return nullptr;
  }
  void Put(Ch c) { decoded_.put(c); }
  void Flush() {}
  std::size_t PutEnd(Ch*) { return decoded_.size(); }

  // Offset just after the opening quote of the last string.
  std::size_t string_start() const { return string_start_; }

 private:
  const char* begin_;
  const char* pos_;
  const char* end_;
  DecodedText& decoded_;
  std::size_t string_start_ = 0;
};

// A number that the second reading replaced by "0" and spaces: its original extent.
struct Rewrite {
  std::size_t start;
  std::size_t end;
};

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
  SyncHandler(std::string_view original, const CountingStream& stream, const DecodedText& decoded,
              std::span<const Rewrite> rewrites)
      : input_(original), stream_(stream), decoded_(decoded), rewrites_(rewrites) {}

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
    std::size_t end = stream_.Tell();
    const std::size_t start = end - length;
    if (!rewrites_.empty()) end = original_end(start, end);
    const std::string_view text = input_.substr(start, end - start);
    // The reader ends a number at a digit after a leading zero; that is a malformed number.
    if (end < input_.size() && input_[end] >= '0' && input_[end] <= '9') {
      return fail("invalid number", end + 1);
    }
    if (generic_depth_ > 0) return generic_number(text, end);
    const Slot slot = current();
    double value = 0.0;
    switch (slot) {
      case Slot::kBanditId:
      case Slot::kArmId: {
        std::int64_t id = 0;
        if (!read_integer(text, slot, end, id)) return false;
        (slot == Slot::kBanditId ? sync_.bandit_id : arm_.arm_id) = id;
        break;
      }
      case Slot::kDimensions:
        if (!read_integer(text, slot, end, sync_.dimensions)) return false;
        break;
      case Slot::kThetaElement:
        if (!read_double(text, end, value)) return false;
        sync_.theta.push_back(value);
        break;
      case Slot::kLatency:
      case Slot::kArmLatency:
        if (!read_double(text, end, value)) return false;
        (slot == Slot::kLatency ? sync_.avg_latency_last_n : arm_.avg_latency_last_n) = value;
        break;
      case Slot::kUnknown:
        if (!read_double(text, end, value)) return false;
        break;
      case Slot::kCholesky:
        if (!read_double(text, end, value)) return false;
        return fail(kShapeMessage, end);
      case Slot::kExtra:
        return extra(start);
      default:
        if (sync_detail::is_integer_spelling(text)) {
          return invalid_type(sync_detail::found_integer(text), slot, end);
        }
        if (!read_double(text, end, value)) return false;
        return invalid_type(sync_detail::found_double(value), slot, end);
    }
    return value_done();
  }

  bool String(const char*, rapidjson::SizeType, bool) {
    const std::size_t end = stream_.Tell();
    if (!check_surrogates(end)) return false;
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
    if (!check_surrogates(end)) return false;
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
        return push(FrameKind::kArmObject, at);
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
        return push(FrameKind::kTheta, at);
      case Slot::kArms:
        return push(FrameKind::kArms, at);
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

  std::string_view decoded() const { return decoded_.text(); }

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
    if (kind == FrameKind::kArmObject || kind == FrameKind::kArmArray) arm_ = ArmSync{};
    frames_[depth_++] = Frame{kind};
    return true;
  }

  bool close_record(bool bandit) {
    --depth_;
    if (!bandit) sync_.arms.push_back(std::move(arm_));
    return value_done();
  }

  // Both integer fields share the rule: integer spelling, then the target's range.
  template <class Int>
  bool read_integer(std::string_view text, Slot slot, std::size_t end, Int& out) {
    if (!sync_detail::is_integer_spelling(text)) {
      double value = 0.0;
      if (!read_double(text, end, value)) return false;
      return invalid_type(sync_detail::found_double(value), slot, end);
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
    return fail(std::move(reason), end);
  }

  bool read_double(std::string_view text, std::size_t end, double& out) {
    if (sync_detail::number_to_double(text, out)) return true;
    return fail("number out of range", end);
  }

  std::size_t original_end(std::size_t start, std::size_t end) {
    while (next_rewrite_ < rewrites_.size() && rewrites_[next_rewrite_].start < start) {
      ++next_rewrite_;
    }
    if (next_rewrite_ < rewrites_.size() && rewrites_[next_rewrite_].start == start) {
      return rewrites_[next_rewrite_++].end;
    }
    return end;
  }

  // Texts never carry a surrogate alone: the reader pairs leading halves, this refuses trailing.
  bool check_surrogates(std::size_t end) {
    if (!sync_detail::has_encoded_surrogate(decoded())) return true;
    return fail("invalid unicode code point",
                sync_detail::lone_trailing_surrogate_end(input_, stream_.string_start(), end));
  }

  bool generic_begin(Slot slot, bool is_array, std::size_t at) {
    if (!depth_allows(at)) return false;
    shape_value_ = slot == Slot::kCholesky;
    if (shape_value_) {
      shape_ = FlatOrNested{};
      shape_.is_array = is_array;
    }
    generic_depth_ = 1;
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

  bool generic_number(std::string_view text, std::size_t end) {
    double value = 0.0;
    if (!read_double(text, end, value)) return false;
    if (shape_value_ && generic_depth_ <= 2) {
      if (generic_depth_ == 1) shape_.has_numbers = true;
      shape_.numbers.push_back(value);
    }
    return true;
  }

  std::string_view input_;
  const CountingStream& stream_;
  const DecodedText& decoded_;
  std::span<const Rewrite> rewrites_;
  std::size_t next_rewrite_ = 0;

  std::array<Frame, 4> frames_{};  // document, arms, arm: the typed structure is never deeper
  std::size_t depth_ = 0;
  std::size_t generic_depth_ = 0;  // levels open inside an unknown key's value or `cholesky`
  bool shape_value_ = false;       // the generic value is `cholesky`
  FlatOrNested shape_;

  BanditSync sync_;
  ArmSync arm_;
  ReadError error_;
};

// One reading of `reader_bytes`, which equals `original` except for rewritten numbers.
// `too_big_at` is set when the reader refused a number by its own range limits.
Result<BanditSync> read_once(std::string_view reader_bytes, std::string_view original,
                             std::span<const Rewrite> rewrites, std::size_t* too_big_at) {
  DecodedText decoded;
  CountingStream stream(reader_bytes, decoded);
  SyncHandler handler(original, stream, decoded, rewrites);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kReadFlags>(stream, handler);
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
  while (rest < original.size() && (original[rest] == ' ' || original[rest] == '\t' ||
                                    original[rest] == '\n' || original[rest] == '\r')) {
    ++rest;
  }
  if (rest < original.size()) {
    return fail(sync_detail::located(original, ReadError{"trailing characters", rest + 1}));
  }
  return std::move(handler).take();
}

// The reader refuses some numbers that are doubles (0e400, or huge digit strings brought back
// by their exponent) before the handler sees them. For a second reading, every complete number
// becomes "0" padded with spaces, so the reader passes it on and the handler judges the original.
std::string rewrite_numbers(std::string_view bytes, std::vector<Rewrite>& rewrites) {
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
      const sync_detail::NumberScan scan = sync_detail::scan_number(bytes, i);
      if (scan.complete && scan.end - i > 1) {
        out[i] = '0';
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                  out.begin() + static_cast<std::ptrdiff_t>(scan.end), ' ');
        rewrites.push_back({i, scan.end});
      }
      i = std::max(scan.end, i + 1);
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
  Result<BanditSync> first = read_once(text, text, {}, &too_big_at);
  if (first || too_big_at == text.size()) return first;
  std::vector<Rewrite> rewrites;
  const std::string rewritten = rewrite_numbers(text, rewrites);
  return read_once(rewritten, text, rewrites, nullptr);
}

}  // namespace korvane
