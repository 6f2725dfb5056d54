#include "ensemble/pipeline.h"

#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "common/thread_pool.h"
#include "csr_rows.h"
#include "ensemble/model_set.h"
#include "fatal_message.h"
#include "models/tree_builders.h"
#include "piece_texts.h"

namespace vesko {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_rows::same_bits;

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

// A small but complete model set; `meta_intercept` alone fixes the final pair
// when `meta_coef_zero` is set. Model 4's one tree splits on the first
// hand-made feature.
ModelSet model_set(double meta_intercept = 0.2, bool meta_coef_zero = false) {
  std::vector<std::string> pairs;
  for (std::size_t i = 0; i + 1 < kWords.size(); ++i)
    pairs.push_back(kWords[i] + " " + kWords[i + 1]);
  const std::vector<std::string> trigrams = {"fre", "ree", "mon", "one", "ney", "cli", "eet"};
  std::vector<std::string> mixed = kWords;
  mixed.insert(mixed.end(), pairs.begin(), pairs.end());
  const std::size_t v1 = kWords.size(), v2 = pairs.size(), v3 = trigrams.size(), v4 = mixed.size();
  ModelSet set;
  set.tfidf = {tfidf_model(kWords, "minmax"), tfidf_model(pairs, "standard"),
               tfidf_model(trigrams, "none"), tfidf_model(mixed, "standard")};
  set.model1 = {{weights(v1 + kFeatures, 0.1), weights(v1 + kFeatures, 0.9)},
                {std::log(0.5), std::log(0.5)},
                {"clean", "spam"}};
  set.model2 = {{weights(v2 + kFeatures, 0.3)}, {0.1}, {"clean", "spam"}, {}, {}};
  set.model3 = {{weights(v3 + kFeatures, 0.5)}, {-0.2}, {"clean", "spam"}};
  set.model4.base_score = 0.4;
  set.model4.trees = {nlohmann::json::parse(R"({"nodeid": 0, "split": "f)" + std::to_string(v4) +
                                            R"(", "split_condition": 0.0, "yes": 1, "no": 2,
          "children": [{"nodeid": 1, "leaf": -0.5}, {"nodeid": 2, "leaf": 0.25}]})")};
  set.meta_classifier = {{meta_coef_zero ? std::vector<double>(37, 0.0) : weights(37, 0.7)},
                         {meta_intercept},
                         {"clean", "spam"},
                         std::vector<double>(37, 0.1),
                         std::vector<double>(37, 1.5)};
  return set;
}

RustEnsemble assemble(ModelSet set) {
  Expected<RustEnsemble> ensemble = assemble_ensemble(std::move(set));
  EXPECT_TRUE(ensemble) << ensemble.error();
  return std::move(ensemble).value();
}

XGBoostModel& trees(RustEnsemble& e) { return std::get<XGBoostModel>(e.base_models[3].classifier); }

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) {
  return {texts.begin(), texts.end()};
}

TEST(Pipeline, LabelRules) {
  const std::vector<std::string_view> two = {"a", "b"};
  const std::tuple<double, const char*, bool> cases[] = {
      {0.0, "clean", true},  // a tie is clean, with the spam probability
      {std::log(0.7 / 0.3), "spam", true},
      {std::log(0.3 / 0.7), "clean", false}};
  for (const auto& [intercept, label, gives_spam_probability] : cases) {
    const RustEnsemble e = assemble(model_set(intercept, true));
    const ProbabilityPair pair = predict_proba_batch_impl(e, two)[0];
    const LabelProbability labelled = predict_batch_impl(e, two)[0];
    const LabelProbability final = predict_with_base_models_impl(e, two)[0].final_prediction;
    EXPECT_STREQ(labelled.label, label);
    EXPECT_EQ(labelled.probability, gives_spam_probability ? pair.spam_prob : pair.clean_prob);
    EXPECT_STREQ(final.label, label);
    EXPECT_EQ(final.probability, pair.spam_prob);  // always the spam probability
  }
  // A base model's label at exactly one half is clean.
  ModelSet even = model_set();
  even.model1.feature_log_prob = {std::vector<double>(39, 0.0), std::vector<double>(39, 0.0)};
  const BaseAndFinalPrediction half = predict_with_base_models_impl(assemble(even), two)[0];
  EXPECT_STREQ(half.base_predictions[0].label, "clean");
  EXPECT_EQ(half.base_predictions[0].probability, 0.5);
}

TEST(Pipeline, ResultsDoNotDependOnThePoolSize) {
  const RustEnsemble e = assemble(model_set());
  std::vector<std::string> pieces = {"! <b>"}, emails(300);
  for (const std::string& word : kWords) pieces.push_back(word + " ");
  std::mt19937 rng(11);
  for (std::string& email : emails) email = testing_texts::random_text(rng, pieces, 250);
  std::vector<ProbabilityPair> single, many;
  // One thread and eight split the batch into blocks of different sizes.
  run_on_pool_of(1, [&] { single = predict_proba_batch_impl(e, views_of(emails)); });
  run_on_pool_of(8, [&] { many = predict_proba_batch_impl(e, views_of(emails)); });
  ASSERT_EQ(single.size(), many.size());
  for (std::size_t i = 0; i < single.size(); ++i) {
    EXPECT_TRUE(same_bits(single[i].clean_prob, many[i].clean_prob)) << i;
    EXPECT_TRUE(same_bits(single[i].spam_prob, many[i].spam_prob)) << i;
  }
}

// E-mails made ready during the call, while the pool is at work, give the
// results of e-mails ready before it, also when making them ready calls the
// pipeline again on the same thread; they are made ready on the calling
// thread, outside the pool. One that cannot be made ready abandons the
// batch, whatever else fails.
TEST(Pipeline, LateEmails) {
  std::vector<std::string> pieces = {"! <b>"}, texts(300);
  for (const std::string& word : kWords) pieces.push_back(word + " ");
  std::mt19937 rng(5);
  for (std::string& text : texts) text = testing_texts::random_text(rng, pieces, 250);
  const std::vector<std::string_view> ready = views_of(texts);
  for (const std::size_t n : {std::size_t{300}, std::size_t{1}}) {
    const EmailBatch all(ready.data(), n);
    std::vector<std::size_t> indices, sizes;
    for (std::size_t i = 0; i < n; i += 3) indices.push_back(i), sizes.push_back(1);
    std::vector<std::string_view> emails(all.begin(), all.end());
    for (std::size_t i : indices) emails[i] = {};
    const RustEnsemble e = assemble(model_set());
    const std::vector<ProbabilityPair> expected = predict_proba_batch_impl(e, all);
    const std::thread::id caller = std::this_thread::get_id();
    const int default_size = tbb::this_task_arena::max_concurrency();
    std::size_t refused = n;
    bool on_the_calling_thread = true, nested_calls_agree = true;
    const LateEmails late{
        indices, sizes, [&](std::size_t i) {
          on_the_calling_thread = on_the_calling_thread && std::this_thread::get_id() == caller &&
                                  tbb::this_task_arena::max_concurrency() == default_size;
          if (i % 30 == 0) {
            const auto again = predict_proba_batch_impl(e, all.subspan(i / 2));
            nested_calls_agree =
                nested_calls_agree && same_bits(again[0].spam_prob, expected[i / 2].spam_prob);
          }
          emails[i] = ready[i];
          return i != refused;
        }};
    std::vector<ProbabilityPair> got;
    run_on_pool_of(3, [&] { got = predict_proba_batch_impl(e, emails, &late); });
    EXPECT_TRUE(on_the_calling_thread);
    EXPECT_TRUE(nested_calls_agree);
    ASSERT_EQ(got.size(), n);
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_TRUE(same_bits(got[i].spam_prob, expected[i].spam_prob)) << i;

    ModelSet broken = model_set();
    broken.meta_classifier.intercept.clear();
    refused = indices.back();
    for (std::size_t i : indices) emails[i] = {};
    EXPECT_THROW(predict_proba_batch_impl(assemble(broken), emails, &late), BatchAbandoned) << n;
  }
}

// Batches run block by block on the pool; the failure reported must still be
// the one met first going step by step: every transform before any scoring,
// every row through model 1 before any row through model 2, every base model
// before the meta classifier.
TEST(Pipeline, FailureOrderAcrossBlocks) {
  std::vector<std::string_view> emails(300, "free money");
  emails[250] = "viagra offer";
  ModelSet set = model_set();
  set.meta_classifier.intercept.clear();  // the meta classifier fails on every row
  EXPECT_EQ(fatal_message([&] { predict_proba_batch_impl(assemble(set), emails); }),
            "index out of bounds: the len is 0 but the index is 0");
  set.model2.coef[0].resize(3);               // model 2 fails on every row
  set.model1.feature_log_prob[1].resize(12);  // model 1 too, at the third feature
  EXPECT_EQ(fatal_message([&] { predict_proba_batch_impl(assemble(set), emails); }),
            "index out of bounds: the len is 12 but the index is 12");
  // Only the last rows' pair "viagra offer" (column 6) lies beyond the idf:
  // a transform failure comes before any scoring failure.
  set.tfidf[1].idf.resize(6);
  EXPECT_EQ(fatal_message([&] { predict_proba_batch_impl(assemble(set), emails); }),
            "index out of bounds: the len is 6 but the index is 6");
}

// A batch of one runs its transforms side by side, yet the failure is always
// the lowest model's, as going model by model.
TEST(Pipeline, FailureOfABatchOfOneIsTheLowestModels) {
  ModelSet set = model_set();
  set.tfidf[1].idf.clear();
  set.tfidf[2] = tfidf_model({"fre", "ree"}, "none");
  set.tfidf[2].idf.resize(1);
  const RustEnsemble e = assemble(set);
  const std::string_view kFreeMoney[] = {"free money"};
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(fatal_message([&] { predict_proba_batch_impl(e, kFreeMoney); }),
              "index out of bounds: the len is 0 but the index is 0");
  }
}

// Walks that cannot go on write their warnings in row order, whatever the
// pool does, also when the failing node lies at the bottom of the deepest
// tree a file can hold, under nodes that name one child for every branch.
// They come before a failure of the meta classifier, which scores after the
// trees, and not at all with a failure met before the trees score, even in
// the last block.
TEST(Pipeline, TreeWarningsComeInRowOrder) {
  for (std::size_t depth : {0u, 500u}) {
    RustEnsemble e = assemble(model_set());
    TreeNode root = trees(e).trees[0];
    root.split_condition = -0.2;  // the first feature scaled: (x - 0.5) / 2.0
    root.yes = 7;                 // neither child exists
    root.no = 8;
    trees(e).trees[0] = testing_trees::shared_child_chain(depth, std::move(root));
    trees(e).pack();
    std::vector<std::string_view> emails;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
      const bool tagged = (i * 7) % 5 == 0;
      emails.push_back(tagged ? "<b>x</b>" : "plain words");
      expected += std::string("WARNING: XGBoost tree traversal failed - child node ") +
                  (tagged ? "8" : "7") +
                  " not found\nWARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";
    }
    CaptureStderr();
    predict_proba_batch_impl(e, emails);
    EXPECT_EQ(GetCapturedStderr(), expected) << "depth " << depth;
    e.meta_classifier.intercept.clear();
    CaptureStderr();
    EXPECT_EQ(fatal_message([&] { predict_proba_batch_impl(e, emails); }),
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(GetCapturedStderr(), expected) << "depth " << depth;
    // The pair "viagra offer" (column 6) lies beyond model 2's idf.
    ModelSet short_idf = model_set();
    short_idf.tfidf[1].idf.resize(6);
    RustEnsemble early = assemble(std::move(short_idf));
    trees(early) = trees(e);
    emails.back() = "viagra offer";
    CaptureStderr();
    EXPECT_EQ(fatal_message([&] { predict_proba_batch_impl(early, emails); }),
              "index out of bounds: the len is 6 but the index is 6");
    EXPECT_EQ(GetCapturedStderr(), "") << "depth " << depth;
  }
}

}  // namespace
}  // namespace vesko
