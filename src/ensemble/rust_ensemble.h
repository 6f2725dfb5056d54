// RustEnsemble: the loaded stacked ensemble. Four base models, each a
// vectorizer, a feature scaler and a classifier, and a logistic regression
// over their probabilities and the raw features. Built only by load_ensemble
// (or assemble_ensemble); immutable afterwards, so predictions share it across
// the pool's threads without locks.
#ifndef VESKO_ENSEMBLE_RUST_ENSEMBLE_H_
#define VESKO_ENSEMBLE_RUST_ENSEMBLE_H_

#include <array>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "ensemble/base_model.h"
#include "models/logistic.h"

namespace vesko {

struct RustEnsemble {
  // In model order, numbered 1 to 4 in file names and diagnostic lines:
  //   1  words                  naive Bayes
  //   2  word pairs             logistic regression
  //   3  character trigrams     linear SVM
  //   4  words and word pairs   boosted trees
  std::array<BaseModel, 4> base_models;
  LogisticRegressionModel meta_classifier;
  bool include_custom_features_in_meta = true;  // the 29 raw features follow the base pairs
};

// The path of one model file: the directory, "/" unless the directory is empty
// or already ends in "/", then the file name. Nothing else is normalised.
std::string model_file_path(std::string_view model_dir, std::string_view file_name);

// Reads the nine model files of `model_dir`, one at a time in a fixed order,
// and builds the ensemble. The first file that cannot be opened, read or
// decoded, or the first tree that cannot be converted, ends the load with its
// message; nothing of the attempt survives. Files are not compared with each
// other: disagreements surface only when a prediction reaches them.
Expected<RustEnsemble> load_ensemble(std::string_view model_dir);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_RUST_ENSEMBLE_H_
