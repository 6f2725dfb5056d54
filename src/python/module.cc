// The module's entry point. The module object is created once per interpreter
// and cached: every later call of the initialiser returns the same object. The
// compiled core keeps process-wide state (the thread pool, one type object),
// so an import from a second sub-interpreter is refused with ImportError.
// A program that finalises Python and initialises it again gets a fresh
// module: the caches belong to the interpreter that filled them and are
// forgotten when it finalises.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/arguments.h"
#include "python/entry_point.h"
#include "python/feature_functions.h"
#include "python/rust_ensemble_type.h"

namespace vesko::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vesko",
    "Python module initialization",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> interpreter_cell{-1};
PyObject* module_cell = nullptr;  // one strong reference for the life of the interpreter

// Runs once the finalised interpreter is gone, so it only drops the pointers:
// the objects went with their interpreter, and a re-initialised one (whose
// main interpreter has the same id again) must build its own.
void forget_interpreter() noexcept {
  module_cell = nullptr;
  forget_rust_ensemble_type();
  interpreter_cell.store(-1);
}

void ensure_error_set() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute. Steals `value`.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(value);
      return false;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  bool appended = false;
  if (!PyList_Check(all)) {
    set_conversion_refusal(all, "PyList");
  } else if (PyObject* name_object = PyUnicode_FromString(name)) {
    appended = PyList_Append(all, name_object) == 0;
    Py_DECREF(name_object);
  }
  Py_DECREF(all);
  if (!appended) {
    Py_DECREF(value);
    return false;
  }
  int status = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return status == 0;
}

// Binds a module function: __self__ is the module, __module__ its name.
bool add_function(PyObject* module, PyMethodDef* definition) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  PyObject* function = PyCMethod_New(definition, module, module_name, nullptr);
  Py_DECREF(module_name);
  if (function == nullptr) return false;
  return add_to_module(module, definition->ml_name, function);
}

bool init_module(PyObject* module) {
  PyObject* type = rust_ensemble_type();
  if (type == nullptr) return false;
  Py_INCREF(type);
  if (!add_to_module(module, "RustEnsemble", type)) return false;
  return add_function(module, &kExtractFeaturesDef) &&
         add_function(module, &kExtractFeaturesBatchDef);
}

PyObject* initialise() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    ensure_error_set();
    return nullptr;
  }
  std::int64_t expected = -1;
  if (interpreter_cell.compare_exchange_strong(expected, id)) {
    // This interpreter now owns the caches. Py_AtExit holds 32 callbacks;
    // should they all be taken, the caches outlive this interpreter, which
    // only a program that initialises Python again would notice.
    Py_AtExit(forget_interpreter);
  } else if (expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see "
                    "https://github.com/PyO3/pyo3/issues/576");
    return nullptr;
  }
  if (module_cell != nullptr) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  PyObject* module = PyModule_Create2(&module_definition, 3);
  if (module == nullptr) {
    ensure_error_set();
    return nullptr;
  }
  if (!init_module(module)) {
    ensure_error_set();
    Py_DECREF(module);
    return nullptr;
  }
  module_cell = module;
  Py_INCREF(module_cell);
  return module;
}

}  // namespace
}  // namespace vesko::py

extern "C" PyMODINIT_FUNC PyInit_vesko(void) {
  return vesko::py::entry_point<vesko::py::initialise>();
}
