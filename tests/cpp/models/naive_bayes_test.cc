#include "models/naive_bayes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/fatal_error.h"
#include "fatal_message.h"
#include "csr_rows.h"

namespace vesko {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using testing_rows::matrix;
using testing_rows::Row;

NaiveBayesModel two_class_model() {
  NaiveBayesModel m;
  m.feature_log_prob = {{-1.0, -2.0, -3.0}, {-3.0, -2.0, -1.0}};
  m.class_log_prior = {std::log(0.4), std::log(0.6)};
  m.classes = {"clean", "spam"};
  return m;
}

std::string failure_of(const NaiveBayesModel& m, const CsrMatrix& x) {
  return fatal_message([&] { m.predict_proba(x); });
}

TEST(NaiveBayes, MatrixWithoutRowsYieldsNothingEvenForAnEmptyModel) {
  EXPECT_TRUE(NaiveBayesModel{}.predict_proba(matrix(5, {})).empty());
  EXPECT_TRUE(two_class_model().predict_proba(matrix(3, {})).empty());
}

TEST(NaiveBayes, EmptyRowIsTheSoftmaxOfThePriors) {
  NaiveBayesModel m;
  m.class_log_prior = {-0.7, -0.7};
  m.classes = {"a", "b"};  // no feature_log_prob at all: an empty row never reads it
  auto out = m.predict_proba(matrix(3, {{}}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].clean_prob, 0.5);
  EXPECT_EQ(out[0].spam_prob, 0.5);
}

TEST(NaiveBayes, ScoresStartAtThePriorAndAddInStorageOrder) {
  // Added left to right from the prior, 1 + 1e16 - 1e16 is 0; summing the
  // products first would give 1, and so a different pair.
  NaiveBayesModel m;
  m.feature_log_prob = {{1e16, -1e16}, {0.0, 0.0}};
  m.class_log_prior = {1.0, 0.0};
  m.classes = {"clean", "spam"};
  auto out = m.predict_proba(matrix(2, {{{0, 1.0}, {1, 1.0}}}));
  EXPECT_EQ(out[0].clean_prob, 0.5);
  EXPECT_EQ(out[0].spam_prob, 0.5);
}

TEST(NaiveBayes, TwoClassesMatchTheShiftedSoftmax) {
  auto out = two_class_model().predict_proba(matrix(3, {{{0, 0.5}, {2, 2.0}}, {{1, 1.0}}}));
  ASSERT_EQ(out.size(), 2u);
  const double s0 = std::log(0.4) + 0.5 * -1.0 + 2.0 * -3.0;
  const double s1 = std::log(0.6) + 0.5 * -3.0 + 2.0 * -1.0;
  const double e0 = std::exp(s0 - s1), e1 = std::exp(0.0);
  EXPECT_EQ(out[0].clean_prob, e0 / (-0.0 + e0 + e1));
  EXPECT_EQ(out[0].spam_prob, e1 / (-0.0 + e0 + e1));
  EXPECT_DOUBLE_EQ(out[1].clean_prob, 0.4);  // equal weights: the priors decide
}

TEST(NaiveBayes, ThreeClassesReturnTheFirstTwoProbabilities) {
  NaiveBayesModel m;
  m.class_log_prior = {std::log(0.2), std::log(0.3), std::log(0.5)};
  m.classes = {"a", "b", "c"};
  auto out = m.predict_proba(matrix(1, {{}}));
  EXPECT_DOUBLE_EQ(out[0].clean_prob, 0.2);
  EXPECT_DOUBLE_EQ(out[0].spam_prob, 0.3);
}

TEST(NaiveBayes, LargeScoresDoNotOverflow) {
  NaiveBayesModel m;
  m.class_log_prior = {1000.0, 1000.0 + std::log(3.0)};
  m.classes = {"a", "b"};
  auto out = m.predict_proba(matrix(1, {{}}));
  EXPECT_NEAR(out[0].clean_prob, 0.25, 1e-12);
  EXPECT_NEAR(out[0].spam_prob, 0.75, 1e-12);
}

TEST(NaiveBayes, NonFiniteScoresGiveNaNPairs) {
  struct Case {
    const char* name;
    std::vector<double> prior;
    std::vector<std::vector<double>> weights;
    Row row;
  };
  const std::vector<Case> cases = {
      {"NaN score is skipped by the max but poisons Z", {kNaN, 0.0}, {{1.0}, {1.0}}, {}},
      {"every score -inf", {-kInf, -kInf}, {{1.0}, {1.0}}, {}},
      {"stored 0.0 times an infinite weight", {0.0, 0.0}, {{kInf}, {1.0}}, {{0, 0.0}}},
  };
  for (const Case& c : cases) {
    NaiveBayesModel m;
    m.class_log_prior = c.prior;
    m.feature_log_prob = c.weights;
    m.classes = {"clean", "spam"};
    auto out = m.predict_proba(matrix(1, {c.row}));
    EXPECT_TRUE(std::isnan(out[0].clean_prob)) << c.name;
    EXPECT_TRUE(std::isnan(out[0].spam_prob)) << c.name;
  }
}

TEST(NaiveBayes, IndexFailuresInTheirOrder) {
  struct Case {
    const char* name;
    NaiveBayesModel model;
    std::vector<Row> rows;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no classes",
       {{{1.0}}, {0.0}, {}},
       {{}},
       "index out of bounds: the len is 0 but the index is 0"},
      {"prior shorter than classes",
       {{{1.0}, {1.0}}, {0.0}, {"a", "b"}},
       {{{0, 1.0}}},
       "index out of bounds: the len is 1 but the index is 1"},
      {"fewer weight rows than classes, row with entries",
       {{{1.0}}, {0.0, 0.0}, {"a", "b"}},
       {{}, {{0, 1.0}}},
       "index out of bounds: the len is 1 but the index is 1"},
      {"first stored column beyond the weight row, a stored 0.0 included",
       {{{1.0, 1.0}, {1.0, 1.0}}, {0.0, 0.0}, {"a", "b"}},
       {{{1, 1.0}, {4, 0.0}, {9, 2.0}}},
       "index out of bounds: the len is 2 but the index is 4"},
      {"column failure of class 0 before the short prior of class 1",
       {{{1.0}, {1.0}}, {0.0}, {"a", "b"}},
       {{{3, 1.0}}},
       "index out of bounds: the len is 1 but the index is 3"},
      {"one class fails at the second probability",
       {{{1.0}}, {0.0}, {"a"}},
       {{{0, 1.0}}},
       "index out of bounds: the len is 1 but the index is 1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failure_of(c.model, matrix(10, c.rows)), c.message) << c.name;
  }
}

TEST(NaiveBayes, ShortModelScoresEmptyRowsAndSurplusIsIgnored) {
  // Two classes scored although the model carries three rows and priors.
  NaiveBayesModel m;
  m.feature_log_prob = {{0.0}, {0.0}, {5.0}};
  m.class_log_prior = {0.0, 0.0, 100.0};
  m.classes = {"clean", "spam"};
  auto out = m.predict_proba(matrix(1, {{{0, 1.0}}}));
  EXPECT_EQ(out[0].clean_prob, 0.5);
  EXPECT_EQ(out[0].spam_prob, 0.5);
}

}  // namespace
}  // namespace vesko
