// Owned references to Python objects, and when to release them.
//
// Releasing a reference may run Python code: the object's finalizer, a
// weakref callback, the finalizers of whatever it holds. That code may do
// anything a Python program can, and the interpreter may even end the thread
// inside it: a daemon thread that wakes up after the interpreter has begun to
// finalise calls pthread_exit where it waits for the interpreter lock
// (common/thread_exit.h). That unwind must not start in a destructor, which
// is noexcept and would turn it into std::terminate. Hence:
//
// - A destructor releases at once only a reference whose release runs no
//   code: one that is not the last, or one to an exact str or bytes, which is
//   what calls hold by the thousand. It leaves any other to the thread's
//   dropped references, which the entry point releases once the call's work
//   is done (python/entry_point.h), outside any destructor; a loop that drops
//   one reference per item releases them as it goes.
// - A thread that the interpreter ends runs our destructors as it unwinds,
//   holding no thread state, and nothing may touch the interpreter then. So
//   a destructor releases nothing unless the thread holds the interpreter
//   lock on the thread state its call entered with (outside every call,
//   never); it leaves the reference behind, which costs nothing in a process
//   that is exiting.
#ifndef VESKO_PYTHON_OWNED_REFERENCE_H_
#define VESKO_PYTHON_OWNED_REFERENCE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesko::py {

// Notes, for its life, the thread state that a call runs on, so that its
// destructors can tell whether the thread still holds the interpreter lock
// on it. The entry point makes one, with the lock held.
class CallThreadState {
 public:
  CallThreadState();
  ~CallThreadState();
  CallThreadState(const CallThreadState&) = delete;
  CallThreadState& operator=(const CallThreadState&) = delete;

 private:
  PyThreadState* outer_;  // that of the call this one runs inside, if any
};

// Releases `object` (or nothing, for null) as a destructor must: at once when
// that runs no code, else by the next release_dropped_references on this
// thread. A reference that cannot be kept for later, for want of memory, is
// left behind.
void release_from_destructor(PyObject* object) noexcept;

// Releases every reference that destructors on this thread have left for
// later. Runs whatever Python code that takes, which may call vesko again.
void release_dropped_references();

// One owned reference (or none), released on scope exit.
class OwnedReference {
 public:
  explicit OwnedReference(PyObject* object) : object_(object) {}
  ~OwnedReference() { release_from_destructor(object_); }
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
