// ModelSet: the nine records of a model directory as decoded, the boosted
// trees still generic values, and the one function that builds the ensemble
// from them, used by load_ensemble and by the model-set fuzzer alike.
#ifndef VESKO_ENSEMBLE_MODEL_SET_H_
#define VESKO_ENSEMBLE_MODEL_SET_H_

#include <array>

#include "common/expected.h"
#include "ensemble/rust_ensemble.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/svm.h"
#include "models/xgboost_model_file.h"
#include "tfidf/tfidf_model.h"

namespace vesko {

struct ModelSet {
  std::array<TfidfModel, 4> tfidf;  // "model1_tfidf.msgpack" to "model4_tfidf.msgpack"
  NaiveBayesModel model1;
  LogisticRegressionModel model2;
  LinearSVMModel model3;
  XGBoostModelFile model4;
  LogisticRegressionModel meta_classifier;
};

// Builds the ensemble: for each base model the scaler copied out of its
// TfidfModel, the vectorizer that takes over the rest (words, word pairs,
// character trigrams, words and word pairs for models 1 to 4) and the
// classifier; the boosted trees converted to TreeNodes and packed. Fails only
// with the message of the first tree that cannot be converted. Compares no
// record with another.
Expected<RustEnsemble> assemble_ensemble(ModelSet records);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_MODEL_SET_H_
