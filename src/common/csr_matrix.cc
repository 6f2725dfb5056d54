#include "common/csr_matrix.h"

#include <algorithm>
#include <numeric>

#include "common/fatal_error.h"

namespace vesko {

CsrMatrix CsrMatrix::from_triplets(std::size_t rows, std::size_t cols,
                                   const std::vector<std::size_t>& row_indices,
                                   const std::vector<std::size_t>& col_indices,
                                   const std::vector<double>& values) {
  if (col_indices.size() != row_indices.size() || values.size() != row_indices.size()) {
    throw FatalError(FatalError::Kind::kLengthMismatch, "all inputs should have the same length");
  }
  for (std::size_t r : row_indices) {
    if (r >= rows) {
      throw FatalError(FatalError::Kind::kOutsideShape, "row indices should be within shape");
    }
  }
  for (std::size_t c : col_indices) {
    if (c >= cols) throw_column_outside_shape();
  }

  // Counting sort by row, then each row by column; equal positions merge.
  const std::size_t n = row_indices.size();
  std::vector<std::size_t> row_start(rows + 1, 0);
  for (std::size_t r : row_indices) ++row_start[r + 1];
  std::partial_sum(row_start.begin(), row_start.end(), row_start.begin());
  std::vector<std::size_t> order(n);
  {
    std::vector<std::size_t> next(row_start.begin(), row_start.end() - 1);
    for (std::size_t t = 0; t < n; ++t) order[next[row_indices[t]]++] = t;
  }

  CsrMatrix m;
  m.rows_ = rows;
  m.cols_ = cols;
  m.indptr_.assign(rows + 1, 0);
  m.indices_.reserve(n);
  m.data_.reserve(n);
  for (std::size_t r = 0; r < rows; ++r) {
    auto first = order.begin() + static_cast<std::ptrdiff_t>(row_start[r]);
    auto last = order.begin() + static_cast<std::ptrdiff_t>(row_start[r + 1]);
    std::stable_sort(first, last,
                     [&](std::size_t a, std::size_t b) { return col_indices[a] < col_indices[b]; });
    for (auto it = first; it != last; ++it) {
      std::size_t c = col_indices[*it];
      if (m.indices_.size() > m.indptr_[r] && m.indices_.back() == c) {
        m.data_.back() += values[*it];
      } else {
        m.indices_.push_back(c);
        m.data_.push_back(values[*it]);
      }
    }
    m.indptr_[r + 1] = m.indices_.size();
  }
  return m;
}

CsrMatrix CsrMatrix::from_sorted_parts(std::size_t rows, std::size_t cols,
                                       std::vector<std::size_t> indptr,
                                       Indices indices, Values data) {
  CsrMatrix m;
  m.rows_ = rows;
  m.cols_ = cols;
  m.indptr_ = std::move(indptr);
  m.indices_ = std::move(indices);
  m.data_ = std::move(data);
  return m;
}

}  // namespace vesko
