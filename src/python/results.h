// Results back into Python: lists made at their final length and filled in
// place, pairs as fresh 2-tuples. Each returns a new reference, or nullptr
// with MemoryError (or the interpreter's error) set.
#ifndef VESKO_PYTHON_RESULTS_H_
#define VESKO_PYTHON_RESULTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <vector>

#include "features/custom_features.h"

namespace vesko::py {

// A list of floats.
PyObject* feature_vector_to_py(std::span<const double> values);

// A list of lists of floats.
PyObject* feature_vectors_to_py(const std::vector<CustomFeatures>& rows);

// Builds a list of `size` items with make(i), each a new reference.
template <typename MakeItem>
PyObject* list_from(std::size_t size, MakeItem make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

// A 2-tuple; steals both references (either may be nullptr, then the tuple
// is not built and nullptr is returned).
PyObject* pair_to_py(PyObject* first, PyObject* second);

}  // namespace vesko::py

#endif  // VESKO_PYTHON_RESULTS_H_
