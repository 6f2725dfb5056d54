#include "common/csr_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/fatal_error.h"

namespace vesko {
namespace {

using Indices = std::vector<std::size_t>;
using Values = std::vector<double>;

TEST(CsrMatrixTest, SortsMergesAndKeepsTheShape) {
  const CsrMatrix m =
      CsrMatrix::from_triplets(4, 5, {2, 0, 2, 0, 2}, {3, 4, 1, 0, 3}, {1.0, 0.0, 2.0, NAN, 0.5});
  EXPECT_EQ(m.rows(), 4u);
  EXPECT_EQ(m.cols(), 5u);
  // Row 1 and the trailing row 3 are empty; stored zero and NaN stay stored.
  EXPECT_EQ(m.indptr(), (Indices{0, 2, 2, 4, 4}));
  EXPECT_EQ(m.indices(), (CsrMatrix::Indices{0, 4, 1, 3}));
  EXPECT_TRUE(std::isnan(m.data()[0]));
  EXPECT_EQ(m.data()[1], 0.0);
  EXPECT_EQ(m.data()[2], 2.0);
  EXPECT_EQ(m.data()[3], 1.5);
  EXPECT_EQ(std::vector<std::size_t>(m.row_indices(2).begin(), m.row_indices(2).end()),
            (Indices{1, 3}));
  EXPECT_TRUE(m.row_values(1).empty());
}

TEST(CsrMatrixTest, EmptyTripletsGiveEmptyRows) {
  const CsrMatrix m = CsrMatrix::from_triplets(3, 0, {}, {}, {});
  EXPECT_EQ(m.indptr(), (Indices{0, 0, 0, 0}));
  EXPECT_EQ(m.nnz(), 0u);
  const CsrMatrix none = CsrMatrix::from_triplets(0, 7, {}, {}, {});
  EXPECT_EQ(none.indptr(), (Indices{0}));
  EXPECT_EQ(none.cols(), 7u);
}

struct FailureCase {
  const char* name;
  Indices rows;
  Indices cols;
  Values values;
  const char* message;
};

class FromTripletsFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FromTripletsFailureTest, ThrowsInCheckOrder) {
  const FailureCase& c = GetParam();
  try {
    CsrMatrix::from_triplets(2, 2, c.rows, c.cols, c.values);
    FAIL() << "no failure";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromTripletsFailureTest,
    testing::Values(
        FailureCase{
            "cols_length", {0, 1}, {0}, {1.0, 1.0}, "all inputs should have the same length"},
        // Lengths come before any bounds.
        FailureCase{"values_length", {5}, {5}, {}, "all inputs should have the same length"},
        FailureCase{"row", {0, 2}, {0, 1}, {1.0, 1.0}, "row indices should be within shape"},
        // Every row is checked before any column, whatever the triplet order.
        FailureCase{
            "row_before_col", {0, 9}, {9, 0}, {1.0, 1.0}, "row indices should be within shape"},
        FailureCase{"col", {0, 1}, {0, 2}, {1.0, 1.0}, "col indices should be within shape"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vesko
