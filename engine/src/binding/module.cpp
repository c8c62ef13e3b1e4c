// The extension module korvane._engine: created once per process, in one interpreter only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/call_frame.hpp"
#include "binding/engine_type.hpp"
#include "shared/result.hpp"

namespace korvane::binding {

namespace {

// The interface version the module is built against, fixed rather than taken from the headers.
constexpr int kApiVersion = 1013;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Python module entry point.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide: the interpreter that first initialised the module, and the module itself.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* created_module = nullptr;

// The list __all__ of the module, created when absent; a new reference, or nullptr.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
    return all;
  }
  if (!PyList_Check(all)) {
    Ref qualname(PyType_GetQualName(Py_TYPE(all)));
    Py_DECREF(all);
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", qualname.get());
    }
    return nullptr;
  }
  return all;
}

bool add_engine_class(PyObject* module) {
  PyTypeObject* type = engine_type();
  if (type == nullptr) return false;
  Ref all(all_list(module));
  if (!all) return false;
  Ref name(PyUnicode_FromString("BanditEngine"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    throw InternalError("could not append __name__ to __all__");
  }
  return PyModule_AddObjectRef(module, "BanditEngine", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;

  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "korvane._engine does not yet support subinterpreters: import it from the "
                    "main interpreter only");
    return nullptr;
  }
  if (created_module != nullptr) return Py_NewRef(created_module);

  Ref module(PyModule_Create2(&module_def, kApiVersion));
  if (!module) return nullptr;
  if (!add_engine_class(module.get())) return nullptr;
  created_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace korvane::binding

PyMODINIT_FUNC PyInit__engine() {
  return korvane::binding::call_frame(korvane::binding::initialise);
}
