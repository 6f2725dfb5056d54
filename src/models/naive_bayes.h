// Multinomial naive Bayes over base model 1's joined matrix (word TF-IDF
// columns, then its 29 scaled features).
#ifndef VESKO_MODELS_NAIVE_BAYES_H_
#define VESKO_MODELS_NAIVE_BAYES_H_

#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "models/probability_pair.h"

namespace vesko {

// The record of "model1.msgpack". Immutable after load; safe to share across threads.
struct NaiveBayesModel {
  std::vector<std::vector<double>> feature_log_prob;  // one row per class
  std::vector<double> class_log_prior;                // one per class
  std::vector<std::string> classes;                   // only the count is used

  // One pair per matrix row, in row order. Throws FatalError when the model's
  // vectors are shorter than the classes or the matrix need.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x) const;
};

}  // namespace vesko

#endif  // VESKO_MODELS_NAIVE_BAYES_H_
