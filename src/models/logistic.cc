#include "models/logistic.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "common/fatal_error.h"
#include "models/softmax.h"
#include "models/sparse_scoring.h"

namespace vesko {
namespace {

// The dense form: with its own `scaler_mean` the model scores every one of the
// k columns, zeros included, after standardising the first columns. The
// results are those of the plain column-by-column loop; two shortcuts keep the
// work per row near the stored entries where that changes nothing:
//  - an unstored standardised column is always (0.0 - mean) / scale, computed
//    once per call instead of once per row;
//  - beyond the standardised columns an unstored column adds 0.0 * w, which
//    is +-0.0 whenever w is finite. Adding +-0.0 changes a score at most in
//    the sign of a zero, and exp() of either zero is 1, so such terms are
//    skipped for weight rows whose tail is finite. A non-finite weight makes
//    the term NaN, so those rows take the full loop.
class DenseScorer {
 public:
  DenseScorer(const LogisticRegressionModel& model, std::size_t cols) : model_(model), k_(cols) {
    const std::vector<double>& mean = *model.scaler_mean;
    if (model.scaler_scale) {
      const std::vector<double>& scale = *model.scaler_scale;
      scaled_ = std::min({k_, mean.size(), scale.size()});
      unstored_.resize(scaled_);
      for (std::size_t j = 0; j < scaled_; ++j) unstored_[j] = (0.0 - mean[j]) / scale[j];
    }
    dense_.assign(k_, 0.0);
    const std::size_t planned =
        std::min(model.coef.size(), model.coef.size() == 1 ? std::size_t{1} : model.classes.size());
    sparse_tail_.resize(planned);
    for (std::size_t c = 0; c < planned; ++c) {
      const std::vector<double>& w = model.coef[c];
      const std::size_t end = std::min(k_, w.size());
      bool finite = true;
      for (std::size_t j = scaled_; j < end; ++j) finite = finite && std::isfinite(w[j]);
      sparse_tail_[c] = finite;
    }
  }

  // Fills the dense row for row r. Index failure: a stored column not below k.
  void load_row(std::span<const std::size_t> columns, std::span<const double> values) {
    check_row_columns(columns, k_);
    std::copy(unstored_.begin(), unstored_.end(), dense_.begin());
    const double* mean = model_.scaler_mean->data();
    const double* scale = scaled_ > 0 ? model_.scaler_scale->data() : nullptr;
    for (std::size_t e = 0; e < columns.size(); ++e) {
      const std::size_t j = columns[e];
      dense_[j] = j < scaled_ ? (values[e] - mean[j]) / scale[j] : values[e];
    }
    columns_ = columns;
  }

  // Clears what load_row wrote beyond the standardised columns.
  void unload_row() {
    for (std::size_t j : columns_) dense_[j] = 0.0;
  }

  // intercept + sum over j < min(k, w.size()) of dense[j] * w[j], in column order.
  double score(double intercept, std::size_t c) const {
    const std::vector<double>& w = model_.coef[c];
    const std::size_t end = std::min(k_, w.size());
    const std::size_t head = std::min(scaled_, end);
    double s = intercept;
    for (std::size_t j = 0; j < head; ++j) s = s + dense_[j] * w[j];
    if (end <= scaled_) return s;
    if (!sparse_tail_[c]) {
      for (std::size_t j = scaled_; j < end; ++j) s = s + dense_[j] * w[j];
      return s;
    }
    auto it = std::lower_bound(columns_.begin(), columns_.end(), scaled_);
    for (; it != columns_.end() && *it < end; ++it) s = s + dense_[*it] * w[*it];
    return s;
  }

  std::size_t cols() const { return k_; }

 private:
  const LogisticRegressionModel& model_;
  std::size_t k_;
  std::size_t scaled_ = 0;
  std::vector<double> unstored_;
  std::vector<double> dense_;
  std::vector<bool> sparse_tail_;  // per planned class: finite weights beyond `scaled_`
  std::span<const std::size_t> columns_;
};

std::vector<ProbabilityPair> predict_dense(const LogisticRegressionModel& model,
                                           const CsrMatrix& x) {
  std::vector<ProbabilityPair> out;
  const std::size_t rows = x.rows();
  if (rows == 0) return out;
  out.reserve(rows);
  DenseScorer scorer(model, x.cols());
  const bool sigmoid = model.coef.size() == 1;
  const std::size_t n = model.classes.size();
  std::vector<double> scores(sigmoid ? 0 : n);
  std::vector<double> exps(sigmoid ? 0 : n);
  for (std::size_t r = 0; r < rows; ++r) {
    scorer.load_row(x.row_indices(r), x.row_values(r));
    if (sigmoid) {
      if (model.intercept.empty()) throw_index_out_of_bounds(0, 0);
      out.push_back(sigmoid_pair(scorer.score(model.intercept[0], 0)));
    } else {
      for (std::size_t c = 0; c < n; ++c) {
        check_index(c, model.intercept.size());
        double s = model.intercept[c];
        // With no columns nothing is read from the coefficient rows.
        if (scorer.cols() > 0) {
          check_index(c, model.coef.size());
          s = scorer.score(s, c);
        }
        scores[c] = s;
      }
      out.push_back(softmax_first_two(scores, exps));
    }
    scorer.unload_row();
  }
  return out;
}

}  // namespace

std::vector<ProbabilityPair> LogisticRegressionModel::predict_proba(const CsrMatrix& x) const {
  if (scaler_mean) return predict_dense(*this, x);
  if (coef.size() == 1) return predict_sparse_sigmoid(coef[0], intercept, x);
  return predict_sparse_softmax(coef, intercept, classes.size(), x);
}

}  // namespace vesko
