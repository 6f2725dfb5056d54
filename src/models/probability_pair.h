#ifndef VESKO_MODELS_PROBABILITY_PAIR_H_
#define VESKO_MODELS_PROBABILITY_PAIR_H_

namespace vesko {

// The output of every classifier for one e-mail: index 0 "clean", index 1 "spam".
struct ProbabilityPair {
  double clean_prob;
  double spam_prob;
};

}  // namespace vesko

#endif  // VESKO_MODELS_PROBABILITY_PAIR_H_
