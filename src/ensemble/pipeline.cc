#include "ensemble/pipeline.h"

#include <algorithm>
#include <exception>
#include <span>
#include <string_view>
#include <utility>

#include "common/fatal_error.h"
#include "common/lowercase.h"
#include "common/number_format.h"
#include "common/stderr_line.h"
#include "common/thread_pool.h"
#include "ensemble/matrix_assembly.h"
#include "features/custom_features.h"

namespace vesko {
namespace {

constexpr std::size_t kBaseModels = 4;
constexpr std::size_t kFeatures = kCustomFeatureCount;
constexpr std::size_t kMetaWidth = 2 * kBaseModels + kFeatures;

struct PipelineOutput {
  std::array<std::vector<ProbabilityPair>, kBaseModels> base;
  std::vector<ProbabilityPair> final_pairs;
};

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

const TfidfVectorizer& vectorizer_of(const RustEnsemble& ensemble, std::size_t model) {
  const TfidfVectorizer* vectorizers[kBaseModels] = {&ensemble.model1_tfidf, &ensemble.model2_tfidf,
                                                     &ensemble.model3_tfidf,
                                                     &ensemble.model4_tfidf};
  return *vectorizers[model];
}

std::array<CsrMatrix, kBaseModels> transform_all(const RustEnsemble& ensemble,
                                                 const std::vector<std::string>& lowered) {
  std::array<CsrMatrix, kBaseModels> matrices;
  std::span<const std::string> texts(lowered);
  parallel_for_index(kBaseModels, [&](std::size_t m) {
    matrices[m] = vectorizer_of(ensemble, m).transform(texts);
  });
  return matrices;
}

// Rows [begin, end) of the features scaled by each base model's scaler,
// row-major, kFeatures per row. All four scalings in one pass, model by model
// within each e-mail: every row has the same length, so a scaler that fails
// fails on every row with the same message, the first failing model's, as
// four passes would.
std::array<std::vector<double>, kBaseModels> scale_features(
    const RustEnsemble& ensemble, const std::vector<CustomFeatures>& features, std::size_t begin,
    std::size_t end) {
  std::array<std::vector<double>, kBaseModels> scaled;
  for (std::vector<double>& flat : scaled) flat.resize((end - begin) * kFeatures);
  for (std::size_t i = begin; i < end; ++i) {
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      apply_feature_scaler(
          features[i], scaler_of(ensemble, m),
          std::span<double>(scaled[m].data() + (i - begin) * kFeatures, kFeatures));
    }
  }
  return scaled;
}

// combine_features(tfidf, scaled rows) without the copy into per-row
// vectors: the same entries in the same order, every row's scaled features
// (row-major, kFeatures per row) stored after its TF-IDF entries, zeros
// included.
CsrMatrix join_rows(const CsrMatrix& tfidf, const std::vector<double>& scaled) {
  const std::size_t rows = tfidf.rows(), cols = tfidf.cols();
  const std::size_t total = tfidf.nnz() + rows * kFeatures;
  std::vector<std::size_t> indptr(rows + 1);
  CsrMatrix::Indices indices(total);
  CsrMatrix::Values data(total);
  const std::size_t* source_ptr = tfidf.indptr().data();
  const std::size_t* source_indices = tfidf.indices().data();
  const double* source_data = tfidf.data().data();
  std::size_t at = 0;
  indptr[0] = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t from = source_ptr[r], to = source_ptr[r + 1];
    std::copy(source_indices + from, source_indices + to, indices.data() + at);
    std::copy(source_data + from, source_data + to, data.data() + at);
    at += to - from;
    const double* features = scaled.data() + r * kFeatures;
    for (std::size_t j = 0; j < kFeatures; ++j) {
      indices[at] = cols + j;
      data[at] = features[j];
      ++at;
    }
    indptr[r + 1] = at;
  }
  return CsrMatrix::from_sorted_parts(rows, cols + kFeatures, std::move(indptr), std::move(indices),
                                      std::move(data));
}

// Where a failure arose, in the order the step-by-step road meets them.
enum Stage : std::size_t { kLowerCase, kFeaturing, kTransform, kScaling, kClassify, kStages };

// One block's failures: at most one per stage and base model.
using BlockFailures = std::array<std::exception_ptr, kStages * kBaseModels>;

bool is_shape_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const FatalError& error) {
    return error.kind() == FatalError::Kind::kOutsideShape;
  } catch (...) {
    return false;
  }
}

// Rethrows the failure the step-by-step road would have reported: the
// earliest stage; within the transforms the lowest model, an index failure
// of any row before a shape failure of any row, then the lowest row; within
// scoring the lowest model, then the lowest row. Blocks hold ascending rows,
// and a block's transform reports its own first index failure, else its
// first shape failure.
void rethrow_first_failure(const std::vector<BlockFailures>& blocks) {
  for (std::size_t stage = 0; stage < kStages; ++stage) {
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      const std::exception_ptr* first = nullptr;
      for (const BlockFailures& block : blocks) {
        const std::exception_ptr& failure = block[stage * kBaseModels + m];
        if (!failure) continue;
        if (stage != kTransform) std::rethrow_exception(failure);
        if (!is_shape_failure(failure)) std::rethrow_exception(failure);
        if (first == nullptr) first = &failure;
      }
      if (first != nullptr) std::rethrow_exception(*first);
    }
  }
}

// Rows per block: a few blocks per pool thread so the pool balances uneven
// e-mails, at most 32 so a block's matrices stay in cache, and never one row
// (the boosted trees trace a one-row matrix).
std::size_t rows_per_block(std::size_t n) {
  const std::size_t by_pool = n / (4 * thread_pool_size());
  return std::clamp<std::size_t>(by_pool, 2, 32);
}

// Steps 1 to 5 for a batch of two or more e-mails, block by block: each block
// of e-mails is lower-cased, featurised, transformed by the four vectorizers,
// scaled, joined and scored by one task, and blocks run side by side on the
// pool. Every step is per e-mail (a TF-IDF row depends on its own text
// only), so each value is the one the whole-batch steps compute, and no
// whole-batch matrix is ever built. Failures are kept per block and stage
// and the one the step-by-step road meets first is rethrown. Trees that may
// warn (the model knows it from loading on) are not walked in the tasks:
// their blocks are scored afterwards, in row order on the calling thread, and
// only when nothing failed, so their warnings come as the step-by-step road
// writes them.
void run_blocks(const RustEnsemble& ensemble, const std::vector<std::string>& emails,
                std::vector<CustomFeatures>& features, PipelineOutput& out) {
  const std::size_t n = emails.size();
  const std::size_t blocks = n / rows_per_block(n);
  auto block_begin = [&](std::size_t b) { return n * b / blocks; };
  for (std::vector<ProbabilityPair>& pairs : out.base) pairs.resize(n);
  const bool trees_in_tasks = !ensemble.model4.walks_can_give_up();
  const std::size_t task_models = trees_in_tasks ? kBaseModels : kBaseModels - 1;
  std::vector<CsrMatrix> deferred_trees(trees_in_tasks ? 0 : blocks);
  std::vector<BlockFailures> failures(blocks);

  parallel_for_index(blocks, [&](std::size_t b) {
    const std::size_t begin = block_begin(b), end = block_begin(b + 1), rows = end - begin;
    BlockFailures& failed = failures[b];
    auto attempt = [&](Stage stage, std::size_t m, const auto& step) {
      try {
        step();
        return true;
      } catch (...) {
        failed[stage * kBaseModels + m] = std::current_exception();
        return false;
      }
    };
    std::vector<std::string> lowered(rows);
    if (!attempt(kLowerCase, 0, [&] {
          for (std::size_t i = 0; i < rows; ++i) lowered[i] = to_lower(emails[begin + i]);
        })) {
      return;
    }
    if (!attempt(kFeaturing, 0, [&] {
          for (std::size_t i = begin; i < end; ++i) {
            features[i] = extract_custom_features(emails[i], lowered[i - begin]);
          }
        })) {
      return;
    }
    std::array<CsrMatrix, kBaseModels> tfidf;
    bool transformed = true;
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      transformed &= attempt(kTransform, m, [&] {
        tfidf[m] = vectorizer_of(ensemble, m).transform(std::span<const std::string>(lowered));
      });
    }
    if (!transformed) return;
    lowered = {};

    std::array<std::vector<double>, kBaseModels> scaled;
    if (!attempt(kScaling, 0, [&] { scaled = scale_features(ensemble, features, begin, end); })) {
      return;
    }
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      CsrMatrix joined = join_rows(tfidf[m], scaled[m]);
      tfidf[m] = CsrMatrix();
      if (m >= task_models) {
        deferred_trees[b] = std::move(joined);
        continue;
      }
      if (!attempt(kClassify, m, [&] {
            std::vector<ProbabilityPair> pairs = classify(ensemble, m, joined);
            std::copy(pairs.begin(), pairs.end(), out.base[m].begin() + begin);
          })) {
        return;
      }
    }
  });
  rethrow_first_failure(failures);

  for (std::size_t b = 0; b < deferred_trees.size(); ++b) {
    std::vector<ProbabilityPair> pairs = classify(ensemble, kBaseModels - 1, deferred_trees[b]);
    deferred_trees[b] = CsrMatrix();
    std::copy(pairs.begin(), pairs.end(), out.base[kBaseModels - 1].begin() + block_begin(b));
  }
}

// Steps 1 to 5 one after the other over the whole batch, each step's
// parallel part on the pool: the road for batches of at most one e-mail,
// whose trace and "DEBUG" lines come from the calling thread.
void run_steps(const RustEnsemble& ensemble, const std::vector<std::string>& emails,
               std::vector<CustomFeatures>& features, PipelineOutput& out) {
  const std::size_t n = emails.size();
  std::vector<std::string> lowered(n);
  parallel_for_index(n, [&](std::size_t i) { lowered[i] = to_lower(emails[i]); });
  parallel_for_index(
      n, [&](std::size_t i) { features[i] = extract_custom_features(emails[i], lowered[i]); });
  std::array<CsrMatrix, kBaseModels> tfidf = transform_all(ensemble, lowered);
  lowered = {};
  std::array<std::vector<double>, kBaseModels> scaled = scale_features(ensemble, features, 0, n);
  for (std::size_t m = 0; m < kBaseModels; ++m) {
    CsrMatrix joined = join_rows(tfidf[m], scaled[m]);
    tfidf[m] = CsrMatrix();
    out.base[m] = classify(ensemble, m, joined);
  }
}

PipelineOutput run_pipeline(const RustEnsemble& ensemble, const std::vector<std::string>& emails,
                            bool debug_lines) {
  const std::size_t n = emails.size();
  std::vector<CustomFeatures> features(n);
  PipelineOutput out;
  if (n >= 2) {
    run_blocks(ensemble, emails, features, out);
  } else {
    run_steps(ensemble, emails, features, out);
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
        write_stderr_line("DEBUG: Full meta-features (first 16): " +
                          format_debug_list(std::span<const double>(
                              row.data(), std::min<std::size_t>(row.size(), 16))));
      }
    }
  }
  out.final_pairs = ensemble.meta_classifier.predict_proba(dense_rows_to_csr(meta_rows));
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
