#include "ensemble/pipeline.h"

#include <span>
#include <utility>

#include <tbb/parallel_invoke.h>

#include "common/lowercase.h"
#include "common/number_format.h"
#include "common/stderr_line.h"
#include "common/thread_pool.h"
#include "ensemble/matrix_assembly.h"
#include "features/custom_features.h"

namespace vesko {
namespace {

constexpr std::size_t kBaseModels = 4;
constexpr std::size_t kMetaWidth = 2 * kBaseModels + kCustomFeatureCount;

struct PipelineOutput {
  std::array<std::vector<ProbabilityPair>, kBaseModels> base;
  std::vector<ProbabilityPair> final_pairs;
};

std::array<CsrMatrix, kBaseModels> transform_all(const RustEnsemble& ensemble,
                                                 const std::vector<std::string>& lowered) {
  std::array<CsrMatrix, kBaseModels> matrices;
  std::span<const std::string> texts(lowered);
  ensure_thread_pool();
  tbb::parallel_invoke([&] { matrices[0] = ensemble.model1_tfidf.transform(texts); },
                       [&] { matrices[1] = ensemble.model2_tfidf.transform(texts); },
                       [&] { matrices[2] = ensemble.model3_tfidf.transform(texts); },
                       [&] { matrices[3] = ensemble.model4_tfidf.transform(texts); });
  return matrices;
}

std::vector<ProbabilityPair> classify(const RustEnsemble& ensemble, std::size_t model,
                                      const CsrMatrix& joined) {
  switch (model) {
    case 0:
      return ensemble.model1.predict_proba(joined);
    case 1:
      return ensemble.model2.predict_proba(joined);
    case 2:
      return ensemble.model3.predict_proba(joined);
    default:
      return ensemble.model4.predict_proba(joined);
  }
}

const FeatureScaler& scaler_of(const RustEnsemble& ensemble, std::size_t model) {
  const FeatureScaler* scalers[kBaseModels] = {&ensemble.model1_scaler, &ensemble.model2_scaler,
                                               &ensemble.model3_scaler, &ensemble.model4_scaler};
  return *scalers[model];
}

PipelineOutput run_pipeline(const RustEnsemble& ensemble, const std::vector<std::string>& emails,
                            bool debug_lines) {
  const std::size_t n = emails.size();
  std::vector<std::string> lowered(n);
  parallel_for_index(n, [&](std::size_t i) { lowered[i] = to_lower(emails[i]); });

  std::vector<CustomFeatures> features(n);
  parallel_for_index(n, [&](std::size_t i) {
    features[i] = extract_custom_features(emails[i], lowered[i]);
  });

  std::array<CsrMatrix, kBaseModels> tfidf = transform_all(ensemble, lowered);
  lowered = {};

  std::array<std::vector<std::vector<double>>, kBaseModels> scaled;
  for (std::size_t m = 0; m < kBaseModels; ++m) {
    scaled[m].resize(n);
    const FeatureScaler& scaler = scaler_of(ensemble, m);
    parallel_for_index(n, [&](std::size_t i) {
      scaled[m][i] = apply_feature_scaler(features[i], scaler);
    });
  }

  PipelineOutput out;
  for (std::size_t m = 0; m < kBaseModels; ++m) {
    CsrMatrix matrix = std::move(tfidf[m]);
    CsrMatrix joined = combine_features(matrix, scaled[m]);
    matrix = CsrMatrix();
    scaled[m] = {};
    out.base[m] = classify(ensemble, m, joined);
  }

  std::vector<std::vector<double>> meta_rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double>& row = meta_rows[i];
    row.reserve(kMetaWidth);
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      const ProbabilityPair& pair = out.base[m][i];
      row.push_back(pair.clean_prob);
      row.push_back(pair.spam_prob);
      if (debug_lines) {
        write_stderr_line("DEBUG: Model " + std::to_string(m + 1) +
                          " predictions: clean=" + format_fixed6(pair.clean_prob) +
                          ", spam=" + format_fixed6(pair.spam_prob));
      }
    }
    if (ensemble.include_custom_features_in_meta) {
      const CustomFeatures& raw = features[i];
      if (debug_lines) {
        write_stderr_line("DEBUG: Custom features (first 10): " +
                          format_debug_list(std::span<const double>(raw.data(), 10)));
      }
      row.insert(row.end(), raw.begin(), raw.end());
      if (debug_lines) {
        std::size_t shown = row.size() < 16 ? row.size() : 16;
        write_stderr_line("DEBUG: Full meta-features (first 16): " +
                          format_debug_list(std::span<const double>(row.data(), shown)));
      }
    }
  }
  CsrMatrix meta = dense_rows_to_csr(meta_rows);
  out.final_pairs = ensemble.meta_classifier.predict_proba(meta);
  return out;
}

LabelProbability final_label(const ProbabilityPair& pair, double probability_if_clean) {
  if (pair.spam_prob > pair.clean_prob) return {"spam", pair.spam_prob};
  return {"clean", probability_if_clean};
}

}  // namespace

std::vector<ProbabilityPair> stacked_predict_proba(const RustEnsemble& ensemble,
                                                   const std::vector<std::string>& emails) {
  return run_pipeline(ensemble, emails, emails.size() == 1).final_pairs;
}

std::vector<LabelProbability> predict_batch_impl(const RustEnsemble& ensemble,
                                                 const std::vector<std::string>& emails) {
  std::vector<ProbabilityPair> pairs = stacked_predict_proba(ensemble, emails);
  std::vector<LabelProbability> labels;
  labels.reserve(pairs.size());
  for (const ProbabilityPair& pair : pairs) labels.push_back(final_label(pair, pair.clean_prob));
  return labels;
}

std::vector<ProbabilityPair> predict_proba_batch_impl(const RustEnsemble& ensemble,
                                                      const std::vector<std::string>& emails) {
  return stacked_predict_proba(ensemble, emails);
}

std::vector<BaseAndFinalPrediction> predict_with_base_models_impl(
    const RustEnsemble& ensemble, const std::vector<std::string>& emails) {
  PipelineOutput out = run_pipeline(ensemble, emails, false);
  std::vector<BaseAndFinalPrediction> predictions(emails.size());
  for (std::size_t i = 0; i < emails.size(); ++i) {
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      double spam = out.base[m][i].spam_prob;
      predictions[i].base_predictions[m] = {spam > 0.5 ? "spam" : "clean", spam};
    }
    const ProbabilityPair& pair = out.final_pairs[i];
    predictions[i].final_prediction = final_label(pair, pair.spam_prob);
  }
  return predictions;
}

}  // namespace vesko
