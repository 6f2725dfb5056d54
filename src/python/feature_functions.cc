#include "python/feature_functions.h"

#include <vector>

#include "common/lowercase.h"
#include "common/thread_pool.h"
#include "features/custom_features.h"
#include "python/arguments.h"
#include "python/entry_point.h"
#include "python/results.h"

namespace vesko::py {
namespace {

constexpr CallableName kExtractFeatures{nullptr, "extract_features", "text"};
constexpr CallableName kExtractFeaturesBatch{nullptr, "extract_features_batch", "texts"};

PyObject* extract_features(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  PyObject* argument = parse_single_argument(kExtractFeatures, args, kwargs);
  if (argument == nullptr) return nullptr;
  std::optional<std::string> text = extract_string(argument, kExtractFeatures.parameter);
  if (!text) return nullptr;
  CustomFeatures features = extract_custom_features(*text, to_lower(*text));
  return feature_vector_to_py(features);
}

PyObject* extract_features_batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  PyObject* argument = parse_single_argument(kExtractFeaturesBatch, args, kwargs);
  if (argument == nullptr) return nullptr;
  std::optional<std::vector<std::string>> texts =
      extract_string_list(argument, kExtractFeaturesBatch.parameter);
  if (!texts) return nullptr;
  std::vector<CustomFeatures> rows(texts->size());
  // The interpreter lock stays held: pool threads touch only the copies.
  parallel_for_index(texts->size(), [&](std::size_t i) {
    const std::string& text = (*texts)[i];
    rows[i] = extract_custom_features(text, to_lower(text));
  });
  texts.reset();
  return feature_vectors_to_py(rows);
}

}  // namespace

PyMethodDef kExtractFeaturesDef = {
    "extract_features", keywords_method<extract_features>(), METH_VARARGS | METH_KEYWORDS,
    "extract_features(text)\n--\n\nExtract all 29 custom features from email text "
    "(28 legacy + 1 new: mailing_list)"};

PyMethodDef kExtractFeaturesBatchDef = {
    "extract_features_batch", keywords_method<extract_features_batch>(),
    METH_VARARGS | METH_KEYWORDS,
    "extract_features_batch(texts)\n--\n\nBatch extract features wrapper for Python"};

}  // namespace vesko::py
