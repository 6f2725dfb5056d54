// The module functions extract_features(text) and extract_features_batch(texts).
#ifndef VESKO_PYTHON_FEATURE_FUNCTIONS_H_
#define VESKO_PYTHON_FEATURE_FUNCTIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesko::py {

// Method definitions, bound to the module by the module body in this order.
extern PyMethodDef kExtractFeaturesDef;
extern PyMethodDef kExtractFeaturesBatchDef;

}  // namespace vesko::py

#endif  // VESKO_PYTHON_FEATURE_FUNCTIONS_H_
