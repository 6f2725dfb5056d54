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
  std::optional<TextViews> texts = extract_string_list(argument, kExtractFeaturesBatch.parameter);
  if (!texts) return nullptr;
  if (!texts->make_all_ready()) {
    wrap_argument_error(kExtractFeaturesBatch.parameter);
    return nullptr;
  }
  const std::span<const std::string_view> views = texts->views();
  std::vector<CustomFeatures> rows(views.size());
  // The interpreter lock stays held while pool threads read the texts.
  parallel_for_index(views.size(), [&](std::size_t i) {
    rows[i] = extract_custom_features(views[i], to_lower(views[i]));
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
