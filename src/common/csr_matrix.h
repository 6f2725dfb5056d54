// CsrMatrix: a sparse matrix of doubles in compressed sparse row form, one row
// per e-mail. Invariants, established by the builders and relied on by every
// classifier: indptr has rows + 1 non-decreasing offsets starting at 0 and
// ending at the number of stored entries; every column index is below cols;
// within a row the columns strictly ascend; stored values are kept whatever
// they are (0.0 and NaN included). Immutable once built.
#ifndef VESKO_COMMON_CSR_MATRIX_H_
#define VESKO_COMMON_CSR_MATRIX_H_

#include <cstddef>
#include <span>
#include <vector>

#include "common/default_init_allocator.h"

namespace vesko {

class CsrMatrix {
 public:
  // The entry arrays. Sizing them leaves the elements unset, so a builder
  // can size them on one thread and fill them on many, every element being
  // written exactly once.
  using Indices = std::vector<std::size_t, DefaultInitAllocator<std::size_t>>;
  using Values = std::vector<double, DefaultInitAllocator<double>>;

  CsrMatrix() : indptr_{0} {}

  // Takes over arrays that already satisfy the invariants above; every
  // builder (the vectorizer, the joins) establishes them as it goes, row by
  // row. Not checked here.
  static CsrMatrix from_sorted_parts(std::size_t rows, std::size_t cols,
                                     std::vector<std::size_t> indptr, Indices indices, Values data);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t nnz() const { return data_.size(); }

  const std::vector<std::size_t>& indptr() const { return indptr_; }
  const Indices& indices() const { return indices_; }
  const Values& data() const { return data_; }

  // The stored entries of row r, in storage (ascending column) order.
  std::span<const std::size_t> row_indices(std::size_t r) const {
    return {indices_.data() + indptr_[r], indptr_[r + 1] - indptr_[r]};
  }
  std::span<const double> row_values(std::size_t r) const {
    return {data_.data() + indptr_[r], indptr_[r + 1] - indptr_[r]};
  }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<std::size_t> indptr_;
  Indices indices_;
  Values data_;
};

}  // namespace vesko

#endif  // VESKO_COMMON_CSR_MATRIX_H_
