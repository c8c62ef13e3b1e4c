// The boundary between the interpreter and the engine.
// call_frame runs the body of an entry point and guarantees that no C++ exception reaches the
// interpreter: an internal failure becomes PanicException, an allocation failure MemoryError.
// A body returns a new reference, or nullptr with a Python exception set. The caller holds the
// GIL; nothing here releases it. Besides the Python objects it creates, nothing here allocates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace korvane::binding {

// An owned (strong) reference, released on every path out of a scope.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(std::exchange(other.obj_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  static Ref borrowed(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept { Py_XSETREF(obj_, owned); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Sets SystemError "attempted to fetch exception but none was set" unless one is pending.
void ensure_error_set() noexcept;

// Takes the pending exception (or that SystemError when none is pending). Never returns null.
PyObject* take_raised_exception() noexcept;

// Raises PanicException carrying `text` (a generic text when empty); an exception pending
// before the call becomes its __context__.
void raise_panic(std::string_view text) noexcept;

// For a result object the interpreter failed to create: prints its error, then ends the call
// as an internal failure "Python API call failed". Always throws.
[[noreturn]] void fail_python_api();

// Raises ValueError with the engine's message as its only argument.
void raise_engine_error(std::string_view message) noexcept;

template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  // The caller holds the GIL for the whole frame; bodies may rely on it without checking.
  try {
    PyObject* result = std::forward<Body>(body)();
    if (result == nullptr) ensure_error_set();
    return result;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic({});
  }
  return nullptr;
}

}  // namespace korvane::binding
