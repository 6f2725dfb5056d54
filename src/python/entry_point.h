// The one way in from CPython. A C++ exception must never unwind into the
// interpreter: it would reach a C frame and terminate the whole process. So
// every function whose address CPython is given (the initialiser, the
// methods, the module functions, the type's slots) is the entry_point<F> of
// the function F that does the work, and whatever F lets escape (bad_alloc
// while copying a huge argument, a fatal model mismatch) becomes the Python
// exception of set_error_from_current_exception.
//
// The one unwind that goes on is a thread's exit (common/thread_exit.h): the
// interpreter ends a daemon thread that way from inside a call, and it must
// reach the thread's start. The thread holds no thread state by then, so no
// error is set for it, and the entry point is not noexcept, which would turn
// it into std::terminate.
//
// On the way out, the entry point releases the references that the call's
// destructors left for later (python/owned_reference.h).
#ifndef VESKO_PYTHON_ENTRY_POINT_H_
#define VESKO_PYTHON_ENTRY_POINT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/thread_exit.h"
#include "python/arguments.h"
#include "python/owned_reference.h"

namespace vesko::py {

template <auto Function>
struct EntryPoint;

template <typename... Args, PyObject* (*Function)(Args...)>
struct EntryPoint<Function> {
  static PyObject* call(Args... args) {
    const CallThreadState thread_state;
    PyObject* result = nullptr;
    try {
      result = Function(args...);
    } catch (...) {
      // A thread's exit goes on: the thread holds no thread state by now.
      if (caught_thread_exit()) throw;
      result = set_error_from_current_exception();
    }
    // Outside every destructor, where the Python code this may run can do
    // anything, end the thread included (python/owned_reference.h).
    release_dropped_references();
    return result;
  }
};

// The address to hand to CPython for `Function`, of the same signature.
template <auto Function>
inline constexpr auto entry_point = &EntryPoint<Function>::call;

// The entry point of a METH_VARARGS | METH_KEYWORDS callable, in the
// PyCFunction type that a PyMethodDef stores.
template <auto Function>
PyCFunction keywords_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_point<Function>));
}

}  // namespace vesko::py

#endif  // VESKO_PYTHON_ENTRY_POINT_H_
