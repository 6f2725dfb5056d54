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
    const std::size_t planned =
        std::min(model.coef.size(), model.coef.size() == 1 ? std::size_t{1} : model.classes.size());
    sparse_tail_.resize(planned);
    for (std::size_t c = 0; c < planned; ++c) {
      const std::vector<double>& w = model.coef[c];
      const std::size_t end = std::min(k_, w.size());
      bool finite = true;
      for (std::size_t j = scaled_; j < end; ++j) finite = finite && std::isfinite(w[j]);
      sparse_tail_[c] = finite;
      dense_tail_ = dense_tail_ || !finite;
    }
    dense_.assign(dense_tail_ ? k_ : scaled_, 0.0);
  }

  // Loads one row. Index failure: a stored column not below k.
  void load_row(std::span<const std::size_t> columns, std::span<const double> values) {
    check_row_columns(columns, k_);
    columns_ = columns;
    values_ = values;
    tail_start_ = static_cast<std::size_t>(
        std::lower_bound(columns.begin(), columns.end(), scaled_) - columns.begin());
    std::copy(unstored_.begin(), unstored_.end(), dense_.begin());
    if (scaled_ > 0) {
      const double* mean = model_.scaler_mean->data();
      const double* scale = model_.scaler_scale->data();
      for (std::size_t e = 0; e < tail_start_; ++e) {
        const std::size_t j = columns[e];
        dense_[j] = (values[e] - mean[j]) / scale[j];
      }
    }
    if (dense_tail_) {
      for (std::size_t e = tail_start_; e < columns.size(); ++e) dense_[columns[e]] = values[e];
    }
  }

  // Clears what load_row wrote beyond the standardised columns (those are
  // rewritten whole by the next load_row).
  void unload_row() {
    if (!dense_tail_) return;
    for (std::size_t e = tail_start_; e < columns_.size(); ++e) dense_[columns_[e]] = 0.0;
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
    for (std::size_t e = tail_start_; e < columns_.size() && columns_[e] < end; ++e) {
      s = s + values_[e] * w[columns_[e]];
    }
    return s;
  }

  std::size_t cols() const { return k_; }

 private:
  const LogisticRegressionModel& model_;
  std::size_t k_;
  std::size_t scaled_ = 0;                // columns [0, scaled_) are standardised
  std::vector<double> unstored_;          // their value when nothing is stored
  std::vector<bool> sparse_tail_;         // per scored class: finite weights beyond `scaled_`
  bool dense_tail_ = false;               // some class needs every column beyond `scaled_`
  std::vector<double> dense_;             // the standardised head, and the tail if needed
  std::span<const std::size_t> columns_;  // the loaded row's entries
  std::span<const double> values_;
  std::size_t tail_start_ = 0;  // first entry at or beyond `scaled_`
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
