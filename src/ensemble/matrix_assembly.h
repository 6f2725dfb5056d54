// Building the classifiers' input matrices: a base model's TF-IDF columns
// joined with its scaled features, and the meta classifier's dense rows.
#ifndef VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_
#define VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_

#include <span>
#include <vector>

#include "common/csr_matrix.h"

namespace vesko {

// R x (C + K): row r holds the TF-IDF row r, then custom row r at columns
// C to C + K - 1, every value stored (zeros included). K is the length of the
// first custom row (0 without custom rows). Throws FatalError when there are
// fewer custom rows than TF-IDF rows, or "col indices should be within shape"
// when a custom row is longer than the first.
CsrMatrix combine_features(const CsrMatrix& tfidf, std::span<const std::vector<double>> custom_rows);

// N x (length of row 0): the values that are not equal to 0.0 (NaN is
// stored). Throws FatalError "col indices should be within shape" when a row
// has a non-zero value beyond the length of row 0.
CsrMatrix dense_rows_to_csr(std::span<const std::vector<double>> rows);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_
