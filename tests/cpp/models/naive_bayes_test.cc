#include "models/naive_bayes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "csr_rows.h"
#include "fatal_message.h"

namespace vesko {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using testing_rows::matrix;
using testing_rows::Row;

TEST(NaiveBayes, TwoClassesMatchTheShiftedSoftmax) {
  NaiveBayesModel m{
      {{-1.0, -2.0, -3.0}, {-3.0, -2.0, -1.0}}, {std::log(0.4), std::log(0.6)}, {"clean", "spam"}};
  EXPECT_TRUE(m.predict_proba(matrix(3, {})).empty());
  EXPECT_TRUE(NaiveBayesModel{}.predict_proba(matrix(5, {})).empty());
  auto out = m.predict_proba(matrix(3, {{{0, 0.5}, {2, 2.0}}, {{1, 1.0}}}));
  ASSERT_EQ(out.size(), 2u);
  const double s0 = std::log(0.4) + 0.5 * -1.0 + 2.0 * -3.0;
  const double s1 = std::log(0.6) + 0.5 * -3.0 + 2.0 * -1.0;
  const double e0 = std::exp(s0 - s1), e1 = std::exp(0.0);
  EXPECT_EQ(out[0].clean_prob, e0 / (-0.0 + e0 + e1));
  EXPECT_EQ(out[0].spam_prob, e1 / (-0.0 + e0 + e1));
  EXPECT_DOUBLE_EQ(out[1].clean_prob, 0.4);  // equal weights: the priors decide
}

// One row through a model of the given priors and weights: the pair, where
// NaN stands for NaN.
TEST(NaiveBayes, PairsOfOneRow) {
  const double log3 = std::log(3.0);
  const struct {
    const char* name;
    std::vector<double> prior;
    std::vector<std::vector<double>> weights;
    std::vector<std::string> classes;
    Row row;
    double clean, spam;
  } cases[] = {
      // clang-format off
      // An empty row never reads the weights.
      {"empty row: softmax of the priors", {-0.7, -0.7}, {}, {"a", "b"}, {}, 0.5, 0.5},
      {"three classes, the first two returned", {std::log(0.2), std::log(0.3), std::log(0.5)},
       {}, {"a", "b", "c"}, {}, 0.2, 0.3},
      {"large scores do not overflow", {1000.0, 1000.0 + log3}, {}, {"a", "b"}, {}, 0.25, 0.75},
      {"surplus rows and priors ignored", {0.0, 0.0, 100.0}, {{0.0}, {0.0}, {5.0}},
       {"clean", "spam"}, {{0, 1.0}}, 0.5, 0.5},
      // Added left to right from the prior, 1 + 1e16 - 1e16 is 0; summing the
      // products first would give 1, and so a different pair.
      {"scores start at the prior, add in storage order", {1.0, 0.0}, {{1e16, -1e16}, {0.0, 0.0}},
       {"clean", "spam"}, {{0, 1.0}, {1, 1.0}}, 0.5, 0.5},
      {"NaN score: skipped by the max, poisons Z", {kNaN, 0.0}, {{1.0}, {1.0}}, {"a", "b"}, {},
       kNaN, kNaN},
      {"every score -inf", {-kInf, -kInf}, {{1.0}, {1.0}}, {"a", "b"}, {}, kNaN, kNaN},
      {"stored 0.0 times an infinite weight", {0.0, 0.0}, {{kInf}, {1.0}}, {"a", "b"}, {{0, 0.0}},
       kNaN, kNaN},
      // clang-format on
  };
  for (const auto& c : cases) {
    const auto out =
        NaiveBayesModel{c.weights, c.prior, c.classes}.predict_proba(matrix(2, {c.row}));
    ASSERT_EQ(out.size(), 1u) << c.name;
    for (const auto& [got, want] :
         {std::pair{out[0].clean_prob, c.clean}, {out[0].spam_prob, c.spam}}) {
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << c.name;
      } else {
        EXPECT_NEAR(got, want, 1e-12) << c.name;
      }
    }
  }
}

TEST(NaiveBayes, IndexFailuresInTheirOrder) {
  const std::string len1_index1 = "index out of bounds: the len is 1 but the index is 1";
  const struct {
    const char* name;
    NaiveBayesModel model;
    std::vector<Row> rows;
    std::string message;
  } cases[] = {
      // clang-format off
      {"no classes", {{{1.0}}, {0.0}, {}}, {{}},
       "index out of bounds: the len is 0 but the index is 0"},
      {"prior shorter than classes", {{{1.0}, {1.0}}, {0.0}, {"a", "b"}}, {{{0, 1.0}}},
       len1_index1},
      {"fewer weight rows than classes, row with entries", {{{1.0}}, {0.0, 0.0}, {"a", "b"}},
       {{}, {{0, 1.0}}}, len1_index1},
      {"first stored column beyond the weight row, a stored 0.0 included",
       {{{1.0, 1.0}, {1.0, 1.0}}, {0.0, 0.0}, {"a", "b"}}, {{{1, 1.0}, {4, 0.0}, {9, 2.0}}},
       "index out of bounds: the len is 2 but the index is 4"},
      {"column failure of class 0 before the short prior of class 1",
       {{{1.0}, {1.0}}, {0.0}, {"a", "b"}}, {{{3, 1.0}}},
       "index out of bounds: the len is 1 but the index is 3"},
      {"one class fails at the second probability", {{{1.0}}, {0.0}, {"a"}}, {{{0, 1.0}}},
       len1_index1},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fatal_message([&] { c.model.predict_proba(matrix(10, c.rows)); }), c.message)
        << c.name;
  }
}

}  // namespace
}  // namespace vesko
