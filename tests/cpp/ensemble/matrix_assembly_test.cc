#include "ensemble/matrix_assembly.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "common/fatal_error.h"
#include "csr_rows.h"
#include "fatal_message.h"

namespace vesko {
namespace {

auto parts(const CsrMatrix& m) {
  return std::make_tuple(m.rows(), m.cols(), m.indptr(), m.indices(), m.data());
}

// Every feature is stored after the TF-IDF columns, zeros included.
TEST(CombineFeatures, AppendsEveryFeatureAfterTheTfidfColumns) {
  constexpr std::size_t k = kCustomFeatureCount;
  std::vector<testing_rows::Row> rows = {{{1, 0.25}, {4, 0.5}}, {}, {{0, 1.0}}};
  std::vector<double> custom(3 * k);
  for (std::size_t i = 0; i < custom.size(); ++i)
    custom[i] = i % 4 ? 0.5 - static_cast<double>(i) : 0.0;
  const CsrMatrix joined = combine_features(testing_rows::matrix(5, rows), custom);
  for (std::size_t i = 0; i < custom.size(); ++i) rows[i / k].emplace_back(5 + i % k, custom[i]);
  EXPECT_EQ(parts(joined), parts(testing_rows::matrix(5 + k, rows)));

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
