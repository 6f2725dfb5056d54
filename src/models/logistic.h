// Logistic regression: base model 2 (word-pair TF-IDF columns, then its 29
// scaled features) and the meta classifier (37 meta-features).
#ifndef VESKO_MODELS_LOGISTIC_H_
#define VESKO_MODELS_LOGISTIC_H_

#include <optional>
#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "models/probability_pair.h"

namespace vesko {

// The record of "model2.msgpack" and "meta_classifier.msgpack". Immutable
// after load; safe to share across threads.
struct LogisticRegressionModel {
  std::vector<std::vector<double>> coef;  // one row per class, or a single row
  std::vector<double> intercept;
  std::vector<std::string> classes;
  std::optional<std::vector<double>> scaler_mean;  // own standardisation, per column
  std::optional<std::vector<double>> scaler_scale;

  // One pair per matrix row, in row order. Throws FatalError on an index
  // beyond the model's vectors.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x) const;
};

}  // namespace vesko

#endif  // VESKO_MODELS_LOGISTIC_H_
