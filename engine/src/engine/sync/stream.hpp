// The JSON reader's input stream: it counts the bytes taken, so that every handler callback knows
// its offset, passes over plain strings in one step and collects the text of the others, and lets
// the handler move it past a value that the handler has read itself (resume_at). Nothing here
// throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/sync/bytes.hpp"
#include "shared/portable.hpp"

namespace korvane::sync_detail {

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

  void skip_space() { pos_ = sync_detail::skip_space(pos_, end_); }
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
inline void SkipWhitespace(CountingStream& stream) {
  stream.skip_space();
}

}  // namespace korvane::sync_detail
