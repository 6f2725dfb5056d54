// The two ways a classifier turns per-class scores into a (clean, spam) pair.
// The arithmetic order matches training-time scoring, so nothing here is
// reordered or fused.
#ifndef VESKO_MODELS_SOFTMAX_H_
#define VESKO_MODELS_SOFTMAX_H_

#include <cmath>
#include <span>

#include "models/probability_pair.h"

namespace vesko {

// Logistic sigmoid of one score: spam = 1/(1 + exp(-score)), the pair
// (1 - spam, spam). Never fails; NaN and infinities pass through.
inline ProbabilityPair sigmoid_pair(double score) {
  const double spam = 1.0 / (1.0 + std::exp(-score));
  return {1.0 - spam, spam};
}

// Softmax over all `scores`, shifted by their largest non-NaN value, of which
// the first two probabilities are returned. `exps` is scratch of at least
// scores.size() entries. Throws FatalError as an index failure on the
// probability list when fewer than two scores are given (len 0 index 0, or
// len 1 index 1). Thread-safe: touches only its arguments.
ProbabilityPair softmax_first_two(std::span<const double> scores, std::span<double> exps);

}  // namespace vesko

#endif  // VESKO_MODELS_SOFTMAX_H_
