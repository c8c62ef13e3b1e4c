// The Python class BanditEngine: its instance record, methods, properties and type object.
// The type object is created on first need and kept for the life of the process. Needs the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::binding {

// The type object (a borrowed reference), created now if it does not exist yet; nullptr with the
// interpreter's exception set when creation fails.
PyTypeObject* engine_type() noexcept;

}  // namespace korvane::binding
