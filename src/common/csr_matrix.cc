#include "common/csr_matrix.h"

#include <utility>

namespace vesko {

CsrMatrix CsrMatrix::from_sorted_parts(std::size_t rows, std::size_t cols,
                                       std::vector<std::size_t> indptr, Indices indices,
                                       Values data) {
  CsrMatrix m;
  m.rows_ = rows;
  m.cols_ = cols;
  m.indptr_ = std::move(indptr);
  m.indices_ = std::move(indices);
  m.data_ = std::move(data);
  return m;
}

}  // namespace vesko
