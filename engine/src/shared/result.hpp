// Result<T>: the value of a fallible core operation, or the one-line message that explains its
// failure. InternalError: thrown only when an invariant breaks (never for bad input that a check
// can refuse); the binding turns it into the host's internal-failure exception. Nothing here
// allocates except the message strings.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace korvane {

struct Failure {
  std::string message;
};

inline Failure fail(std::string message) {
  return Failure{std::move(message)};
}

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// The text matches what callers of the engine have always seen for an out-of-range index.
[[noreturn]] inline void throw_index_out_of_bounds(std::size_t len, std::size_t index) {
  throw InternalError("index out of bounds: the len is " + std::to_string(len) +
                      " but the index is " + std::to_string(index));
}

// Bounds-checked element access for any contiguous container or span.
template <class Container>
inline decltype(auto) checked_at(Container&& c, std::size_t index) {
  if (index >= std::size(c)) throw_index_out_of_bounds(std::size(c), index);
  return std::forward<Container>(c)[index];
}

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(value()); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Result*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }

  // Precondition: !has_value().
  const std::string& error() const { return std::get<1>(state_).message; }
  Failure take_failure() && { return std::move(std::get<1>(state_)); }

 private:
  T& checked_value() {
    if (!has_value()) throw InternalError("called value() on a failed result: " + error());
    return std::get<0>(state_);
  }
  std::variant<T, Failure> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)), failed_(true) {}

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }
  const std::string& error() const { return failure_.message; }
  Failure take_failure() && { return std::move(failure_); }

 private:
  Failure failure_;
  bool failed_ = false;
};

}  // namespace korvane
