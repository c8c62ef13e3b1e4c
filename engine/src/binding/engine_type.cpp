#include "binding/engine_type.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/borrow.hpp"
#include "binding/call_frame.hpp"
#include "engine/engine_core.hpp"

namespace korvane::binding {

namespace {

// The instance record: object header, the engine state held by value, then the borrow flag.
struct EngineObject {
  PyObject_HEAD alignas(BanditEngineCore) unsigned char core_storage[sizeof(BanditEngineCore)];
  BorrowFlag borrow;

  BanditEngineCore& core() noexcept {
    return *std::launder(reinterpret_cast<BanditEngineCore*>(core_storage));
  }
};

constexpr const char* kConstructorParams[] = {"bandit_json", "seed"};
constexpr const char* kPullParams[] = {"query_length", "exclude_ids"};
constexpr const char* kUpdateParams[] = {"bandit_json"};
PyObject* constructor_names[std::size(kConstructorParams)] = {};
PyObject* pull_names[std::size(kPullParams)] = {};
PyObject* update_names[std::size(kUpdateParams)] = {};
constexpr ArgSpec kConstructorSpec{"BanditEngine", "__new__", kConstructorParams, 1,
                                   constructor_names};
constexpr ArgSpec kPullSpec{"BanditEngine", "pull", kPullParams, 0, pull_names};
constexpr ArgSpec kUpdateSpec{"BanditEngine", "update_from_sync", kUpdateParams, 1, update_names};

PyTypeObject* created_type = nullptr;

// Result documents up to this size are written on the stack first.
constexpr std::size_t kStackRoom = 4096;

PyTypeObject* require_engine_type() {
  PyTypeObject* type = engine_type();
  if (type == nullptr) {
    PyErr_Print();
    throw InternalError("failed to create type object for BanditEngine");
  }
  return type;
}

KORVANE_NOINLINE EngineObject* receiver_in_full(PyObject* self) {
  if (!PyObject_TypeCheck(self, require_engine_type())) {
    raise_cannot_convert(self, "BanditEngine");
    return nullptr;
  }
  return reinterpret_cast<EngineObject*>(self);
}

// An instance of the type itself (not of a subclass) needs no call to know it.
inline EngineObject* receiver(PyObject* self) {
  if (created_type != nullptr && Py_TYPE(self) == created_type) {
    return reinterpret_cast<EngineObject*>(self);
  }
  return receiver_in_full(self);
}

// Result objects: a failure to create one is an internal failure of the call.
PyObject* checked(PyObject* result) {
  if (result == nullptr) fail_python_api();
  return result;
}

PyObject* text_object(std::string_view utf8) {
  return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

PyObject* engine_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    std::array<Ref, 2> slots;
    if (!parse_tuple_dict(kConstructorSpec, args, kwargs, slots)) return nullptr;
    const std::optional<std::string_view> bandit_json = convert_text(slots[0].get(), "bandit_json");
    if (!bandit_json) return nullptr;
    std::optional<std::uint64_t> seed;
    if (!is_absent(slots[1])) {
      seed = convert_u64(slots[1].get(), "seed");
      if (!seed) return nullptr;
    }

    Result<BanditEngineCore> core = BanditEngineCore::construct(*bandit_json, seed);
    if (!core) {
      raise_engine_error(core.error());
      return nullptr;
    }

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;  // the new state is dropped with `core`
    auto* record = reinterpret_cast<EngineObject*>(self);
    try {
      ::new (static_cast<void*>(record->core_storage)) BanditEngineCore(std::move(*core));
    } catch (...) {
      // No state to destroy yet: release the memory without running the deallocation handler.
      Py_TYPE(self)->tp_free(self);
      Py_DECREF(subtype);
      throw;
    }
    ::new (static_cast<void*>(&record->borrow)) BorrowFlag{};
    return self;
  });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<EngineObject*>(self)->core());
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* engine_pull(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The arguments by value: the body reads them straight from its closure, not through pointers.
  return call_frame([self, args, nargs, kwnames]() -> PyObject* {
    std::array<PyObject*, 2> slots{};
    if (!parse_fastcall(kPullSpec, args, nargs, kwnames, slots)) return nullptr;
    EngineObject* engine = receiver(self);
    if (engine == nullptr) return nullptr;
    ExclusiveAccess access(engine->borrow);
    if (!access) return nullptr;

    std::optional<std::uint32_t> query_length;
    if (!is_absent(slots[0])) {
      query_length = convert_u32(slots[0], "query_length");
      if (!query_length) return nullptr;
    }
    IdList exclude_ids;
    if (!is_absent(slots[1]) && !convert_i32_list(slots[1], "exclude_ids", exclude_ids)) {
      return nullptr;
    }

    // The document is ASCII. A short one is written on the stack and copied once into a str of
    // its length (cheaper than cutting a str); a long one straight into the str, then cut.
    BanditEngineCore& core = engine->core();
    const std::size_t bound = core.result_bound();
    if (bound <= kStackRoom) {
      char room[kStackRoom];
      const Result<std::string_view> written =
          core.pull_anywhere(query_length, exclude_ids.view(), {room, bound});
      if (!written) {
        raise_engine_error(written.error());
        return nullptr;
      }
      PyObject* text = checked(PyUnicode_New(static_cast<Py_ssize_t>(written->size()), 127));
      std::memcpy(PyUnicode_DATA(text), written->data(), written->size());
      return text;
    }
    Ref text(checked(PyUnicode_New(static_cast<Py_ssize_t>(bound), 127)));
    const std::span<char> room(static_cast<char*>(PyUnicode_DATA(text.get())), bound);
    const Result<std::size_t> written = core.pull_into(query_length, exclude_ids.view(), room);
    if (!written) {
      raise_engine_error(written.error());
      return nullptr;
    }
    PyObject* result = text.get();
    if (PyUnicode_Resize(&result, static_cast<Py_ssize_t>(*written)) < 0) fail_python_api();
    text.release();  // given up by the resize: `result` is the reference now
    return result;
  });
}

PyObject* engine_update_from_sync(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!parse_fastcall(kUpdateSpec, args, nargs, kwnames, slots)) return nullptr;
    EngineObject* engine = receiver(self);
    if (engine == nullptr) return nullptr;
    ExclusiveAccess access(engine->borrow);
    if (!access) return nullptr;

    const std::optional<std::string_view> bandit_json = convert_text(slots[0], "bandit_json");
    if (!bandit_json) return nullptr;
    Result<void> refreshed = engine->core().refresh(*bandit_json);
    if (!refreshed) {
      raise_engine_error(refreshed.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

template <class Read>
PyObject* shared_read(PyObject* self, Read&& read) {
  return call_frame([&]() -> PyObject* {
    EngineObject* engine = receiver(self);
    if (engine == nullptr) return nullptr;
    SharedAccess access(engine->borrow);
    if (!access) return nullptr;
    return std::forward<Read>(read)(std::as_const(engine->core()));
  });
}

PyObject* engine_get_arms_json(PyObject* self, PyObject* /*unused*/) {
  return shared_read(
      self, [](const BanditEngineCore& core) { return text_object(core.get_arms_json()); });
}

PyObject* get_bandit_id(PyObject* self, void* /*closure*/) {
  return shared_read(self, [](const BanditEngineCore& core) {
    return checked(PyLong_FromLongLong(core.bandit_id()));
  });
}

PyObject* get_bandit_name(PyObject* self, void* /*closure*/) {
  return shared_read(self,
                     [](const BanditEngineCore& core) { return text_object(core.bandit_name()); });
}

PyObject* get_dimensions(PyObject* self, void* /*closure*/) {
  return shared_read(self, [](const BanditEngineCore& core) {
    return checked(PyLong_FromUnsignedLongLong(core.dimensions()));
  });
}

PyObject* get_num_arms(PyObject* self, void* /*closure*/) {
  return shared_read(self, [](const BanditEngineCore& core) {
    return checked(PyLong_FromUnsignedLongLong(core.num_arms()));
  });
}

// The interpreter stores every method behind the generic PyCFunction pointer type.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
void* as_slot(Function* function) noexcept {
  return reinterpret_cast<void*>(function);
}

constexpr std::string_view kClassName = "BanditEngine";
constexpr std::string_view kClassSignature = "(bandit_json, seed=None)";
constexpr std::string_view kClassDocBody =
    "Python-facing BanditEngine. Holds all Bayesian state for one bandit.\n"
    "\n"
    "Usage:\n"
    "    from korvane._engine import BanditEngine\n"
    "    engine = BanditEngine('{\"bandit_id\": 1, ...}')\n"
    "    result_json = engine.pull(query_length=100)";

PyMethodDef engine_methods[] = {
    {"pull", as_cfunction(&engine_pull), METH_FASTCALL | METH_KEYWORDS,
     "pull($self, query_length=None, exclude_ids=None)\n--\n\n"
     "Pure math pull \xE2\x80\x94 returns JSON string { arm_index, arm_id, scores }."},
    {"update_from_sync", as_cfunction(&engine_update_from_sync), METH_FASTCALL | METH_KEYWORDS,
     "update_from_sync($self, bandit_json)\n--\n\nUpdate state from new sync response JSON."},
    {"get_arms_json", as_cfunction(&engine_get_arms_json), METH_NOARGS,
     "get_arms_json($self)\n--\n\nGet the arm metadata as JSON array string."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_properties[] = {
    {"bandit_id", get_bandit_id, nullptr, "Get the bandit ID.", nullptr},
    {"bandit_name", get_bandit_name, nullptr, "Get the bandit name.", nullptr},
    {"dimensions", get_dimensions, nullptr, "Get dimensions.", nullptr},
    {"num_arms", get_num_arms, nullptr, "Get number of arms (all, including inactive).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_type() {
  // The interpreter copies the doc; the composed text only has to outlive the call.
  std::string doc;
  doc.append(kClassName).append(kClassSignature).append("\n--\n\n").append(kClassDocBody);
  PyType_Slot slots[] = {
      {Py_tp_doc, doc.data()},
      {Py_tp_new, as_slot(&engine_new)},
      {Py_tp_methods, engine_methods},
      {Py_tp_getset, engine_properties},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, as_slot(&engine_dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.BanditEngine", static_cast<int>(sizeof(EngineObject)), 0, 0, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* engine_type() noexcept {
  if (created_type == nullptr) {
    try {
      created_type = create_type();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
  }
  return created_type;
}

}  // namespace korvane::binding
