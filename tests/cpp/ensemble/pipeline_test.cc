#include "ensemble/pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "common/fatal_error.h"
#include "common/thread_pool.h"
#include "fatal_message.h"
#include "models/tree_chains.h"

namespace vesko {
namespace {

constexpr std::size_t kFeatures = 29;
const std::vector<std::string> kWords = {"free",     "money",  "click", "here",   "meeting",
                                         "tomorrow", "viagra", "offer", "report", "team"};

TfidfModel tfidf_model(const std::vector<std::string>& terms, std::string scaler_type) {
  TfidfModel model;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    model.vocabulary[terms[i]] = i;
    model.idf.push_back(1.0 + 0.25 * static_cast<double>(i));
  }
  model.scaler_type = std::move(scaler_type);
  model.scaler_mean = std::vector<double>(kFeatures, 0.5);
  model.scaler_scale = std::vector<double>(kFeatures, 2.0);
  model.scaler_min = std::vector<double>(kFeatures, 0.0);
  return model;
}

std::vector<double> weights(std::size_t n, double seed) {
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = std::sin(seed + 1.7 * static_cast<double>(i));
  return w;
}

BaseModel base_model(TfidfModel tfidf, TokenizerMode mode, Classifier classifier) {
  FeatureScaler scaler = FeatureScaler::from_tfidf_model(tfidf);
  return {TfidfVectorizer::from_model(std::move(tfidf), mode), std::move(scaler),
          std::move(classifier)};
}

NaiveBayesModel& naive_bayes(RustEnsemble& e) {
  return std::get<NaiveBayesModel>(e.base_models[0].classifier);
}
LogisticRegressionModel& logistic(RustEnsemble& e) {
  return std::get<LogisticRegressionModel>(e.base_models[1].classifier);
}
LinearSVMModel& svm(RustEnsemble& e) { return std::get<LinearSVMModel>(e.base_models[2].classifier); }
XGBoostModel& trees(RustEnsemble& e) { return std::get<XGBoostModel>(e.base_models[3].classifier); }

std::vector<std::string> word_pairs() {
  std::vector<std::string> pairs;
  for (std::size_t i = 0; i + 1 < kWords.size(); ++i) pairs.push_back(kWords[i] + " " + kWords[i + 1]);
  return pairs;
}

// A small but complete ensemble; `meta_intercept` fixes the final pair when
// `meta_coef_zero` is set.
RustEnsemble make_ensemble(double meta_intercept, bool meta_coef_zero) {
  const std::vector<std::string> pairs = word_pairs();
  const std::vector<std::string> trigrams = {"fre", "ree", "mon", "one", "ney", "cli", "eet", "ing"};
  std::vector<std::string> mixed = kWords;
  mixed.insert(mixed.end(), pairs.begin(), pairs.end());
  const std::size_t v1 = kWords.size(), v2 = pairs.size(), v3 = trigrams.size(), v4 = mixed.size();

  TreeNode root;
  root.nodeid = 0;
  root.split = "f" + std::to_string(v4);  // the first hand-made feature column
  root.split_condition = 0.0;
  root.yes = 1;
  root.no = 2;
  root.children = {testing_trees::leaf(-0.5), testing_trees::leaf(0.25)};
  root.children[0].nodeid = 1;
  root.children[1].nodeid = 2;
  XGBoostModel forest;
  forest.trees.push_back(root);
  forest.base_score = 0.4;
  forest.pack();  // as load does

  return RustEnsemble{
      {
          base_model(tfidf_model(kWords, "minmax"), TokenizerMode::WordUnigrams,
                     NaiveBayesModel{{weights(v1 + kFeatures, 0.1), weights(v1 + kFeatures, 0.9)},
                                     {std::log(0.5), std::log(0.5)},
                                     {"clean", "spam"}}),
          base_model(tfidf_model(pairs, "standard"), TokenizerMode::WordBigrams,
                     LogisticRegressionModel{
                         {weights(v2 + kFeatures, 0.3)}, {0.1}, {"clean", "spam"}, {}, {}}),
          base_model(tfidf_model(trigrams, "none"), TokenizerMode::CharTrigrams,
                     LinearSVMModel{{weights(v3 + kFeatures, 0.5)}, {-0.2}, {"clean", "spam"}}),
          base_model(tfidf_model(mixed, "standard"), TokenizerMode::WordUnigramsAndBigrams,
                     std::move(forest)),
      },
      LogisticRegressionModel{{meta_coef_zero ? std::vector<double>(37, 0.0) : weights(37, 0.7)},
                              {meta_intercept},
                              {"clean", "spam"},
                              std::vector<double>(37, 0.1),
                              std::vector<double>(37, 1.5)},
      true,
  };
}

std::vector<std::string> random_emails(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> emails(count);
  for (std::string& email : emails) {
    std::size_t words = rng() % 40;
    for (std::size_t w = 0; w < words; ++w) {
      email += kWords[rng() % kWords.size()];
      email += (rng() % 5 == 0) ? "! <b>" : " ";
    }
  }
  return emails;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Pipeline, LabelRules) {
  std::vector<std::string> one = {"free money"};
  struct Case {
    double intercept;
    const char* label;
    bool label_prob_is_spam;
  };
  for (Case c : {Case{0.0, "clean", true}, Case{std::log(0.7 / 0.3), "spam", true},
                 Case{std::log(0.3 / 0.7), "clean", false}}) {
    RustEnsemble e = make_ensemble(c.intercept, true);
    testing::internal::CaptureStderr();
    std::vector<ProbabilityPair> pairs = predict_proba_batch_impl(e, {"a", "b"});
    std::vector<LabelProbability> labels = predict_batch_impl(e, {"a", "b"});
    std::vector<BaseAndFinalPrediction> base = predict_with_base_models_impl(e, {"a", "b"});
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_STREQ(labels[0].label, c.label);
    double expected = c.label_prob_is_spam ? pairs[0].spam_prob : pairs[0].clean_prob;
    EXPECT_EQ(labels[0].probability, expected);
    EXPECT_STREQ(base[0].final_prediction.label, c.label);
    // The final probability is always the spam probability.
    EXPECT_EQ(base[0].final_prediction.probability, pairs[0].spam_prob);
  }
}

TEST(Pipeline, BaseLabelAtExactlyHalfIsClean) {
  RustEnsemble e = make_ensemble(0.0, false);
  naive_bayes(e).feature_log_prob = {std::vector<double>(39, 0.0), std::vector<double>(39, 0.0)};
  std::vector<BaseAndFinalPrediction> base = predict_with_base_models_impl(e, {"x", "y"});
  EXPECT_STREQ(base[0].base_predictions[0].label, "clean");
  EXPECT_EQ(base[0].base_predictions[0].probability, 0.5);
}

TEST(Pipeline, EmptyBatch) {
  RustEnsemble e = make_ensemble(0.0, false);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(predict_batch_impl(e, {}).empty());
  EXPECT_TRUE(predict_proba_batch_impl(e, {}).empty());
  EXPECT_TRUE(predict_with_base_models_impl(e, {}).empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Pipeline, DebugLinesOnlyForOneEmail) {
  RustEnsemble e = make_ensemble(0.0, false);
  testing::internal::CaptureStderr();
  predict_proba_batch_impl(e, {"free money"});
  std::string one = testing::internal::GetCapturedStderr();
  EXPECT_NE(one.find("DEBUG: Model 1 predictions: clean="), std::string::npos);
  EXPECT_NE(one.find("\nDEBUG: Model 4 predictions: clean="), std::string::npos);
  EXPECT_NE(one.find("\nDEBUG: Custom features (first 10): [0.0"), std::string::npos);
  EXPECT_NE(one.find("\nDEBUG: Full meta-features (first 16): ["), std::string::npos);
  // The boosted trees' trace comes first, during model 4.
  EXPECT_LT(one.find("DEBUG XGBoost: base_logit="), one.find("DEBUG: Model 1"));

  testing::internal::CaptureStderr();
  predict_with_base_models_impl(e, {"free money"});
  std::string base = testing::internal::GetCapturedStderr();
  EXPECT_EQ(base.find("DEBUG: "), std::string::npos);
  EXPECT_NE(base.find("DEBUG XGBoost: "), std::string::npos);

  testing::internal::CaptureStderr();
  predict_proba_batch_impl(e, {"free money", "meeting"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Pipeline, ProbaAndLabelsAgree) {
  RustEnsemble e = make_ensemble(0.2, false);
  std::vector<std::string> emails = random_emails(50, 3);
  std::vector<ProbabilityPair> pairs = predict_proba_batch_impl(e, emails);
  std::vector<BaseAndFinalPrediction> base = predict_with_base_models_impl(e, emails);
  for (std::size_t i = 0; i < emails.size(); ++i) {
    EXPECT_TRUE(same_bits(base[i].final_prediction.probability, pairs[i].spam_prob));
  }
}

TEST(Pipeline, ResultsDoNotDependOnThePoolSize) {
  RustEnsemble e = make_ensemble(0.2, false);
  std::vector<std::string> emails = random_emails(300, 11);
  std::vector<ProbabilityPair> single, many;
  // One thread and eight split the batch into blocks of different sizes.
  run_on_pool_of(1, [&] { single = predict_proba_batch_impl(e, emails); });
  run_on_pool_of(8, [&] { many = predict_proba_batch_impl(e, emails); });
  ASSERT_EQ(single.size(), many.size());
  for (std::size_t i = 0; i < single.size(); ++i) {
    EXPECT_TRUE(same_bits(single[i].clean_prob, many[i].clean_prob)) << i;
    EXPECT_TRUE(same_bits(single[i].spam_prob, many[i].spam_prob)) << i;
  }
}

TEST(Pipeline, DisagreeingModelsFailWithTheIndexMessage) {
  RustEnsemble e = make_ensemble(0.2, false);
  svm(e).coef[0].resize(5);
  std::vector<std::string> emails = random_emails(20, 5);
  emails[0] = "";  // no trigram: the first stored column is the first feature's
  try {
    predict_proba_batch_impl(e, emails);
    FAIL() << "expected a failure";
  } catch (const FatalError& error) {
    EXPECT_STREQ(error.what(), "index out of bounds: the len is 5 but the index is 8");
  }
}

// Batches run block by block on the pool; the failure reported must still be
// the one met first going step by step: every transform before any scoring,
// every row through model 1 before any row through model 2.
TEST(Pipeline, FailureOrderAcrossBlocks) {
  std::vector<std::string> emails(300, "free money");
  emails[250] = "viagra offer";
  auto failure = [&](const RustEnsemble& e) {
    return fatal_message([&] { predict_proba_batch_impl(e, emails); });
  };

  RustEnsemble e = make_ensemble(0.2, false);
  logistic(e).coef[0].resize(3);               // model 2 fails on every row
  naive_bayes(e).feature_log_prob[1].resize(12);  // model 1 too, at the third feature
  EXPECT_EQ(failure(e), "index out of bounds: the len is 12 but the index is 12");

  // Only the last rows' pair "viagra offer" (column 6) lies beyond the idf:
  // a transform failure comes before any scoring failure.
  TfidfModel short_idf = tfidf_model(word_pairs(), "standard");
  short_idf.idf.resize(6);
  e.base_models[1].vectorizer =
      TfidfVectorizer::from_model(std::move(short_idf), TokenizerMode::WordBigrams);
  EXPECT_EQ(failure(e), "index out of bounds: the len is 6 but the index is 6");
}

// A batch of one runs its four transforms side by side, yet the failure is
// always the lowest model's, as going model by model.
TEST(Pipeline, FailureOfABatchOfOneIsTheLowestModels) {
  RustEnsemble e = make_ensemble(0.2, false);
  TfidfModel pairs = tfidf_model(word_pairs(), "standard");
  pairs.idf.clear();
  e.base_models[1].vectorizer =
      TfidfVectorizer::from_model(std::move(pairs), TokenizerMode::WordBigrams);
  TfidfModel trigrams = tfidf_model({"fre", "ree"}, "none");
  trigrams.idf.resize(1);
  e.base_models[2].vectorizer =
      TfidfVectorizer::from_model(std::move(trigrams), TokenizerMode::CharTrigrams);
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(fatal_message([&] { predict_proba_batch_impl(e, {"free money"}); }),
              "index out of bounds: the len is 0 but the index is 0");
  }
}

// Walks that cannot go on write their warnings in row order, whatever the
// pool does, also when the failing node lies at the bottom of the deepest
// tree a file can hold, under nodes that name one child for every branch.
TEST(Pipeline, TreeWarningsComeInRowOrder) {
  for (std::size_t depth : {0u, 500u}) {
    RustEnsemble e = make_ensemble(0.2, false);
    TreeNode root = trees(e).trees[0];
    root.split_condition = -0.2;  // the first feature scaled: (x - 0.5) / 2.0
    root.yes = 7;                 // neither child exists
    root.no = 8;
    trees(e).trees[0] = testing_trees::shared_child_chain(depth, std::move(root));
    trees(e).pack();
    std::vector<std::string> emails;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
      bool tagged = (i * 7) % 5 == 0;
      emails.push_back(tagged ? "<b>x</b>" : "plain words");
      expected += std::string("WARNING: XGBoost tree traversal failed - child node ") +
                  (tagged ? "8" : "7") +
                  " not found\nWARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";
    }
    testing::internal::CaptureStderr();
    predict_proba_batch_impl(e, emails);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected) << "depth " << depth;
  }
}

// Split nodes that name one child for every branch, chained: a batch scores
// as if the tree were its leaf, with no warning. Walking every branch of
// such a chain once per call took time doubling with each level.
TEST(Pipeline, SharedChildChainsScoreLikeTheirLeaf) {
  RustEnsemble flat = make_ensemble(0.2, false);
  trees(flat).trees = {testing_trees::leaf(0.25)};
  trees(flat).pack();
  for (std::size_t depth : {40u, 500u}) {
    RustEnsemble chained = make_ensemble(0.2, false);
    trees(chained).trees = {testing_trees::shared_child_chain(depth, testing_trees::leaf(0.25))};
    trees(chained).pack();
    for (std::size_t n : {2u, 70u}) {
      std::vector<std::string> emails = random_emails(n, 7);
      testing::internal::CaptureStderr();
      std::vector<BaseAndFinalPrediction> got = predict_with_base_models_impl(chained, emails);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "depth " << depth;
      std::vector<BaseAndFinalPrediction> want = predict_with_base_models_impl(flat, emails);
      ASSERT_EQ(got.size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(same_bits(got[i].base_predictions[3].probability,
                              want[i].base_predictions[3].probability))
            << "depth " << depth << " e-mail " << i;
        EXPECT_TRUE(same_bits(got[i].final_prediction.probability,
                              want[i].final_prediction.probability))
            << "depth " << depth << " e-mail " << i;
      }
    }
  }
}

}  // namespace
}  // namespace vesko
