#include "python/results.h"

namespace vesko::py {

PyObject* feature_vector_to_py(std::span<const double> values) {
  return list_from(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* feature_vectors_to_py(const std::vector<CustomFeatures>& rows) {
  return list_from(rows.size(), [&](std::size_t i) { return feature_vector_to_py(rows[i]); });
}

PyObject* pair_to_py(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    return nullptr;
  }
  PyTuple_SetItem(tuple, 0, first);
  PyTuple_SetItem(tuple, 1, second);
  return tuple;
}

}  // namespace vesko::py
