#include "ensemble/matrix_assembly.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/fatal_error.h"
#include "csr_rows.h"
#include "fatal_message.h"

namespace vesko {
namespace {

// Every feature is stored after the TF-IDF columns, zeros included.
TEST(CombineFeatures, AppendsEveryFeatureAfterTheTfidfColumns) {
  constexpr std::size_t k = kCustomFeatureCount;
  CsrMatrix tfidf = testing_rows::matrix(5, {{{1, 0.25}, {4, 0.5}}, {}, {{0, 1.0}}});
  std::vector<double> custom(3 * k, 0.0);
  custom[0] = 1.0;
  custom[2 * k + k - 1] = -2.0;
  CsrMatrix joined = combine_features(tfidf, custom);
  EXPECT_EQ(joined.rows(), 3u);
  EXPECT_EQ(joined.cols(), 5 + k);
  EXPECT_EQ(joined.indptr(), (std::vector<std::size_t>{0, 2 + k, 2 + 2 * k, 3 + 3 * k}));
  EXPECT_EQ(joined.indices()[0], 1u);
  EXPECT_EQ(joined.indices()[2], 5u);
  EXPECT_EQ(joined.data()[2], 1.0);
  EXPECT_EQ(joined.indices()[2 + 2 * k], 0u);
  EXPECT_EQ(joined.indices().back(), 5 + k - 1);
  EXPECT_EQ(joined.data().back(), -2.0);

  CsrMatrix empty = combine_features(testing_rows::matrix(7, {}), {});
  EXPECT_EQ(empty.rows(), 0u);
  EXPECT_EQ(empty.cols(), 7 + k);
  EXPECT_EQ(empty.nnz(), 0u);

  std::vector<double> one_row(k, 1.0);
  EXPECT_EQ(fatal_message([&] {
              combine_features(testing_rows::matrix(1, {{}, {}}), one_row);
            }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(DenseRowsToCsr, LeavesOutZerosKeepsNan) {
  std::vector<std::vector<double>> rows = {{0.0, 0.5, -0.0, NAN}};
  CsrMatrix m = dense_rows_to_csr(rows);
  EXPECT_EQ(m.cols(), 4u);
  EXPECT_EQ(m.indices(), (CsrMatrix::Indices{1, 3}));
  EXPECT_EQ(m.data()[0], 0.5);
  EXPECT_TRUE(std::isnan(m.data()[1]));

  CsrMatrix none = dense_rows_to_csr(std::vector<std::vector<double>>{});
  EXPECT_EQ(none.rows(), 0u);
  EXPECT_EQ(none.cols(), 0u);

  EXPECT_EQ(dense_rows_to_csr(std::vector<std::vector<double>>{{1.0}, {2.0, 0.0}}).nnz(), 2u);
  EXPECT_EQ(fatal_message([] {
              dense_rows_to_csr(std::vector<std::vector<double>>{{1.0}, {0.0, 2.0}});
            }),
            "col indices should be within shape");
}

}  // namespace
}  // namespace vesko
