// The Python class RustEnsemble: instances carry a loaded ensemble and come
// only from the static method load(model_dir).
#ifndef VESKO_PY_RUST_ENSEMBLE_H_
#define VESKO_PY_RUST_ENSEMBLE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesko::py {

// The class object, created on the first call and kept for the life of the
// process. Returns a borrowed reference, or nullptr with an error set.
PyObject* rust_ensemble_type();

}  // namespace vesko::py

#endif  // VESKO_PY_RUST_ENSEMBLE_H_
