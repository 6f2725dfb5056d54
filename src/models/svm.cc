#include "models/svm.h"

#include "models/sparse_scoring.h"

namespace vesko {

// A binary SVM stores one coefficient row and is read through the sigmoid of
// its margin; any other row count is a one-score-per-class softmax.
std::vector<ProbabilityPair> LinearSVMModel::predict_proba(const CsrMatrix& x) const {
  if (coef.size() == 1) return predict_sparse_sigmoid(coef[0], intercept, x);
  return predict_sparse_softmax(coef, intercept, classes.size(), x);
}

}  // namespace vesko
