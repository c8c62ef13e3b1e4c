// Argument parsing and conversion for the methods of BanditEngine.
// Every function returns false (or an empty optional) with a Python exception set on failure and
// never throws except std::bad_alloc. Parsing fills `slots` with strong references; a slot left
// empty, or holding None, means the argument is absent. Conversion failures whose type is exactly
// TypeError are renamed "argument '<name>': ..." for the parameter being converted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/call_frame.hpp"

namespace korvane::binding {

// The static description of one callable's parameters.
struct ArgSpec {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> params;
  std::size_t required;  // the leading `required` parameters must be given
};

// Positional arguments from a vector call array, keywords from its name tuple (may be null).
bool parse_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<Ref> slots);

// Positional arguments from a tuple, keywords from a dictionary (may be null) in its order.
bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<Ref> slots);

// True when the slot holds no argument (empty or None).
inline bool is_absent(const Ref& slot) noexcept {
  return !slot || slot.get() == Py_None;
}

// Sets TypeError "'<qualified type name of obj>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target) noexcept;

// A view of the interpreter's own UTF-8 buffer of `obj`, valid while `obj` lives.
std::optional<std::string_view> convert_text(PyObject* obj, const char* param) noexcept;

std::optional<std::uint64_t> convert_u64(PyObject* obj, const char* param) noexcept;

std::optional<std::uint32_t> convert_u32(PyObject* obj, const char* param) noexcept;

// Collects the items of a sequence (not a str) as signed 32-bit identifiers, in order.
bool convert_i32_list(PyObject* obj, const char* param, std::vector<std::int32_t>& out);

}  // namespace korvane::binding
