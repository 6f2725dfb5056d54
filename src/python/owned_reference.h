// Owned references to Python objects, and when to release them.
//
// CPython ends a daemon thread that wakes up inside a call of ours after the
// interpreter has begun to finalise: the thread calls pthread_exit where it
// waits for the interpreter lock (common/thread_exit.h), and the unwind runs
// our destructors on a thread that holds no thread state. Nothing may touch
// the interpreter then. So a reference is released only while the thread
// holds the interpreter lock, and otherwise left behind, which costs nothing
// in a process that is exiting.
#ifndef VESKO_PYTHON_OWNED_REFERENCE_H_
#define VESKO_PYTHON_OWNED_REFERENCE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Not in the limited API, but exported by every CPython 3 with this meaning:
// 1 when this thread holds the interpreter lock. Once a sub-interpreter has
// been created in the process, CPython stops tracking and it always answers 1.
extern "C" int PyGILState_Check(void);

namespace vesko::py {

inline bool holds_interpreter_lock() { return PyGILState_Check() != 0; }

// One owned reference (or none), released on scope exit while the thread
// holds the interpreter lock.
class OwnedReference {
 public:
  explicit OwnedReference(PyObject* object) : object_(object) {}
  ~OwnedReference() {
    if (object_ != nullptr && holds_interpreter_lock()) Py_DECREF(object_);
  }
  OwnedReference(const OwnedReference&) = delete;
  OwnedReference& operator=(const OwnedReference&) = delete;

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_;
};

}  // namespace vesko::py

#endif  // VESKO_PYTHON_OWNED_REFERENCE_H_
