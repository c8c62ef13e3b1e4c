#include "binding/arguments.hpp"

#include <limits>
#include <string>

#include "shared/portable.hpp"

namespace korvane::binding {

namespace {

// A hostile __len__ must not make us reserve unbounded memory: the list grows past this anyway.
constexpr Py_ssize_t kMaxReservedIds = 4096;

std::string full_name(const ArgSpec& spec) {
  return std::string(spec.class_name) + "." + spec.function_name + "()";
}

KORVANE_COLD bool raise_too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const std::string name = full_name(spec);
  if (spec.required != spec.params.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 name.c_str(), spec.required, spec.params.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 name.c_str(), spec.params.size(), given, verb);
  }
  return false;
}

// A slot is either a strong reference or a pointer borrowed for the call.
PyObject* take(PyObject* value, PyObject*) {
  return value;
}
Ref take(PyObject* value, const Ref&) {
  return Ref::borrowed(value);
}

template <class Slot>
bool fill_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     std::span<Slot> slots) {
  if (static_cast<std::size_t>(nargs) > spec.params.size()) {
    return raise_too_many_positional(spec, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    auto& slot = slots[static_cast<std::size_t>(i)];
    slot = take(args[i], slot);
  }
  return true;
}

bool intern_names(const ArgSpec& spec) {
  if (spec.interned[0] != nullptr) return true;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    spec.interned[i] = PyUnicode_InternFromString(spec.params[i]);  // kept for the process
    if (spec.interned[i] == nullptr) return false;
  }
  return true;
}

KORVANE_NOINLINE std::size_t find_param_by_text(const ArgSpec& spec, PyObject* name) {
  const std::size_t count = spec.params.size();
  if (!PyUnicode_Check(name)) return count;
  std::size_t i = 0;
  while (i < count && PyUnicode_CompareWithASCIIString(name, spec.params[i]) != 0) ++i;
  return i;
}

// The parameter that `name` names, or params.size() when it names none.
inline std::size_t find_param(const ArgSpec& spec, PyObject* name) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (spec.interned[i] == name) return i;
  }
  return find_param_by_text(spec, name);
}

KORVANE_COLD bool raise_bad_keyword(const ArgSpec& spec, PyObject* name, std::size_t i) {
  if (i == spec.params.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 full_name(spec).c_str(), name);
  } else {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                 full_name(spec).c_str(), spec.params[i]);
  }
  return false;
}

template <class Slot>
inline bool fill_keyword(const ArgSpec& spec, PyObject* name, PyObject* value,
                         std::span<Slot> slots) {
  const std::size_t i = find_param(spec, name);
  if (i == spec.params.size() || slots[i]) return raise_bad_keyword(spec, name, i);
  slots[i] = take(value, slots[i]);
  return true;
}

template <class Slot>
KORVANE_COLD bool raise_missing(const ArgSpec& spec, std::span<Slot> slots) {
  std::string missing;
  std::size_t count = 0;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (slots[i]) continue;
    if (count > 0) missing += ", ";
    missing += "'";
    missing += spec.params[i];
    missing += "'";
    ++count;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               full_name(spec).c_str(), count, count > 1 ? "s" : "", missing.c_str());
  return false;
}

template <class Slot>
bool check_required(const ArgSpec& spec, std::span<Slot> slots) {
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (!slots[i]) return raise_missing(spec, slots);
  }
  return true;
}

// Replaces a pending exception of exactly TypeError by one that names the parameter.
void rename_type_error(const char* param) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original(PyErr_GetRaisedException());
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %S", param, original.get()));
  if (!message) return;
  Ref renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(renamed.release());
}

std::optional<std::uint64_t> u64_of(PyObject* obj) noexcept {
  Py_ssize_t small = 0;
  if (small_int(obj, small) && small >= 0) return static_cast<std::uint64_t>(small);
  Ref index;
  if (!PyLong_Check(obj)) {
    index.reset(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

bool append_i32(PyObject* item, IdList& out) {
  Py_ssize_t small = 0;  // below 2^30 in magnitude, so always in range
  if (small_int(item, small)) {
    out.push_back(static_cast<std::int32_t>(small));
    return true;
  }
  const long value = PyLong_AsLong(item);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return false;
  }
  out.push_back(static_cast<std::int32_t>(value));
  return true;
}

bool collect_i32(PyObject* obj, IdList& out) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // What their iterators do, without making one: the length is read again before each item,
    // as an item's __index__ may change a list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      const Ref item = Ref::borrowed(PySequence_Fast_GET_ITEM(obj, i));
      if (!append_i32(item.get(), out)) return false;
    }
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(hint < kMaxReservedIds ? hint : kMaxReservedIds));

  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) {
    ensure_error_set();
    return false;
  }
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!append_i32(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool parse_fastcall_in_full(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<PyObject*> slots) {
  if (!intern_names(spec) || !fill_positional(spec, args, nargs, slots)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!fill_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
  }
  return check_required(spec, slots);
}

bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<Ref> slots) {
  if (!intern_names(spec) ||
      !fill_positional(spec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!fill_keyword(spec, name, value, slots)) return false;
    }
  }
  return check_required(spec, slots);
}

void raise_cannot_convert(PyObject* obj, const char* target) noexcept {
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

std::optional<std::string_view> convert_text(PyObject* obj, const char* param) noexcept {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    rename_type_error(param);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    rename_type_error(param);
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::uint64_t> convert_u64(PyObject* obj, const char* param) noexcept {
  auto value = u64_of(obj);
  if (!value) rename_type_error(param);
  return value;
}

std::optional<std::uint32_t> convert_u32_in_full(PyObject* obj, const char* param) noexcept {
  auto value = convert_u64(obj, param);
  if (!value) return std::nullopt;
  if (*value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*value);
}

bool convert_i32_list_in_full(PyObject* obj, const char* param, IdList& out) {
  if (collect_i32(obj, out)) return true;
  rename_type_error(param);
  return false;
}

}  // namespace korvane::binding
