// Naive Bayes, logistic regression and linear SVM: one sparse softmax and one
// sigmoid serve all three, and the logistic regression with its own scaler
// scores every column densely.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "csr_rows.h"
#include "fatal_message.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/softmax.h"
#include "models/svm.h"

namespace vesko {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using testing_rows::matrix;
using testing_rows::Row;
using testing_rows::same_bits;
using Names = std::vector<std::string>;
const Names kAB = {"a", "b"}, kABC = {"a", "b", "c"};

double sigmoid(double s) { return 1.0 / (1.0 + std::exp(-s)); }

std::string oob(int len, int index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

TEST(Forms, SoftmaxAndSigmoidBitForBit) {
  NaiveBayesModel m{
      {{-1.0, -2.0, -3.0}, {-3.0, -2.0, -1.0}}, {std::log(0.4), std::log(0.6)}, {"clean", "spam"}};
  auto out = m.predict_proba(matrix(3, {{{0, 0.5}, {2, 2.0}}, {{1, 1.0}}}));
  ASSERT_EQ(out.size(), 2u);
  const double s0 = std::log(0.4) + 0.5 * -1.0 + 2.0 * -3.0;
  const double s1 = std::log(0.6) + 0.5 * -3.0 + 2.0 * -1.0;
  const double e0 = std::exp(s0 - s1), e1 = std::exp(0.0);
  EXPECT_EQ(out[0].clean_prob, e0 / (-0.0 + e0 + e1));
  EXPECT_EQ(out[0].spam_prob, e1 / (-0.0 + e0 + e1));
  EXPECT_DOUBLE_EQ(out[1].clean_prob, 0.4);  // equal weights: the priors decide

  // The linear SVM and the logistic regression take the same softmax over
  // their class count when they have other than one coefficient row,
  LinearSVMModel svm{{{1.0}, {2.0}, {3.0}}, {0.0, 0.0, 0.0, 50.0}, kABC};
  const double z = -0.0 + std::exp(-2.0) + std::exp(-1.0) + std::exp(0.0);
  EXPECT_EQ(svm.predict_proba(matrix(1, {{{0, 1.0}}}))[0].clean_prob, std::exp(-2.0) / z);
  LogisticRegressionModel lr{{}, {0.0, std::log(3.0)}, kAB, {}, {}};
  EXPECT_DOUBLE_EQ(lr.predict_proba(matrix(4, {{}}))[0].spam_prob, 0.75);
  // and the sigmoid of the first intercept and row when they have one.
  lr = {{{2.0, -1.0}}, {0.0, 99.0}, {}, {}, {}};
  out = lr.predict_proba(matrix(2, {{}, {{0, 1.5}, {1, 0.5}}}));
  EXPECT_TRUE(out[0].clean_prob == 0.5 && out[0].spam_prob == 0.5);
  const double spam = sigmoid(0.0 + 1.5 * 2.0 + 0.5 * -1.0);
  EXPECT_TRUE(out[1].spam_prob == spam && out[1].clean_prob == 1.0 - spam);
  svm = {{{2.0, -1.0}}, {0.0}, {}};
  EXPECT_EQ(svm.predict_proba(matrix(2, {{{0, 1.5}, {1, 0.5}}}))[0].spam_prob, spam);
}

// One row through a naive Bayes model of the given priors, weights and
// classes: the pair, NaN standing for NaN.
TEST(Softmax, PairsOfOneRow) {
  const double log2 = std::log(0.2), log3 = std::log(0.3), log5 = std::log(0.5);
  const struct {
    const char* name;
    std::vector<double> prior;
    std::vector<std::vector<double>> weights;
    Names classes;
    Row row;
    double clean, spam;
  } cases[] = {
      // clang-format off
      // An empty row never reads the weights.
      {"empty row: softmax of the priors", {-0.7, -0.7}, {}, kAB, {}, 0.5, 0.5},
      {"three classes, the first two returned", {log2, log3, log5}, {}, kABC, {}, 0.2, 0.3},
      {"large scores do not overflow", {1000.0, 1000.0 + std::log(3.0)}, {}, kAB, {}, 0.25, 0.75},
      {"surplus rows and priors ignored", {0, 0, 100}, {{0}, {0}, {5}}, kAB, {{0, 1.0}}, 0.5, 0.5},
      // Added left to right from the prior, 1 + 1e16 - 1e16 is 0; summing the
      // products first would give 1, and so a different pair.
      {"added in storage order", {1, 0}, {{1e16, -1e16}, {0, 0}}, kAB, {{0, 1}, {1, 1}}, 0.5, 0.5},
      {"NaN score: skipped by the max, poisons Z", {kNaN, 0}, {{1}, {1}}, kAB, {}, kNaN, kNaN},
      {"every score -inf", {-kInf, -kInf}, {{1}, {1}}, kAB, {}, kNaN, kNaN},
      {"stored 0.0 times an infinite weight", {0, 0}, {{kInf}, {1}}, kAB, {{0, 0.0}}, kNaN, kNaN},
      // clang-format on
  };
  for (const auto& c : cases) {
    const auto out =
        NaiveBayesModel{c.weights, c.prior, c.classes}.predict_proba(matrix(2, {c.row}));
    ASSERT_EQ(out.size(), 1u) << c.name;
    for (const auto& [got, want] :
         {std::pair{out[0].clean_prob, c.clean}, {out[0].spam_prob, c.spam}}) {
      EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : std::abs(got - want) < 1e-12) << c.name;
    }
  }
}

TEST(Softmax, IndexFailuresInTheirOrder) {
  const struct {
    const char* name;
    NaiveBayesModel model;
    std::vector<Row> rows;
    std::string message;
  } cases[] = {
      // clang-format off
      {"no classes", {{{1}}, {0}, {}}, {{}}, oob(0, 0)},
      {"prior shorter than classes", {{{1}, {1}}, {0}, kAB}, {{{0, 1.0}}}, oob(1, 1)},
      {"prior shorter, empty row", {{{1}, {1}}, {0}, kAB}, {{}}, oob(1, 1)},
      {"fewer weight rows than classes", {{{1}}, {0, 0}, kAB}, {{}, {{0, 1.0}}}, oob(1, 1)},
      {"first column beyond the weight row, a stored 0.0 included", {{{1, 1}, {1, 1}}, {0, 0}, kAB},
       {{{1, 1.0}, {4, 0.0}, {9, 2.0}}}, oob(2, 4)},
      {"class 0's column, then class 1's prior", {{{1}, {1}}, {0}, kAB}, {{{3, 1.0}}}, oob(1, 3)},
      {"column beyond class 1's weight row", {{{1, 1}, {1}}, {0, 0}, kAB}, {{{1, 1.0}}}, oob(1, 1)},
      {"one class: the second probability", {{{1}}, {0}, {"a"}}, {{{0, 1.0}}}, oob(1, 1)},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fatal_message([&] { c.model.predict_proba(matrix(10, c.rows)); }), c.message)
        << c.name;
  }
}

// Logistic-regression failures, sparse and dense: with a scaler_mean every
// column is scored, and short coefficient rows are no failure.
TEST(Linear, IndexFailures) {
  const std::vector<double> mean5(5, 0.0);
  const struct {
    const char* name;
    LogisticRegressionModel model;
    std::vector<Row> rows;
    std::string message;
  } cases[] = {
      // clang-format off
      {"sigmoid without intercept", {{{1}}, {}, {}, {}, {}}, {{}}, oob(0, 0)},
      {"sigmoid, column past coef[0]", {{{1, 1}}, {0}, {}, {}, {}}, {{{1, 1}, {3, 1}}}, oob(2, 3)},
      {"on the second row only", {{{1}}, {0}, {}, {}, {}}, {{{0, 1.0}}, {{1, 1.0}}}, oob(1, 1)},
      {"dense, short coefficient row", {{{1}}, {0}, {}, mean5, {}}, {{{3, 1.0}}}, "no failure"},
      {"dense, stored column not below k, before the missing intercept", {{{1}}, {}, {}, mean5, {}},
       {{{2, 1.0}, {7, 1.0}}}, oob(5, 7)},
      {"dense softmax, coefficient rows run out", {{}, {0, 0}, kAB, mean5, {}}, {{}}, oob(0, 0)},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fatal_message([&] { c.model.predict_proba(matrix(5, c.rows)); }), c.message)
        << c.name;
  }
  // With no columns at all, nothing is read from the coefficient rows.
  const LogisticRegressionModel no_rows{{}, {0.0, 0.0}, kAB, std::vector<double>{}, {}};
  EXPECT_EQ(fatal_message([&] { no_rows.predict_proba(matrix(0, {{}})); }), "no failure");
}

// The dense form's scores column by column, as the model was trained; the
// classifier takes shortcuts that must not change a single bit of its pairs.
std::vector<ProbabilityPair> dense_reference(const LogisticRegressionModel& m, const CsrMatrix& x) {
  std::vector<ProbabilityPair> out;
  for (std::size_t r = 0; r < x.rows(); ++r) {
    std::vector<double> d(x.cols(), 0.0);
    for (std::size_t e = 0; e < x.row_indices(r).size(); ++e) {
      d[x.row_indices(r)[e]] = x.row_values(r)[e];
    }
    for (std::size_t j = 0; m.scaler_scale && j < d.size(); ++j) {
      if (j < m.scaler_mean->size() && j < m.scaler_scale->size()) {
        d[j] = (d[j] - (*m.scaler_mean)[j]) / (*m.scaler_scale)[j];
      }
    }
    std::vector<double> s(m.coef.size() == 1 ? 1 : m.classes.size()), exps(s.size());
    for (std::size_t c = 0; c < s.size(); ++c) {
      s[c] = m.intercept[c];
      for (std::size_t j = 0; j < d.size() && j < m.coef[c].size(); ++j) {
        s[c] = s[c] + d[j] * m.coef[c][j];
      }
    }
    // The softmax and the sigmoid themselves are pinned by the tests above.
    out.push_back(s.size() == 1 ? sigmoid_pair(s[0]) : softmax_first_two(s, exps));
  }
  return out;
}

TEST(Linear, DenseFormMatchesColumnByColumnScoring) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-2.0, 2.0);
  auto value = [&]() {
    const int pick = static_cast<int>(rng() % 40);
    return pick == 0 ? kNaN : pick == 1 ? kInf : pick == 2 ? 0.0 : pick == 3 ? -0.0 : unit(rng);
  };
  auto values = [&](std::size_t n, auto draw) {
    std::vector<double> v(n);
    for (double& x : v) x = draw();
    return v;
  };
  auto uniform = [&] { return unit(rng); };
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t k = rng() % 40;
    const std::size_t n_coef = (trial % 3 == 0) ? 1 : 2 + rng() % 2;
    LogisticRegressionModel lr;
    lr.classes.assign(n_coef == 1 ? 0 : std::min<std::size_t>(2 + rng() % 2, n_coef), "c");
    for (std::size_t c = 0; c < n_coef; ++c) {
      lr.coef.push_back(values(rng() % (k + 5), value));
      lr.intercept.push_back(unit(rng));
    }
    lr.scaler_mean = values(rng() % (k + 3), uniform);
    if (trial % 4 != 0) lr.scaler_scale = values(rng() % (k + 3), uniform);
    std::vector<Row> rows(5);
    for (Row& row : rows) {
      for (std::size_t j = 0; j < k; ++j) {
        if (rng() % 3 == 0) row.emplace_back(j, value());
      }
    }
    const CsrMatrix x = matrix(k, rows);
    const auto got = lr.predict_proba(x);
    const auto want = dense_reference(lr, x);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < got.size(); ++r) {
      EXPECT_TRUE(same_bits(got[r].clean_prob, want[r].clean_prob) &&
                  same_bits(got[r].spam_prob, want[r].spam_prob))
          << trial << " row " << r;
    }
  }
}

}  // namespace
}  // namespace vesko
