#include "ensemble/matrix_assembly.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/fatal_error.h"
#include "fatal_message.h"

namespace vesko {
namespace {

TEST(CombineFeatures, AppendsEveryFeatureAfterTheTfidfColumns) {
  CsrMatrix tfidf = CsrMatrix::from_triplets(3, 5, {0, 0, 2}, {4, 1, 0}, {0.5, 0.25, 1.0});
  std::vector<std::vector<double>> custom = {{1.0, 0.0}, {0.0, 0.0}, {-2.0, 3.0}};
  CsrMatrix joined = combine_features(tfidf, custom);
  EXPECT_EQ(joined.rows(), 3u);
  EXPECT_EQ(joined.cols(), 7u);
  EXPECT_EQ(joined.indptr(), (std::vector<std::size_t>{0, 4, 6, 9}));
  EXPECT_EQ(joined.indices(), (CsrMatrix::Indices{1, 4, 5, 6, 5, 6, 0, 5, 6}));
  EXPECT_EQ(joined.data(), (CsrMatrix::Values{0.25, 0.5, 1.0, 0.0, 0.0, 0.0, 1.0, -2.0, 3.0}));
}

TEST(CombineFeatures, EmptyBatchAndShortRows) {
  CsrMatrix empty = CsrMatrix::from_triplets(0, 7, {}, {}, {});
  CsrMatrix joined = combine_features(empty, std::vector<std::vector<double>>{});
  EXPECT_EQ(joined.rows(), 0u);
  EXPECT_EQ(joined.cols(), 7u);
  EXPECT_EQ(joined.nnz(), 0u);

  CsrMatrix two = CsrMatrix::from_triplets(2, 1, {}, {}, {});
  CsrMatrix shorter = combine_features(two, std::vector<std::vector<double>>{{1.0, 2.0}, {3.0}});
  EXPECT_EQ(shorter.cols(), 3u);
  EXPECT_EQ(shorter.indptr(), (std::vector<std::size_t>{0, 2, 3}));
}

TEST(CombineFeatures, Failures) {
  CsrMatrix two = CsrMatrix::from_triplets(2, 1, {}, {}, {});
  EXPECT_EQ(fatal_message([&] { combine_features(two, std::vector<std::vector<double>>{{1.0}}); }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(fatal_message([&] {
              combine_features(two, std::vector<std::vector<double>>{{1.0}, {1.0, 2.0}});
            }),
            "col indices should be within shape");
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
