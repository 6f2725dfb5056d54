// Test helpers: small CSR matrices written row by row, and bitwise equality
// of doubles for results that must not move by a single bit.
#ifndef VESKO_TESTS_CSR_ROWS_H_
#define VESKO_TESTS_CSR_ROWS_H_

#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "common/csr_matrix.h"

namespace vesko::testing_rows {

using Row = std::vector<std::pair<std::size_t, double>>;

// Stores exactly the given entries (zeros and NaN included) in the given
// order; columns are not checked against `cols`, so tests can also build the
// matrices that the classifiers must refuse.
inline CsrMatrix matrix(std::size_t cols, const std::vector<Row>& rows) {
  std::vector<std::size_t> indptr = {0};
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  for (const Row& row : rows) {
    for (const auto& [j, v] : row) {
      indices.push_back(j);
      data.push_back(v);
    }
    indptr.push_back(indices.size());
  }
  return CsrMatrix::from_sorted_parts(rows.size(), cols, indptr, indices, data);
}

// Equal bit patterns, any two NaNs counting as equal.
inline bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace vesko::testing_rows

#endif  // VESKO_TESTS_CSR_ROWS_H_
