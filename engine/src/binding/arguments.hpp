// Argument parsing and conversion for the methods of BanditEngine.
// Every function returns false (or an empty optional) with a Python exception set on failure and
// never throws except std::bad_alloc. Parsing fills `slots`; a slot left empty, or holding None,
// means the argument is absent. Conversion failures whose type is exactly TypeError are renamed
// "argument '<name>': ..." for the parameter being converted. The common cases (small ints, an
// exact list of them, keywords spelled in code) are inlined; everything else takes the full path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/call_frame.hpp"
#include "shared/portable.hpp"

namespace korvane::binding {

// The static description of one callable's parameters.
struct ArgSpec {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> params;
  std::size_t required;  // the leading `required` parameters must be given
  // One slot per parameter for its interned name, made on first use: keyword names written in
  // Python code are interned, so they usually match by identity without comparing text.
  PyObject** interned;
};

// Identifiers to exclude: a short list in place, a longer one on the heap.
class IdList {
 public:
  void reserve(std::size_t count) {
    if (count > inline_.size()) heap_.reserve(count);
  }
  void push_back(std::int32_t id) {
    if (size_ < inline_.size()) {
      inline_[size_++] = id;
      return;
    }
    push_back_heap(id);
  }
  void clear() {
    heap_.clear();
    size_ = 0;
  }
  std::span<const std::int32_t> view() const {
    if (size_ <= inline_.size()) return {inline_.data(), size_};
    return heap_;
  }

 private:
  KORVANE_NOINLINE void push_back_heap(std::int32_t id) {
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(id);
    ++size_;
  }

  std::array<std::int32_t, 16> inline_;
  std::vector<std::int32_t> heap_;
  std::size_t size_ = 0;
};

bool parse_fastcall_in_full(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> slots);

// Positional arguments from a vector call array, keywords from its name tuple (may be null). The
// slots borrow from `args`, which the caller keeps alive until the call returns. Precondition: the
// slots are empty.
inline bool parse_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, std::span<PyObject*> slots) {
  // The usual call names its keywords by their interned names in the parameters' order after the
  // positional ones: then argument i is parameter i, found without a search.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  const auto given = static_cast<std::size_t>(nargs + nkw);
  if (nargs < 0 || given > spec.params.size() || given < spec.required) {
    return parse_fastcall_in_full(spec, args, nargs, kwnames, slots);
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) != spec.interned[static_cast<std::size_t>(nargs + k)]) {
      return parse_fastcall_in_full(spec, args, nargs, kwnames, slots);
    }
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
  return true;
}

// Positional arguments from a tuple, keywords from a dictionary (may be null) in its order. The
// slots hold strong references: the dictionary is not ours to rely on.
bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<Ref> slots);

// True when the slot holds no argument (empty or None).
inline bool is_absent(const Ref& slot) noexcept {
  return !slot || slot.get() == Py_None;
}
inline bool is_absent(PyObject* slot) noexcept {
  return slot == nullptr || slot == Py_None;
}

// A small int's value, read in place; false for any other object.
inline bool small_int(PyObject* obj, Py_ssize_t& value) noexcept {
  if (!PyLong_Check(obj)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(obj);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  value = PyUnstable_Long_CompactValue(number);
  return true;
}

// Sets TypeError "'<qualified type name of obj>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target) noexcept;

// A view of the interpreter's own UTF-8 buffer of `obj`, valid while `obj` lives.
std::optional<std::string_view> convert_text(PyObject* obj, const char* param) noexcept;

std::optional<std::uint64_t> convert_u64(PyObject* obj, const char* param) noexcept;

std::optional<std::uint32_t> convert_u32_in_full(PyObject* obj, const char* param) noexcept;

inline std::optional<std::uint32_t> convert_u32(PyObject* obj, const char* param) noexcept {
  Py_ssize_t small = 0;  // below 2^30 in magnitude
  if (small_int(obj, small) && small >= 0) return static_cast<std::uint32_t>(small);
  return convert_u32_in_full(obj, param);
}

bool convert_i32_list_in_full(PyObject* obj, const char* param, IdList& out);

// Collects the items of a sequence (not a str) as signed 32-bit identifiers, in order.
inline bool convert_i32_list(PyObject* obj, const char* param, IdList& out) {
  if (PyList_CheckExact(obj)) {
    // Small ints run no code of their own, so the list cannot change while they are read.
    const Py_ssize_t size = PyList_GET_SIZE(obj);
    Py_ssize_t i = 0;
    for (Py_ssize_t value = 0; i < size && small_int(PyList_GET_ITEM(obj, i), value); ++i) {
      out.push_back(static_cast<std::int32_t>(value));
    }
    if (i == size) return true;
    out.clear();
  }
  return convert_i32_list_in_full(obj, param, out);
}

}  // namespace korvane::binding
