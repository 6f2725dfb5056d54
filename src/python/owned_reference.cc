#include "python/owned_reference.h"

#include <new>
#include <vector>

namespace vesko::py {
namespace {

// Those left by destructors on this thread since it last released them. A
// thread that the interpreter ends frees the list and leaves what it holds.
thread_local std::vector<PyObject*> dropped;

// Whether releasing `object` now runs no Python code: it is not the last
// reference, or the object frees its memory and nothing else.
bool release_runs_no_code(PyObject* object) {
  return Py_REFCNT(object) > 1 || PyUnicode_CheckExact(object) || PyBytes_CheckExact(object);
}

}  // namespace

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
