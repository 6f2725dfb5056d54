// BaseModel: one of the ensemble's four base models, the unit its three parts
// only make sense in: the vectorizer that turns an e-mail into its TF-IDF
// columns, the scaler of its 29 hand-made features, and the classifier that
// reads both, joined (the TF-IDF columns first, the scaled features after
// them). Immutable after load; safe to share across threads.
#ifndef VESKO_ENSEMBLE_BASE_MODEL_H_
#define VESKO_ENSEMBLE_BASE_MODEL_H_

#include <variant>
#include <vector>

#include "common/csr_matrix.h"
#include "ensemble/feature_scaler.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/probability_pair.h"
#include "models/svm.h"
#include "models/xgboost.h"
#include "tfidf/vectorizer.h"

namespace vesko {

using Classifier =
    std::variant<NaiveBayesModel, LogisticRegressionModel, LinearSVMModel, XGBoostModel>;

struct BaseModel {
  TfidfVectorizer vectorizer;
  FeatureScaler scaler;
  Classifier classifier;

  // The classifier's (clean, spam) pair for each row of `joined`, in row
  // order. Throws FatalError where the model's vectors are shorter than the
  // matrix needs. A boosted-trees classifier reports the walks that give up
  // to `warnings`, and with `trace` writes its trace of every row.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& joined, bool trace,
                                             TreeWarnings& warnings) const;
};

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_BASE_MODEL_H_
