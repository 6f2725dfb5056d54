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
    std::size_t c = 0;
    while (c < n_classes) {
      check_index(c, offsets.size());
      // A row without entries never touches the weight rows, so a model short
      // of weight rows still scores empty rows from its offsets alone.
      if (columns.empty()) {
        scores[c] = offsets[c];
        ++c;
        continue;
      }
      check_index(c, weights.size());
      check_row_columns(columns, weights[c].size());
      if (c + 1 < n_classes) {
        // Two classes in one pass over the row: each score still adds its
        // products in storage order, the two sums merely overlap in time.
        // The second class is checked first; nothing is written before a
        // failure, so the failure seen is the same.
        check_index(c + 1, offsets.size());
        check_index(c + 1, weights.size());
        check_row_columns(columns, weights[c + 1].size());
        add_sparse_dot2(offsets[c], offsets[c + 1], weights[c].data(), weights[c + 1].data(),
                        columns, values, scores[c], scores[c + 1]);
        c += 2;
      } else {
        scores[c] = add_sparse_dot(offsets[c], weights[c].data(), columns, values);
        ++c;
      }
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
