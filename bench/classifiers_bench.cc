// Rows per second of the four base classifiers and the meta classifier on
// joined matrices shaped like the ensemble's: about 5,000 TF-IDF columns with
// 100 to 300 stored entries per row, then 29 dense feature columns.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/packed_forest.h"
#include "models/svm.h"
#include "models/xgboost.h"

namespace vesko {
namespace {

constexpr std::size_t kTermColumns = 5000;
constexpr std::size_t kFeatureColumns = 29;
constexpr std::size_t kColumns = kTermColumns + kFeatureColumns;
constexpr std::size_t kRows = 1000;

// L2-normalised TF-IDF-like rows over Zipf-ish term columns, then 29 scaled
// feature values (a few of them exactly zero, and so not stored).
CsrMatrix joined_matrix(std::size_t rows, std::mt19937_64& rng) {
  std::vector<std::size_t> indptr = {0};
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  std::uniform_int_distribution<std::size_t> terms(100, 300);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> scaled(0.0, 1.0);
  std::vector<double> row(kTermColumns);
  for (std::size_t r = 0; r < rows; ++r) {
    std::fill(row.begin(), row.end(), 0.0);
    const std::size_t count = terms(rng);
    for (std::size_t t = 0; t < count; ++t) {
      const auto j = static_cast<std::size_t>(std::pow(unit(rng), 2.0) * kTermColumns);
      row[std::min(j, kTermColumns - 1)] += 1.0 + unit(rng);
    }
    double norm = 0.0;
    for (double v : row) norm += v * v;
    norm = std::sqrt(norm);
    for (std::size_t j = 0; j < kTermColumns; ++j) {
      if (row[j] != 0.0) {
        indices.push_back(j);
        data.push_back(row[j] / norm);
      }
    }
    for (std::size_t f = 0; f < kFeatureColumns; ++f) {
      if (unit(rng) < 0.2) continue;
      indices.push_back(kTermColumns + f);
      data.push_back(scaled(rng));
    }
    indptr.push_back(indices.size());
  }
  return CsrMatrix::from_sorted_parts(rows, kColumns, indptr, indices, data);
}

std::vector<double> weights(std::size_t n, double mean, double spread, std::mt19937_64& rng) {
  std::normal_distribution<double> dist(mean, spread);
  std::vector<double> out(n);
  for (double& w : out) w = dist(rng);
  return out;
}

const CsrMatrix& shared_matrix() {
  static const CsrMatrix m = [] {
    std::mt19937_64 rng(1);
    return joined_matrix(kRows, rng);
  }();
  return m;
}

template <typename Model>
void run(benchmark::State& state, const Model& model, const CsrMatrix& x) {
  for (auto _ : state) benchmark::DoNotOptimize(model.predict_proba(x));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * x.rows()));
}

void BM_NaiveBayes(benchmark::State& state) {
  std::mt19937_64 rng(2);
  NaiveBayesModel m;
  m.feature_log_prob = {weights(kColumns, -9.0, 2.0, rng), weights(kColumns, -9.0, 2.0, rng)};
  m.class_log_prior = {std::log(0.6), std::log(0.4)};
  m.classes = {"clean", "spam"};
  run(state, m, shared_matrix());
}
BENCHMARK(BM_NaiveBayes);

void BM_LogisticSparse(benchmark::State& state) {
  std::mt19937_64 rng(3);
  LogisticRegressionModel m;
  m.coef = {weights(kColumns, 0.0, 1.0, rng)};
  m.intercept = {-0.3};
  m.classes = {"clean", "spam"};
  run(state, m, shared_matrix());
}
BENCHMARK(BM_LogisticSparse);

// Own scaler over the 29 feature columns only (the dense form's common case)
// or over every column (every column standardised: the dense form's worst case).
void BM_LogisticDense(benchmark::State& state) {
  std::mt19937_64 rng(4);
  const auto scaled = static_cast<std::size_t>(state.range(0));
  LogisticRegressionModel m;
  m.coef = {weights(kColumns, 0.0, 1.0, rng)};
  m.intercept = {-0.3};
  m.classes = {"clean", "spam"};
  m.scaler_mean = weights(scaled, 0.1, 0.05, rng);
  m.scaler_scale = weights(scaled, 1.0, 0.1, rng);
  run(state, m, shared_matrix());
}
BENCHMARK(BM_LogisticDense)->Arg(kFeatureColumns)->Arg(kColumns);

void BM_MetaClassifier(benchmark::State& state) {
  std::mt19937_64 rng(5);
  constexpr std::size_t kMeta = 37;
  std::vector<std::size_t> indptr = {0};
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t j = 0; j < kMeta; ++j) {
      if (j >= 8 && unit(rng) < 0.3) continue;
      indices.push_back(j);
      data.push_back(unit(rng) * (j < 8 ? 1.0 : 50.0));
    }
    indptr.push_back(indices.size());
  }
  const CsrMatrix x = CsrMatrix::from_sorted_parts(kRows, kMeta, indptr, indices, data);
  LogisticRegressionModel m;
  m.coef = {weights(kMeta, 0.0, 1.0, rng)};
  m.intercept = {0.1};
  m.classes = {"clean", "spam"};
  m.scaler_mean = weights(kMeta, 5.0, 1.0, rng);
  m.scaler_scale = weights(kMeta, 3.0, 0.5, rng);
  run(state, m, x);
}
BENCHMARK(BM_MetaClassifier);

void BM_LinearSVM(benchmark::State& state) {
  std::mt19937_64 rng(6);
  LinearSVMModel m;
  m.coef = {weights(kColumns, 0.0, 0.5, rng)};
  m.intercept = {0.2};
  m.classes = {"clean", "spam"};
  run(state, m, shared_matrix());
}
BENCHMARK(BM_LinearSVM);

// A complete tree of the given depth whose splits favour the frequent term
// columns and the feature columns, as trained trees do.
TreeNode build_tree(std::size_t depth, std::size_t& next_id, std::mt19937_64& rng) {
  TreeNode node;
  node.nodeid = next_id++;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (depth == 0) {
    node.leaf = unit(rng) - 0.5;
    return node;
  }
  const bool feature = unit(rng) < 0.4;
  const std::size_t column =
      feature ? kTermColumns + static_cast<std::size_t>(unit(rng) * kFeatureColumns)
              : static_cast<std::size_t>(std::pow(unit(rng), 3.0) * kTermColumns);
  node.split = std::string("f").append(std::to_string(column));
  node.split_condition = feature ? unit(rng) - 0.5 : unit(rng) * 0.1;
  TreeNode yes = build_tree(depth - 1, next_id, rng);
  TreeNode no = build_tree(depth - 1, next_id, rng);
  node.yes = yes.nodeid;
  node.no = no.nodeid;
  node.missing = yes.nodeid;
  node.children.push_back(std::move(yes));
  node.children.push_back(std::move(no));
  return node;
}

XGBoostModel forest_model() {
  std::mt19937_64 rng(7);
  XGBoostModel m;
  m.base_score = 0.5;
  m.n_estimators = 100;
  m.learning_rate = 0.1;
  m.classes = {"clean", "spam"};
  for (int t = 0; t < 100; ++t) {
    std::size_t next_id = 0;
    m.trees.push_back(build_tree(6, next_id, rng));
  }
  return m;
}

// Walking the TreeNodes node by node, and the forest packed at load time.
void BM_XGBoost(benchmark::State& state) {
  const XGBoostModel m = forest_model();
  std::mt19937_64 rng(8);
  const CsrMatrix x = joined_matrix(static_cast<std::size_t>(state.range(0)), rng);
  run(state, m, x);
}
BENCHMARK(BM_XGBoost)->Arg(2)->Arg(kRows);

void BM_XGBoostPacked(benchmark::State& state) {
  XGBoostModel m = forest_model();
  m.pack();
  std::mt19937_64 rng(8);
  const CsrMatrix x = joined_matrix(static_cast<std::size_t>(state.range(0)), rng);
  run(state, m, x);
}
BENCHMARK(BM_XGBoostPacked)->Arg(2)->Arg(kRows);

void BM_PackForest(benchmark::State& state) {
  const XGBoostModel m = forest_model();
  for (auto _ : state) benchmark::DoNotOptimize(PackedForest::build(m.trees));
}
BENCHMARK(BM_PackForest);

}  // namespace
}  // namespace vesko

BENCHMARK_MAIN();
