#include "models/softmax.h"

#include <cmath>
#include <limits>

#include "common/fatal_error.h"

namespace vesko {

ProbabilityPair softmax_first_two(std::span<const double> scores, std::span<double> exps) {
  const std::size_t n = scores.size();
  if (n == 0) throw_index_out_of_bounds(0, 0);

  // A NaN score never becomes the shift; it still poisons Z below, so the
  // whole row turns NaN rather than silently dropping a class.
  double m = -std::numeric_limits<double>::infinity();
  for (double s : scores) {
    if (s > m) m = s;
  }
  // -0.0 is the exact additive identity (-0.0 + x is x, +0.0 included).
  double z = -0.0;
  for (std::size_t c = 0; c < n; ++c) {
    exps[c] = std::exp(scores[c] - m);
    z = z + exps[c];
  }
  const double p0 = exps[0] / z;
  if (n < 2) throw_index_out_of_bounds(1, 1);
  return {p0, exps[1] / z};
}

}  // namespace vesko
