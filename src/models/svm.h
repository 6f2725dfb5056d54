// Linear SVM: base model 3 (character-trigram TF-IDF columns, then its 29
// scaled features).
#ifndef VESKO_MODELS_SVM_H_
#define VESKO_MODELS_SVM_H_

#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "models/probability_pair.h"

namespace vesko {

// The record of "model3.msgpack". Immutable after load; safe to share across threads.
struct LinearSVMModel {
  std::vector<std::vector<double>> coef;
  std::vector<double> intercept;
  std::vector<std::string> classes;

  // One pair per matrix row, in row order. Throws FatalError on an index
  // beyond the model's vectors.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x) const;
};

}  // namespace vesko

#endif  // VESKO_MODELS_SVM_H_
