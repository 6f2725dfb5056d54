#include "ensemble/pipeline.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <span>
#include <utility>

#include "common/fatal_error.h"
#include "common/lowercase.h"
#include "common/number_format.h"
#include "common/stderr_line.h"
#include "common/thread_exit.h"
#include "common/thread_pool.h"
#include "ensemble/matrix_assembly.h"
#include "features/custom_features.h"

namespace vesko {
namespace {

constexpr std::size_t kBaseModels = std::tuple_size_v<decltype(RustEnsemble::base_models)>;
constexpr std::size_t kFeatures = kCustomFeatureCount;
constexpr std::size_t kMetaWidth = 2 * kBaseModels + kFeatures;

struct PipelineOutput {
  std::array<std::vector<ProbabilityPair>, kBaseModels> base;
  std::vector<ProbabilityPair> final_pairs;
};

// The steps of one e-mail, in order.
enum Stage : std::size_t {
  kLowerCase,
  kFeaturing,
  kTransform,
  kScaling,
  kClassify,
  kMeta,
  kStages
};

// The profile's counter of each stage that is not per model (the transforms
// and classifying have one per model).
constexpr std::atomic<std::uint64_t> StageProfile::*kStageCounters[kStages] = {
    &StageProfile::lower_case, &StageProfile::features, nullptr, &StageProfile::scaling, nullptr,
    &StageProfile::meta};

struct StepFailure {
  std::exception_ptr error;
  bool outside_shape = false;  // a FatalError of kind kOutsideShape
};

// What a block leaves besides its rows' results: the failure of each step it
// met (a block stops at its first, but for its transforms, which run side by
// side), and the warnings of each base model's tree walks, kept to be written
// in row order.
struct BlockOutcome {
  std::array<StepFailure, kStages * kBaseModels> failures;
  std::array<TreeWarnings, kBaseModels> warnings;

  explicit BlockOutcome(TreeWarnings::Mode mode) {
    for (TreeWarnings& w : warnings) w = TreeWarnings(mode);
  }
  StepFailure& failure(Stage stage, std::size_t m) { return failures[stage * kBaseModels + m]; }
  const StepFailure& failure(Stage stage, std::size_t m) const {
    return failures[stage * kBaseModels + m];
  }
};

// Where the failure that a call reports was met, and the failure itself.
struct FirstFailure {
  Stage stage;
  std::size_t model;
  std::size_t block;
  std::exception_ptr error;
};

// The failure met first when each step runs over the whole batch before the
// next: the earliest stage; within the transforms the lowest model, an index
// failure of any row before a shape failure of any row (a vectorizer checks
// its whole batch against idf before it builds the matrix), then the lowest
// row; within scoring the lowest model, then the lowest row. Blocks hold
// ascending rows, and a block's transform reports its own first index failure,
// else its first shape failure.
std::optional<FirstFailure> first_failure(const std::vector<BlockOutcome>& blocks) {
  for (std::size_t stage = 0; stage < kStages; ++stage) {
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      std::optional<FirstFailure> first_shape_failure;
      for (std::size_t b = 0; b < blocks.size(); ++b) {
        const StepFailure& failure = blocks[b].failure(static_cast<Stage>(stage), m);
        if (!failure.error) continue;
        const FirstFailure found{static_cast<Stage>(stage), m, b, failure.error};
        if (stage != kTransform || !failure.outside_shape) return found;
        if (!first_shape_failure) first_shape_failure = found;
      }
      if (first_shape_failure) return first_shape_failure;
    }
  }
  return std::nullopt;
}

// Writes the kept warnings that come before `failure` when each step runs
// over the whole batch before the next: model by model, each in row order,
// up to the row that failed. A block keeps the warnings of the rows it scored
// before it failed, and none after.
void write_tree_warnings(std::vector<BlockOutcome>& blocks,
                         const std::optional<FirstFailure>& failure) {
  if (failure && failure->stage < kClassify) return;
  for (std::size_t m = 0; m < kBaseModels; ++m) {
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      if (failure && failure->stage == kClassify &&
          (m > failure->model || (m == failure->model && b > failure->block))) {
        return;
      }
      blocks[b].warnings[m].write();
    }
  }
}

// A block's features scaled by each base model's scaler, row-major,
// kFeatures per row. Every row has the same length, so a scaler
// that fails fails on every row with the same message, the first failing
// model's, as four passes over the batch would.
std::array<std::vector<double>, kBaseModels> scale_features(
    const RustEnsemble& ensemble, std::span<const CustomFeatures> features) {
  std::array<std::vector<double>, kBaseModels> scaled;
  for (std::vector<double>& flat : scaled) flat.resize(features.size() * kFeatures);
  for (std::size_t i = 0; i < features.size(); ++i) {
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      apply_feature_scaler(features[i], ensemble.base_models[m].scaler,
                           std::span<double>(scaled[m].data() + i * kFeatures, kFeatures));
    }
  }
  return scaled;
}

// Runs `step`, adding the time it took to `counter` unless that is null.
template <typename Step>
void timed(std::atomic<std::uint64_t>* counter, const Step& step) {
  if (counter == nullptr) {
    step();
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  step();
  *counter += static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

// Where each block of e-mails starts, then the batch's size. A block holds at
// most 32 e-mails, so that its matrices stay in cache, and about an eighth of
// a pool thread's share of the batch's bytes, so that the pool balances
// e-mails of uneven length (a few long ones do not end up in one late block).
std::vector<std::size_t> block_starts(EmailBatch emails, const LateEmails* late) {
  constexpr std::size_t kMaxRows = 32;
  const std::size_t n = emails.size();
  std::vector<std::size_t> starts = {0};
  if (n == 0) return starts;
  std::vector<std::size_t> sizes(n);
  for (std::size_t i = 0; i < n; ++i) sizes[i] = emails[i].size();
  if (late != nullptr) {
    for (std::size_t k = 0; k < late->indices.size(); ++k) {
      sizes[late->indices[k]] = late->estimated_sizes[k];
    }
  }
  std::size_t total = 0;
  for (std::size_t size : sizes) total += size;
  const std::size_t target = std::max<std::size_t>(total / (8 * thread_pool_size()), 1);
  std::size_t rows = 0;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    ++rows;
    bytes += sizes[i];
    if (rows >= kMaxRows || bytes >= target) {
      starts.push_back(i + 1);
      rows = 0;
      bytes = 0;
    }
  }
  starts.push_back(n);
  return starts;
}

// Each e-mail's meta row (the four base pairs, then its raw features), with
// the "DEBUG" lines of a batch of one, scored by the meta classifier. Rows are
// independent, so a block's pairs are those of the whole batch.
std::vector<ProbabilityPair> meta_predict(
    const RustEnsemble& ensemble, std::span<const CustomFeatures> features,
    const std::array<std::span<const ProbabilityPair>, kBaseModels>& base, bool debug_lines) {
  const std::size_t n = features.size();
  std::vector<std::vector<double>> meta_rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double>& row = meta_rows[i];
    row.reserve(kMetaWidth);
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      const ProbabilityPair& pair = base[m][i];
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
  return ensemble.meta_classifier.predict_proba(dense_rows_to_csr(meta_rows));
}

// The steps for a batch, block by block. Every step is per e-mail (a TF-IDF
// row depends on its own text only), so each value is the one the
// whole-batch steps compute. A batch of several blocks runs them side by
// side on the pool, each block handed over once its e-mails are ready; a
// batch of one block runs it on the calling thread, which then writes its
// lines as they come (the trace and "DEBUG" lines of a lone e-mail among
// them). Otherwise each block keeps its failures and its tree warnings, and
// once every block is done the calling thread writes the warnings that come
// before the failure met first, then reports that failure.
class BlockRunner {
 public:
  BlockRunner(const RustEnsemble& ensemble, EmailBatch emails, const LateEmails* late,
              std::vector<CustomFeatures>& features, PipelineOutput& out, bool debug_lines,
              StageProfile* profile)
      : ensemble_(ensemble),
        emails_(emails),
        late_(late),
        features_(features),
        out_(out),
        debug_lines_(debug_lines),
        trace_(emails.size() == 1),
        profile_(profile),
        n_(emails.size()),
        starts_(block_starts(emails, late)),
        blocks_(starts_.size() - 1),
        outcomes_(blocks_, BlockOutcome(blocks_ == 1 ? TreeWarnings::Mode::kWriteAtOnce
                                                     : TreeWarnings::Mode::kKeep)) {
    for (std::vector<ProbabilityPair>& pairs : out_.base) pairs.resize(n_);
    out_.final_pairs.resize(n_);
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      const TfidfVectorizer& vectorizer = ensemble_.base_models[m].vectorizer;
      auto same = [&](const std::vector<std::size_t>& group) {
        return ensemble_.base_models[group[0]].vectorizer.shares_index_with(vectorizer);
      };
      auto group = std::find_if(vectorizer_groups_.begin(), vectorizer_groups_.end(), same);
      if (group == vectorizer_groups_.end()) {
        vectorizer_groups_.push_back({m});
      } else {
        group->push_back(m);
      }
    }
  }

  void run() {
    bool all_ready = true;
    if (blocks_ == 1) {
      all_ready = make_ready(0);
      if (all_ready) run_block(0, /*on_calling_thread=*/true);
    } else {
      all_ready = parallel_for_each_ready(
          blocks_, [&](std::size_t b) { return make_ready(b); },
          [&](std::size_t b) { run_block(b, false); });
    }
    if (!all_ready) throw BatchAbandoned();
    const std::optional<FirstFailure> failure = first_failure(outcomes_);
    write_tree_warnings(outcomes_, failure);
    if (failure) std::rethrow_exception(failure->error);
  }

 private:
  std::size_t begin(std::size_t block) const { return starts_[block]; }

  // Makes the late e-mails of block `b` ready, in order; called for
  // blocks 0, 1, ... in turn, on the calling thread, outside the pool.
  bool make_ready(std::size_t b) {
    if (late_ == nullptr) return true;
    const std::span<const std::size_t> indices = late_->indices;
    for (; next_late_ < indices.size() && indices[next_late_] < begin(b + 1); ++next_late_) {
      if (!late_->make_ready(indices[next_late_])) return false;
    }
    return true;
  }

  // Where a step's time goes in a profiled call; null otherwise.
  std::atomic<std::uint64_t>* counter(std::atomic<std::uint64_t> StageProfile::*stage) const {
    return profile_ != nullptr ? &(profile_->*stage) : nullptr;
  }
  std::atomic<std::uint64_t>* counter(
      std::array<std::atomic<std::uint64_t>, kBaseModels> StageProfile::*stage,
      std::size_t m) const {
    return profile_ != nullptr ? &(profile_->*stage)[m] : nullptr;
  }

  // Runs `step` of block `b`, timed, and keeps what it throws as the block's
  // failure at that stage and model. Returns whether it succeeded.
  template <typename Step>
  bool attempt(std::size_t b, Stage stage, std::size_t m, const Step& step) {
    StepFailure& failure = outcomes_[b].failure(stage, m);
    try {
      timed(stage == kClassify    ? counter(&StageProfile::classify, m)
            : stage == kTransform ? counter(&StageProfile::transform, m)
                                  : counter(kStageCounters[stage]),
            step);
      return true;
    } catch (const FatalError& error) {
      failure = {std::current_exception(), error.kind() == FatalError::Kind::kOutsideShape};
    } catch (...) {
      if (caught_thread_exit()) throw;
      failure = {std::current_exception(), false};
    }
    return false;
  }

  void score_meta(std::size_t b) {
    const std::size_t first = begin(b), rows = begin(b + 1) - first;
    std::array<std::span<const ProbabilityPair>, kBaseModels> base;
    for (std::size_t m = 0; m < kBaseModels; ++m) base[m] = {out_.base[m].data() + first, rows};
    std::vector<ProbabilityPair> pairs =
        meta_predict(ensemble_, std::span<const CustomFeatures>(features_.data() + first, rows),
                     base, debug_lines_);
    std::copy(pairs.begin(), pairs.end(), out_.final_pairs.begin() + first);
  }

  // Runs every step of block `b`. Running it again gives the same outcome.
  void run_block(std::size_t b, bool on_calling_thread) {
    const std::size_t first = begin(b), last = begin(b + 1), rows = last - first;
    BlockOutcome& outcome = outcomes_[b];
    outcome.failures = {};
    for (TreeWarnings& warnings : outcome.warnings) warnings.clear();
    auto attempt = [&](Stage stage, std::size_t m, const auto& step) {
      return this->attempt(b, stage, m, step);
    };

    std::vector<std::string> lowered(rows);
    if (!attempt(kLowerCase, 0, [&] {
          for (std::size_t i = 0; i < rows; ++i) lowered[i] = to_lower(emails_[first + i]);
        })) {
      return;
    }
    if (!attempt(kFeaturing, 0, [&] {
          for (std::size_t i = 0; i < rows; ++i) {
            features_[first + i] = extract_custom_features(emails_[first + i], lowered[i]);
          }
        })) {
      return;
    }
    // Vectorizers that share a term index are counted together. A block of
    // a batch of several is one of many tasks; a lone block runs its groups
    // side by side.
    std::array<CsrMatrix, kBaseModels> tfidf;
    std::array<bool, kBaseModels> transformed{};
    auto transform = [&](std::size_t g) {
      const std::vector<std::size_t>& group = vectorizer_groups_[g];
      std::vector<const TfidfVectorizer*> vectorizers;
      for (std::size_t m : group) vectorizers.push_back(&ensemble_.base_models[m].vectorizer);
      std::vector<std::vector<TfidfRow>> rows;
      if (!attempt(kTransform, group[0],
                   [&] { rows = TfidfVectorizer::count_together(vectorizers, lowered); })) {
        return;
      }
      for (std::size_t i = 0; i < group.size(); ++i) {
        transformed[group[i]] = attempt(kTransform, group[i], [&] {
          tfidf[group[i]] = vectorizers[i]->to_matrix(std::move(rows[i]));
        });
      }
    };
    if (on_calling_thread) {
      parallel_for_index(vectorizer_groups_.size(), transform);
    } else {
      for (std::size_t g = 0; g < vectorizer_groups_.size(); ++g) transform(g);
    }
    if (std::find(transformed.begin(), transformed.end(), false) != transformed.end()) return;
    lowered = {};

    std::array<std::vector<double>, kBaseModels> scaled;
    if (!attempt(kScaling, 0, [&] {
          scaled = scale_features(ensemble_,
                                  std::span<const CustomFeatures>(features_.data() + first, rows));
        })) {
      return;
    }
    for (std::size_t m = 0; m < kBaseModels; ++m) {
      CsrMatrix joined;
      timed(counter(&StageProfile::join, m),
            [&] { joined = combine_features(tfidf[m], scaled[m]); });
      tfidf[m] = CsrMatrix();
      if (!attempt(kClassify, m, [&] {
            std::vector<ProbabilityPair> pairs =
                ensemble_.base_models[m].predict_proba(joined, trace_, outcome.warnings[m]);
            std::copy(pairs.begin(), pairs.end(), out_.base[m].begin() + first);
          })) {
        return;
      }
    }
    attempt(kMeta, 0, [&] { score_meta(b); });
  }

  const RustEnsemble& ensemble_;
  const EmailBatch emails_;
  const LateEmails* const late_;  // null when every e-mail is ready
  std::size_t next_late_ = 0;     // the first of late_->indices not yet made ready
  std::vector<CustomFeatures>& features_;
  PipelineOutput& out_;
  const bool debug_lines_;  // the "DEBUG" lines of a batch of one
  const bool trace_;        // the boosted trees' trace of a batch of one
  StageProfile* profile_;   // null unless the call is profiled
  const std::size_t n_;
  const std::vector<std::size_t> starts_;  // of each block, then n_
  const std::size_t blocks_;
  std::vector<std::vector<std::size_t>> vectorizer_groups_;  // models by shared index, ascending
  std::vector<BlockOutcome> outcomes_;
};

PipelineOutput run_pipeline(const RustEnsemble& ensemble, EmailBatch emails, const LateEmails* late,
                            bool debug_lines, StageProfile* profile = nullptr) {
  const std::size_t n = emails.size();
  std::vector<CustomFeatures> features(n);
  PipelineOutput out;
  BlockRunner(ensemble, emails, late, features, out, debug_lines, profile).run();
  return out;
}

LabelProbability final_label(const ProbabilityPair& pair, double probability_if_clean) {
  if (pair.spam_prob > pair.clean_prob) return {"spam", pair.spam_prob};
  return {"clean", probability_if_clean};
}

}  // namespace

std::vector<ProbabilityPair> stacked_predict_proba(const RustEnsemble& ensemble, EmailBatch emails,
                                                   const LateEmails* late) {
  return run_pipeline(ensemble, emails, late, emails.size() == 1).final_pairs;
}

std::vector<LabelProbability> predict_batch_impl(const RustEnsemble& ensemble, EmailBatch emails,
                                                 const LateEmails* late) {
  std::vector<ProbabilityPair> pairs = stacked_predict_proba(ensemble, emails, late);
  std::vector<LabelProbability> labels;
  labels.reserve(pairs.size());
  for (const ProbabilityPair& pair : pairs) labels.push_back(final_label(pair, pair.clean_prob));
  return labels;
}

std::vector<ProbabilityPair> predict_proba_batch_impl(const RustEnsemble& ensemble,
                                                      EmailBatch emails, const LateEmails* late) {
  return stacked_predict_proba(ensemble, emails, late);
}

std::vector<ProbabilityPair> stacked_predict_proba_profiled(const RustEnsemble& ensemble,
                                                            EmailBatch emails,
                                                            StageProfile& profile) {
  return run_pipeline(ensemble, emails, nullptr, emails.size() == 1, &profile).final_pairs;
}

std::vector<BaseAndFinalPrediction> predict_with_base_models_impl(const RustEnsemble& ensemble,
                                                                  EmailBatch emails,
                                                                  const LateEmails* late) {
  PipelineOutput out = run_pipeline(ensemble, emails, late, false);
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
