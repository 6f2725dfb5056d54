// RustEnsemble: the loaded stacked ensemble. Four base models, each with its
// own TF-IDF vectorizer, classifier and feature scaler, and a logistic
// regression over their probabilities and the raw features. Built only by
// load_ensemble; immutable afterwards, so predictions share it across the
// pool's threads without locks.
#ifndef VESKO_ENSEMBLE_RUST_ENSEMBLE_H_
#define VESKO_ENSEMBLE_RUST_ENSEMBLE_H_

#include <array>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "ensemble/feature_scaler.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/svm.h"
#include "models/xgboost.h"
#include "tfidf/tfidf_model.h"
#include "tfidf/vectorizer.h"

namespace vesko {

struct RustEnsemble {
  TfidfVectorizer model1_tfidf;  // words
  NaiveBayesModel model1;
  FeatureScaler model1_scaler;
  TfidfVectorizer model2_tfidf;  // word pairs
  LogisticRegressionModel model2;
  FeatureScaler model2_scaler;
  TfidfVectorizer model3_tfidf;  // character trigrams
  LinearSVMModel model3;
  FeatureScaler model3_scaler;
  TfidfVectorizer model4_tfidf;  // words, then word pairs
  XGBoostModel model4;
  FeatureScaler model4_scaler;
  LogisticRegressionModel meta_classifier;
  bool include_custom_features_in_meta = true;
};

// The path of one model file: the directory, "/" unless the directory is empty
// or already ends in "/", then the file name. Nothing else is normalised.
std::string model_file_path(std::string_view model_dir, std::string_view file_name);

// The nine records of a model directory as decoded, trees still generic values.
struct ModelRecords {
  std::array<TfidfModel, 4> tfidf;  // model1_tfidf to model4_tfidf
  NaiveBayesModel model1;
  LogisticRegressionModel model2;
  LinearSVMModel model3;
  XGBoostModelFile model4;
  LogisticRegressionModel meta_classifier;
};

// Builds the ensemble from decoded records: the scalers, the vectorizers
// (words, word pairs, character trigrams, words and word pairs), the trees.
// Fails only with the message of the first tree that cannot be converted.
// Compares no record with another.
Expected<RustEnsemble> assemble_ensemble(ModelRecords records);

// Reads the nine model files of `model_dir`, one at a time in a fixed order,
// and builds the ensemble. The first file that cannot be opened, read or
// decoded, or the first tree that cannot be converted, ends the load with its
// message; nothing of the attempt survives. Files are not compared with each
// other: disagreements surface only when a prediction reaches them.
Expected<RustEnsemble> load_ensemble(std::string_view model_dir);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_RUST_ENSEMBLE_H_
