#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "csr_rows.h"
#include "fatal_message.h"
#include "models/logistic.h"
#include "models/svm.h"

namespace vesko {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const char* const kLen0Index0 = "index out of bounds: the len is 0 but the index is 0";

using testing_rows::matrix;
using testing_rows::Row;

template <typename Model>
std::string failure_of(const Model& m, const CsrMatrix& x) {
  return fatal_message([&] { m.predict_proba(x); });
}

double sigmoid(double s) { return 1.0 / (1.0 + std::exp(-s)); }

// The dense form column by column, as the model was trained; the classifier
// takes shortcuts that must not change a single bit of its pairs.
std::vector<ProbabilityPair> dense_reference(const LogisticRegressionModel& m, const CsrMatrix& x) {
  std::vector<ProbabilityPair> out;
  for (std::size_t r = 0; r < x.rows(); ++r) {
    std::vector<double> d(x.cols(), 0.0);
    for (std::size_t e = 0; e < x.row_indices(r).size(); ++e) {
      d[x.row_indices(r)[e]] = x.row_values(r)[e];
    }
    if (m.scaler_scale) {
      for (std::size_t j = 0; j < d.size(); ++j) {
        if (j < m.scaler_mean->size() && j < m.scaler_scale->size()) {
          d[j] = (d[j] - (*m.scaler_mean)[j]) / (*m.scaler_scale)[j];
        }
      }
    }
    auto score = [&](std::size_t c) {
      double s = m.intercept[c];
      for (std::size_t j = 0; j < d.size(); ++j) {
        if (j < m.coef[c].size()) s = s + d[j] * m.coef[c][j];
      }
      return s;
    };
    if (m.coef.size() == 1) {
      const double spam = sigmoid(score(0));
      out.push_back({1.0 - spam, spam});
      continue;
    }
    std::vector<double> s(m.classes.size());
    double mx = -kInf, z = -0.0;
    for (std::size_t c = 0; c < s.size(); ++c) {
      s[c] = score(c);
      if (s[c] > mx) mx = s[c];
    }
    for (double v : s) z = z + std::exp(v - mx);
    out.push_back({std::exp(s[0] - mx) / z, std::exp(s[1] - mx) / z});
  }
  return out;
}

using testing_rows::same_bits;

TEST(Linear, SigmoidFormForExactlyOneCoefficientRow) {
  LogisticRegressionModel dense;
  dense.scaler_mean = std::vector<double>{};
  for (const LogisticRegressionModel& m : {LogisticRegressionModel{}, dense}) {
    EXPECT_TRUE(m.predict_proba(matrix(3, {})).empty());
  }
  EXPECT_TRUE(LinearSVMModel{}.predict_proba(matrix(3, {})).empty());

  LogisticRegressionModel lr;
  lr.coef = {{2.0, -1.0}};
  lr.intercept = {0.0, 99.0};  // only the first intercept counts
  // `classes` left empty: the sigmoid form never reads it.
  auto out = lr.predict_proba(matrix(2, {{}, {{0, 1.5}, {1, 0.5}}}));
  EXPECT_EQ(out[0].clean_prob, 0.5);
  EXPECT_EQ(out[0].spam_prob, 0.5);
  const double spam = sigmoid(0.0 + 1.5 * 2.0 + 0.5 * -1.0);
  EXPECT_EQ(out[1].spam_prob, spam);
  EXPECT_EQ(out[1].clean_prob, 1.0 - spam);
  LinearSVMModel svm{{{2.0, -1.0}}, {0.0}, {}};
  EXPECT_EQ(svm.predict_proba(matrix(2, {{{0, 1.5}, {1, 0.5}}}))[0].spam_prob, spam);
}

TEST(Linear, SoftmaxFormOverTheClassCount) {
  // Three classes, two returned; the fourth intercept is surplus.
  LinearSVMModel svm{{{1.0}, {2.0}, {3.0}}, {0.0, 0.0, 0.0, 50.0}, {"a", "b", "c"}};
  auto out = svm.predict_proba(matrix(1, {{{0, 1.0}}}));
  const double z = -0.0 + std::exp(-2.0) + std::exp(-1.0) + std::exp(0.0);
  EXPECT_EQ(out[0].clean_prob, std::exp(-2.0) / z);
  EXPECT_EQ(out[0].spam_prob, std::exp(-1.0) / z);

  // No coefficient rows: intercepts alone on empty rows.
  LogisticRegressionModel lr;
  lr.intercept = {0.0, std::log(3.0)};
  lr.classes = {"clean", "spam"};
  out = lr.predict_proba(matrix(4, {{}}));
  EXPECT_DOUBLE_EQ(out[0].clean_prob, 0.25);
  EXPECT_DOUBLE_EQ(out[0].spam_prob, 0.75);
  // Classes beyond the coefficient rows: fine while a row stores nothing.
  LinearSVMModel short_rows{{{1.0}, {1.0}}, {0.0, 0.0, 0.0}, {"a", "b", "c"}};
  EXPECT_DOUBLE_EQ(short_rows.predict_proba(matrix(1, {{}}))[0].clean_prob, 1.0 / 3.0);
  EXPECT_EQ(failure_of(short_rows, matrix(1, {{{0, 1.0}}})),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(Linear, IndexFailures) {
  const std::vector<double> mean5(5, 0.0), empty;
  const std::string len1_index1 = "index out of bounds: the len is 1 but the index is 1";
  const struct {
    const char* name;
    LogisticRegressionModel model;
    std::vector<Row> rows;
    std::string message;
  } cases[] = {
      // clang-format off
      {"sigmoid without intercept", {{{1.0}}, {}, {}, {}, {}}, {{}}, kLen0Index0},
      {"sigmoid, sparse column beyond coef[0]", {{{1.0, 1.0}}, {0.0}, {}, {}, {}},
       {{{1, 1.0}, {3, 1.0}, {4, 1.0}}}, "index out of bounds: the len is 2 but the index is 3"},
      {"softmax without classes", {{}, {0.0}, {}, {}, {}}, {{}}, kLen0Index0},
      {"softmax, intercept shorter than classes", {{{1.0}, {1.0}}, {0.0}, {"a", "b"}, {}, {}},
       {{}}, len1_index1},
      {"softmax, one class fails at the second probability", {{}, {0.0}, {"a"}, {}, {}}, {{}},
       len1_index1},
      {"softmax, sparse column beyond coef[1]",
       {{{1.0, 1.0}, {1.0}}, {0.0, 0.0}, {"a", "b"}, {}, {}}, {{{1, 1.0}}}, len1_index1},
      {"failure on the second row only", {{{1.0}}, {0.0}, {}, {}, {}}, {{{0, 1.0}}, {{1, 1.0}}},
       len1_index1},
      // With a scaler_mean the form is dense, and short coefficient rows are no failure.
      {"dense, short coefficient row", {{{1.0}}, {0.0}, {}, mean5, {}}, {{{3, 1.0}}}, "no failure"},
      {"dense, stored column not below k, before the missing intercept",
       {{{1.0}}, {}, {}, mean5, {}}, {{{2, 1.0}, {7, 1.0}}},
       "index out of bounds: the len is 5 but the index is 7"},
      {"dense softmax, coefficient rows run out", {{}, {0.0, 0.0}, {"a", "b"}, mean5, {}}, {{}},
       kLen0Index0},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failure_of(c.model, matrix(5, c.rows)), c.message) << c.name;
  }
  EXPECT_EQ(failure_of(LinearSVMModel{{{1.0}}, {}, {}}, matrix(1, {{}})), kLen0Index0);
  // With no columns at all, nothing is read from the coefficient rows.
  EXPECT_EQ(
      failure_of(LogisticRegressionModel{{}, {0.0, 0.0}, {"a", "b"}, empty, {}}, matrix(0, {{}})),
      "no failure");
}

TEST(Linear, DenseFormMatchesColumnByColumnScoring) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-2.0, 2.0);
  auto value = [&]() {
    const int pick = static_cast<int>(rng() % 40);
    if (pick == 0) return kNaN;
    if (pick == 1) return kInf;
    if (pick == 2) return 0.0;
    if (pick == 3) return -0.0;
    return unit(rng);
  };
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t k = rng() % 40;
    const std::size_t n_coef = (trial % 3 == 0) ? 1 : 2 + rng() % 2;
    LogisticRegressionModel lr;
    lr.classes.assign(n_coef == 1 ? 0 : 2 + rng() % 2, "c");
    for (std::size_t c = 0; c < n_coef; ++c) {
      lr.coef.emplace_back(rng() % (k + 5));
      for (double& w : lr.coef.back()) w = value();
      lr.intercept.push_back(unit(rng));
    }
    if (n_coef > 1) lr.classes.resize(std::min(lr.classes.size(), n_coef));
    lr.scaler_mean.emplace(rng() % (k + 3));
    for (double& v : *lr.scaler_mean) v = unit(rng);
    if (trial % 4 != 0) {
      lr.scaler_scale.emplace(rng() % (k + 3));
      for (double& v : *lr.scaler_scale) v = unit(rng);
    }
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
      EXPECT_TRUE(same_bits(got[r].clean_prob, want[r].clean_prob)) << trial << " row " << r;
      EXPECT_TRUE(same_bits(got[r].spam_prob, want[r].spam_prob)) << trial << " row " << r;
    }
  }
}

}  // namespace
}  // namespace vesko
