#include "models/sparse_scoring.h"

#include "models/softmax.h"

namespace vesko {

void check_row_columns(std::span<const std::size_t> columns, std::size_t len) {
  if (columns.empty() || columns.back() < len) return;
  for (std::size_t j : columns) {
    if (j >= len) throw_index_out_of_bounds(len, j);
  }
}

std::vector<ProbabilityPair> predict_sparse_softmax(const std::vector<std::vector<double>>& weights,
                                                    const std::vector<double>& offsets,
                                                    std::size_t n_classes, const CsrMatrix& x) {
  std::vector<ProbabilityPair> out;
  const std::size_t rows = x.rows();
  if (rows == 0) return out;
  out.reserve(rows);
  std::vector<double> scores(n_classes);
  std::vector<double> exps(n_classes);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const std::size_t> columns = x.row_indices(r);
    const std::span<const double> values = x.row_values(r);
    for (std::size_t c = 0; c < n_classes; ++c) {
      check_index(c, offsets.size());
      double s = offsets[c];
      // A row without entries never touches the weight rows, so a model short
      // of weight rows still scores empty rows from its offsets alone.
      if (!columns.empty()) {
        check_index(c, weights.size());
        const std::vector<double>& w = weights[c];
        check_row_columns(columns, w.size());
        s = add_sparse_dot(s, w.data(), columns, values);
      }
      scores[c] = s;
    }
    out.push_back(softmax_first_two(scores, exps));
  }
  return out;
}

std::vector<ProbabilityPair> predict_sparse_sigmoid(const std::vector<double>& weights,
                                                    const std::vector<double>& offsets,
                                                    const CsrMatrix& x) {
  std::vector<ProbabilityPair> out;
  const std::size_t rows = x.rows();
  if (rows == 0) return out;
  out.reserve(rows);
  if (offsets.empty()) throw_index_out_of_bounds(0, 0);
  const double offset = offsets[0];
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const std::size_t> columns = x.row_indices(r);
    check_row_columns(columns, weights.size());
    out.push_back(sigmoid_pair(add_sparse_dot(offset, weights.data(), columns, x.row_values(r))));
  }
  return out;
}

}  // namespace vesko
