// Building the classifiers' input matrices: a base model's TF-IDF columns
// joined with its scaled features, and the meta classifier's dense rows.
#ifndef VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_
#define VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_

#include <cstddef>
#include <span>
#include <vector>

#include "common/csr_matrix.h"
#include "features/custom_features.h"

namespace vesko {

// R x (C + K), K = kCustomFeatureCount: row r holds the TF-IDF row r, then
// custom[r * K, (r + 1) * K) at columns C to C + K - 1, every value stored
// (zeros included), so each row stays in ascending column order. `custom`
// holds R rows, row-major; throws FatalError (index out of bounds) when it
// holds fewer.
CsrMatrix combine_features(const CsrMatrix& tfidf, std::span<const double> custom);

// N x (length of row 0): the values that are not equal to 0.0 (NaN is
// stored). Throws FatalError "col indices should be within shape" when a row
// has a non-zero value beyond the length of row 0.
CsrMatrix dense_rows_to_csr(std::span<const std::vector<double>> rows);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_MATRIX_ASSEMBLY_H_
