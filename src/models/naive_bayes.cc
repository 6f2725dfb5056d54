#include "models/naive_bayes.h"

#include "models/sparse_scoring.h"

namespace vesko {

// Joint log-likelihood per class (log prior plus value * log probability per
// stored entry), normalised by a softmax over the count of `classes`: the
// lengths of the other two fields never decide how many classes are scored.
std::vector<ProbabilityPair> NaiveBayesModel::predict_proba(const CsrMatrix& x) const {
  return predict_sparse_softmax(feature_log_prob, class_log_prior, classes.size(), x);
}

}  // namespace vesko
