#include "python/owned_reference.h"

#include <new>
#include <vector>

// The thread state that holds the interpreter lock, or null: this thread's
// while it holds the lock. Neither is in the limited API, but every CPython
// from 3.9 exports one of them, 3.13 and later the first. Before 3.12 it is
// the one state in the whole process that holds the lock, whichever thread
// that is.
extern "C" [[gnu::weak]] PyThreadState* PyThreadState_GetUnchecked(void);
extern "C" [[gnu::weak]] PyThreadState* _PyThreadState_UncheckedGet(void);
// 1 when this thread holds the lock; exported by every CPython 3, but it
// always answers 1 once a sub-interpreter has been created.
extern "C" int PyGILState_Check(void);

namespace vesko::py {
namespace {

// The thread state the innermost call on this thread entered with.
thread_local PyThreadState* call_thread_state = nullptr;

using ThreadStateGetter = PyThreadState* (*)();

ThreadStateGetter thread_state_getter() {
  static const ThreadStateGetter get = PyThreadState_GetUnchecked != nullptr
                                           ? PyThreadState_GetUnchecked
                                           : _PyThreadState_UncheckedGet;
  return get;
}

// Those left by destructors on this thread since it last released them. A
// thread that the interpreter ends frees the list and leaves what it holds.
thread_local std::vector<PyObject*> dropped;

// Whether releasing `object` now runs no Python code: it is not the last
// reference, or the object frees its memory and nothing else.
bool release_runs_no_code(PyObject* object) {
  return Py_REFCNT(object) > 1 || PyUnicode_CheckExact(object) || PyBytes_CheckExact(object);
}

// Whether this thread holds the interpreter lock on the thread state its
// innermost call entered with.
bool holds_interpreter_lock() {
  const ThreadStateGetter get = thread_state_getter();
  if (get == nullptr) return PyGILState_Check() != 0;  // a CPython that exports neither
  return call_thread_state != nullptr && get() == call_thread_state;
}

}  // namespace

CallThreadState::CallThreadState() : outer_(call_thread_state) {
  call_thread_state = PyThreadState_Get();
}

CallThreadState::~CallThreadState() { call_thread_state = outer_; }

void release_from_destructor(PyObject* object) noexcept {
  if (object == nullptr || !holds_interpreter_lock()) return;
  if (release_runs_no_code(object)) {
    Py_DECREF(object);
    return;
  }
  try {
    dropped.push_back(object);
  } catch (const std::bad_alloc&) {
    // Left behind: a leak is the one outcome that cannot take the thread down.
  }
}

void release_dropped_references() {
  // In the order they were dropped. The list is taken first: a release may
  // run a call of ours, which drops and releases its own.
  while (!dropped.empty()) {
    std::vector<PyObject*> taken;
    taken.swap(dropped);
    for (PyObject* object : taken) Py_DECREF(object);
  }
}

}  // namespace vesko::py
