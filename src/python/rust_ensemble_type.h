// The Python class RustEnsemble: instances carry a loaded ensemble and come
// only from the static method load(model_dir).
#ifndef VESKO_PYTHON_RUST_ENSEMBLE_TYPE_H_
#define VESKO_PYTHON_RUST_ENSEMBLE_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesko::py {

// The class object, created on the first call and kept for the life of the
// interpreter. Returns a borrowed reference, or nullptr with an error set.
PyObject* rust_ensemble_type();

// Drops the cached class object without touching it, for when its interpreter
// has been finalised: the next call creates the class anew. Calls no Python API.
void forget_rust_ensemble_type() noexcept;

}  // namespace vesko::py

#endif  // VESKO_PYTHON_RUST_ENSEMBLE_TYPE_H_
