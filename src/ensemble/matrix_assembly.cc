#include "ensemble/matrix_assembly.h"

#include "common/fatal_error.h"

namespace vesko {

CsrMatrix combine_features(const CsrMatrix& tfidf,
                           std::span<const std::vector<double>> custom_rows) {
  const std::size_t rows = tfidf.rows();
  const std::size_t cols = tfidf.cols();
  const std::size_t k = custom_rows.empty() ? 0 : custom_rows[0].size();
  if (custom_rows.size() < rows) throw_index_out_of_bounds(custom_rows.size(), custom_rows.size());
  for (std::size_t r = 0; r < rows; ++r) {
    if (custom_rows[r].size() > k) throw_column_outside_shape();
  }

  std::size_t total = tfidf.nnz();
  for (std::size_t r = 0; r < rows; ++r) total += custom_rows[r].size();
  std::vector<std::size_t> indptr(rows + 1, 0);
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  indices.reserve(total);
  data.reserve(total);
  // TF-IDF columns are below C and feature columns start at C, so each row
  // comes out in ascending column order without sorting.
  for (std::size_t r = 0; r < rows; ++r) {
    std::span<const std::size_t> row_cols = tfidf.row_indices(r);
    std::span<const double> row_values = tfidf.row_values(r);
    indices.insert(indices.end(), row_cols.begin(), row_cols.end());
    data.insert(data.end(), row_values.begin(), row_values.end());
    const std::vector<double>& custom = custom_rows[r];
    for (std::size_t j = 0; j < custom.size(); ++j) {
      indices.push_back(cols + j);
      data.push_back(custom[j]);
    }
    indptr[r + 1] = indices.size();
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
