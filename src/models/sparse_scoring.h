// Scoring over the stored entries of CSR rows, shared by naive Bayes, the
// logistic regression without its own scaler, and the linear SVM: a score per
// class starts at that class's offset (log prior or intercept) and adds
// value * weight per stored entry in storage order, each product added at once,
// as the models were scored when trained.
#ifndef VESKO_MODELS_SPARSE_SCORING_H_
#define VESKO_MODELS_SPARSE_SCORING_H_

#include <cstddef>
#include <span>
#include <vector>

#include "common/csr_matrix.h"
#include "common/fatal_error.h"
#include "models/probability_pair.h"

namespace vesko {

// Throws FatalError (len weights.size(), the first stored column in storage
// order that is not below it). Columns ascend within a CSR row, so checking
// the last one bounds the whole row.
void check_row_columns(std::span<const std::size_t> columns, std::size_t len);

// score + sum of values[e] * weights[columns[e]], added left to right. The
// caller has bounded the columns by weights.size() (check_row_columns).
inline double add_sparse_dot(double score, const double* weights,
                             std::span<const std::size_t> columns, std::span<const double> values) {
  const std::size_t count = columns.size();
  for (std::size_t e = 0; e < count; ++e) score = score + values[e] * weights[columns[e]];
  return score;
}

// Two add_sparse_dot sums in one pass over the row, each in storage order.
inline void add_sparse_dot2(double score0, double score1, const double* weights0,
                            const double* weights1, std::span<const std::size_t> columns,
                            std::span<const double> values, double& out0, double& out1) {
  const std::size_t count = columns.size();
  for (std::size_t e = 0; e < count; ++e) {
    const double x = values[e];
    const std::size_t j = columns[e];
    score0 = score0 + x * weights0[j];
    score1 = score1 + x * weights1[j];
  }
  out0 = score0;
  out1 = score1;
}

// Softmax form: one score per class c < n_classes (offsets[c], then the
// stored entries against weights[c] when the row has any), the first two
// softmax probabilities per row. Index failures, per row and class in this
// order: c not below offsets.size(); c not below weights.size() (rows with
// entries only); a column not below weights[c].size(); then n_classes 0 or 1
// as failures on the probability list. A matrix without rows returns at once.
std::vector<ProbabilityPair> predict_sparse_softmax(const std::vector<std::vector<double>>& weights,
                                                    const std::vector<double>& offsets,
                                                    std::size_t n_classes, const CsrMatrix& x);

// Sigmoid form for a model with exactly one weight row: per row, offsets[0]
// plus the stored entries against `weights`. Index failures per row: offsets
// empty (len 0 index 0), then a column not below weights.size().
std::vector<ProbabilityPair> predict_sparse_sigmoid(const std::vector<double>& weights,
                                                    const std::vector<double>& offsets,
                                                    const CsrMatrix& x);

}  // namespace vesko

#endif  // VESKO_MODELS_SPARSE_SCORING_H_
