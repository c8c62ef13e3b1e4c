// Shared and exclusive access to one engine instance through its borrow flag.
// The flag is 0 when free, all bits set while exclusively held, otherwise the number of shared
// holders; it is changed only atomically (acquire on taking, release on giving back). A guard
// that fails to take access sets RuntimeError and tests false; a guard that succeeded gives it back
// when it goes out of scope. A guard lives inside one method call, whose caller keeps the instance
// (self) alive until it returns, so it takes no reference of its own. Never throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <limits>

namespace korvane::binding {

inline constexpr std::size_t kExclusivelyBorrowed = std::numeric_limits<std::size_t>::max();

// The flag word. It lives in memory the interpreter allocates, so the instance's constructor starts
// its life in place (std::atomic rather than std::atomic_ref, which not every C++ library has).
struct BorrowFlag {
  std::atomic<std::size_t> value{0};
};

class SharedAccess {
 public:
  explicit SharedAccess(BorrowFlag& flag) noexcept : flag_(flag) {
    std::atomic<std::size_t>& word = flag_.value;
    std::size_t current = word.load(std::memory_order_relaxed);
    do {
      if (current == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
    } while (!word.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
    held_ = true;
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() {
    if (held_) flag_.value.fetch_sub(1, std::memory_order_release);
  }

  explicit operator bool() const noexcept { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(BorrowFlag& flag) noexcept : flag_(flag) {
    std::size_t expected = 0;
    if (!flag_.value.compare_exchange_strong(
            expected, kExclusivelyBorrowed, std::memory_order_acquire, std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    held_ = true;
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() {
    if (held_) flag_.value.store(0, std::memory_order_release);
  }

  explicit operator bool() const noexcept { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

}  // namespace korvane::binding
