#include "ensemble/rust_ensemble.h"

#include <array>
#include <utility>

#include "ensemble/model_set.h"
#include "models/model_files.h"

namespace vesko {

std::string model_file_path(std::string_view model_dir, std::string_view file_name) {
  std::string path(model_dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(file_name);
  return path;
}

// One file at a time, in this order; the first failure ends the load, so the
// files after it are never opened.
Expected<RustEnsemble> load_ensemble(std::string_view model_dir) {
  static constexpr std::array<std::string_view, 4> kTfidfFiles = {
      "model1_tfidf.msgpack", "model2_tfidf.msgpack", "model3_tfidf.msgpack",
      "model4_tfidf.msgpack"};
  ModelSet records;
  for (std::size_t m = 0; m < kTfidfFiles.size(); ++m) {
    Expected<TfidfModel> model = load_tfidf_model(model_file_path(model_dir, kTfidfFiles[m]));
    if (!model) return Failure{model.take_error()};
    records.tfidf[m] = std::move(model).value();
  }
  Expected<NaiveBayesModel> model1 =
      load_naive_bayes_model(model_file_path(model_dir, "model1.msgpack"));
  if (!model1) return Failure{model1.take_error()};
  records.model1 = std::move(model1).value();
  Expected<LogisticRegressionModel> model2 =
      load_logistic_regression_model(model_file_path(model_dir, "model2.msgpack"));
  if (!model2) return Failure{model2.take_error()};
  records.model2 = std::move(model2).value();
  Expected<LinearSVMModel> model3 =
      load_linear_svm_model(model_file_path(model_dir, "model3.msgpack"));
  if (!model3) return Failure{model3.take_error()};
  records.model3 = std::move(model3).value();
  Expected<XGBoostModelFile> model4 =
      load_xgboost_model(model_file_path(model_dir, "model4.msgpack"));
  if (!model4) return Failure{model4.take_error()};
  records.model4 = std::move(model4).value();
  Expected<LogisticRegressionModel> meta =
      load_logistic_regression_model(model_file_path(model_dir, "meta_classifier.msgpack"));
  if (!meta) return Failure{meta.take_error()};
  records.meta_classifier = std::move(meta).value();
  return assemble_ensemble(std::move(records));
}

}  // namespace vesko
