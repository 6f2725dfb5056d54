#include "ensemble/rust_ensemble.h"

#include <array>
#include <utility>

#include "models/model_files.h"

namespace vesko {

std::string model_file_path(std::string_view model_dir, std::string_view file_name) {
  std::string path(model_dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(file_name);
  return path;
}

Expected<RustEnsemble> assemble_ensemble(ModelRecords records) {
  std::array<FeatureScaler, 4> scalers;
  for (std::size_t m = 0; m < scalers.size(); ++m) {
    scalers[m] = FeatureScaler::from_tfidf_model(records.tfidf[m]);
  }
  TfidfVectorizer tfidf1 =
      TfidfVectorizer::from_model(std::move(records.tfidf[0]), TokenizerMode::WordUnigrams);
  TfidfVectorizer tfidf2 =
      TfidfVectorizer::from_model(std::move(records.tfidf[1]), TokenizerMode::WordBigrams);
  TfidfVectorizer tfidf3 =
      TfidfVectorizer::from_model(std::move(records.tfidf[2]), TokenizerMode::CharTrigrams);
  TfidfVectorizer tfidf4 = TfidfVectorizer::from_model(std::move(records.tfidf[3]),
                                                       TokenizerMode::WordUnigramsAndBigrams);

  Expected<XGBoostModel> model4 = collect_tree_nodes(std::move(records.model4));
  if (!model4) return Failure{model4.take_error()};
  model4->pack();  // the flat forest that batch walks use

  return RustEnsemble{
      std::move(tfidf1), std::move(records.model1), std::move(scalers[0]),
      std::move(tfidf2), std::move(records.model2), std::move(scalers[1]),
      std::move(tfidf3), std::move(records.model3), std::move(scalers[2]),
      std::move(tfidf4), std::move(model4).value(), std::move(scalers[3]),
      std::move(records.meta_classifier), true,
  };
}

// One file at a time, in this order; the first failure ends the load, so the
// files after it are never opened.
Expected<RustEnsemble> load_ensemble(std::string_view model_dir) {
  static constexpr std::array<std::string_view, 4> kTfidfFiles = {
      "model1_tfidf.msgpack", "model2_tfidf.msgpack", "model3_tfidf.msgpack",
      "model4_tfidf.msgpack"};
  ModelRecords records;
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
