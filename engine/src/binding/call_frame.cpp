#include "binding/call_frame.hpp"

#include "shared/result.hpp"

namespace korvane::binding {

namespace {

constexpr const char* kPanicName = "korvane.PanicException";
constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";
constexpr std::string_view kGenericPanicText = "the engine stopped on a failed internal check";

// Created on first use and kept for the life of the process (the module refuses subinterpreters).
PyObject* panic_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

PyObject* take_raised_exception() noexcept {
  ensure_error_set();
  return PyErr_GetRaisedException();
}

void raise_panic(std::string_view text) noexcept {
  PyObject* earlier = PyErr_GetRaisedException();
  if (text.empty()) text = kGenericPanicText;
  PyObject* type = panic_type();
  if (type == nullptr) {
    Py_XDECREF(earlier);  // the failure to create the class is what the caller sees
    return;
  }
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) {
    Py_XDECREF(earlier);
    return;
  }
  PyErr_SetObject(type, message.get());
  if (earlier != nullptr) {
    PyObject* panic = PyErr_GetRaisedException();
    PyException_SetContext(panic, earlier);  // steals `earlier`
    PyErr_SetRaisedException(panic);
  }
}

void fail_python_api() {
  ensure_error_set();
  PyErr_Print();
  throw InternalError("Python API call failed");
}

void raise_engine_error(std::string_view message) noexcept {
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

}  // namespace korvane::binding
