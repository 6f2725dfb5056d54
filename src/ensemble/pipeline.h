// The batch prediction road: lower-case and featurise every e-mail, run the
// four TF-IDF transforms, scale the features per model, classify with each
// base model, then the meta classifier over the base probabilities and the
// raw features. Every step is per e-mail, so a batch goes through all of them
// in blocks of e-mails, one pool task per block, and no whole-batch matrix is
// ever built; results keep input order whatever the scheduling, and do not
// depend on the pool's size. A batch of a single block runs on the calling
// thread. What a call reports is what running each step over the whole batch
// before the next would report: the same failure, and the same lines on
// standard error in the same order, all written by the calling thread.
#ifndef VESKO_ENSEMBLE_PIPELINE_H_
#define VESKO_ENSEMBLE_PIPELINE_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "ensemble/rust_ensemble.h"
#include "models/probability_pair.h"

namespace vesko {

// A batch's e-mails, as views of texts that outlive the call.
using EmailBatch = std::span<const std::string_view>;

// E-mails of a batch that the calling thread makes ready while the pool
// already works on the others: texts it must first convert, one by one, under
// a lock that only it holds. Until make_ready(i) has returned true, the view
// of e-mail i is not read, and its size for splitting the batch into blocks
// is the estimate. make_ready is called for the indices in ascending order,
// on the calling thread, outside the pool, and no task waits for it: it may
// run any code, vesko's own calls and forced unwinds included.
struct LateEmails {
  std::span<const std::size_t> indices;          // ascending
  std::span<const std::size_t> estimated_sizes;  // one per index
  std::function<bool(std::size_t index)> make_ready;
};

// Thrown when make_ready returned false: the batch is abandoned, and the
// reason is the caller's to report. Nothing it started is still running.
struct BatchAbandoned {};

struct LabelProbability {
  const char* label;  // "spam" or "clean"
  double probability;
};

struct BaseAndFinalPrediction {
  std::array<LabelProbability, 4> base_predictions;
  LabelProbability final_prediction;
};

// The meta classifier's (clean, spam) pair per e-mail, in input order. For a
// batch of exactly one e-mail writes the boosted trees' trace and the "DEBUG"
// lines of each base model's pair, the first 10 features and the first 16
// meta-features. Writes the "WARNING: " lines of tree walks that give up.
// Throws FatalError when the model files disagree with each other. E-mails
// named by `late` are made ready during the call; when one cannot be, throws
// BatchAbandoned instead of any FatalError, before writing any line. So do
// the three methods below.
std::vector<ProbabilityPair> stacked_predict_proba(const RustEnsemble& ensemble, EmailBatch emails,
                                                   const LateEmails* late = nullptr);

// ("spam", spam) when spam > clean, else ("clean", clean).
std::vector<LabelProbability> predict_batch_impl(const RustEnsemble& ensemble, EmailBatch emails,
                                                 const LateEmails* late = nullptr);

// stacked_predict_proba unchanged.
std::vector<ProbabilityPair> predict_proba_batch_impl(const RustEnsemble& ensemble,
                                                      EmailBatch emails,
                                                      const LateEmails* late = nullptr);

// Each base model's label ("spam" when its spam probability > 0.5) with its
// spam probability, and the final label with the final spam probability. No
// "DEBUG" lines of the ensemble's own.
std::vector<BaseAndFinalPrediction> predict_with_base_models_impl(const RustEnsemble& ensemble,
                                                                  EmailBatch emails,
                                                                  const LateEmails* late = nullptr);

// Where a call's time goes, for the stage benchmark: the nanoseconds each step
// took, summed over every block and every thread that ran it. Vectorizers
// counted together have their counting timed with the first of them.
struct StageProfile {
  std::atomic<std::uint64_t> lower_case{0};
  std::atomic<std::uint64_t> features{0};
  std::array<std::atomic<std::uint64_t>, 4> transform{};
  std::atomic<std::uint64_t> scaling{0};
  std::array<std::atomic<std::uint64_t>, 4> join{};
  std::array<std::atomic<std::uint64_t>, 4> classify{};
  std::atomic<std::uint64_t> meta{0};  // the meta rows and the meta classifier
};

// stacked_predict_proba with every step timed into `profile`.
std::vector<ProbabilityPair> stacked_predict_proba_profiled(const RustEnsemble& ensemble,
                                                            EmailBatch emails,
                                                            StageProfile& profile);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_PIPELINE_H_
