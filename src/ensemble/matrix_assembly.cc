#include "ensemble/matrix_assembly.h"

#include <algorithm>

#include "common/fatal_error.h"

namespace vesko {

CsrMatrix combine_features(const CsrMatrix& tfidf, std::span<const double> custom) {
  constexpr std::size_t k = kCustomFeatureCount;
  const std::size_t rows = tfidf.rows(), cols = tfidf.cols();
  if (custom.size() / k < rows) throw_index_out_of_bounds(custom.size() / k, custom.size() / k);
  const std::size_t total = tfidf.nnz() + rows * k;
  std::vector<std::size_t> indptr(rows + 1);
  CsrMatrix::Indices indices(total);
  CsrMatrix::Values data(total);
  const std::size_t* source_ptr = tfidf.indptr().data();
  const std::size_t* source_indices = tfidf.indices().data();
  const double* source_data = tfidf.data().data();
  std::size_t at = 0;
  indptr[0] = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t from = source_ptr[r], to = source_ptr[r + 1];
    std::copy(source_indices + from, source_indices + to, indices.data() + at);
    std::copy(source_data + from, source_data + to, data.data() + at);
    at += to - from;
    const double* features = custom.data() + r * k;
    for (std::size_t j = 0; j < k; ++j) {
      indices[at] = cols + j;
      data[at] = features[j];
      ++at;
    }
    indptr[r + 1] = at;
  }
  return CsrMatrix::from_sorted_parts(rows, cols + k, std::move(indptr), std::move(indices),
                                      std::move(data));
}

CsrMatrix dense_rows_to_csr(std::span<const std::vector<double>> rows) {
  const std::size_t n = rows.size();
  const std::size_t cols = n == 0 ? 0 : rows[0].size();
  std::vector<std::size_t> indptr(n + 1, 0);
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<double>& row = rows[i];
    for (std::size_t j = 0; j < row.size(); ++j) {
      if (row[j] != 0.0) {
        if (j >= cols) throw_column_outside_shape();
        indices.push_back(j);
        data.push_back(row[j]);
      }
    }
    indptr[i + 1] = indices.size();
  }
  return CsrMatrix::from_sorted_parts(n, cols, std::move(indptr), std::move(indices),
                                      std::move(data));
}

}  // namespace vesko
