#include "ensemble/feature_scaler.h"

#include <algorithm>

#include "common/fatal_error.h"

namespace vesko {
namespace {

// The first index at which `first` or `second` runs out, with `first` read
// before `second` at every index, as the arithmetic does.
void check_lengths(std::size_t n, const std::vector<double>& first,
                   const std::vector<double>& second) {
  std::size_t limit = std::min(first.size(), second.size());
  if (limit >= n) return;
  throw_index_out_of_bounds(first.size() == limit ? first.size() : second.size(), limit);
}

}  // namespace

FeatureScaler FeatureScaler::from_tfidf_model(const TfidfModel& model) {
  FeatureScaler scaler;
  scaler.scaler_type = model.scaler_type.value_or("none");
  scaler.scaler_mean = model.scaler_mean;
  scaler.scaler_scale = model.scaler_scale;
  scaler.scaler_min = model.scaler_min;
  return scaler;
}

void apply_feature_scaler(std::span<const double> features, const FeatureScaler& scaler,
                          std::span<double> out) {
  const std::size_t n = features.size();
  if (scaler.scaler_type == "standard" && scaler.scaler_mean && scaler.scaler_scale) {
    const std::vector<double>& mean = *scaler.scaler_mean;
    const std::vector<double>& scale = *scaler.scaler_scale;
    check_lengths(n, mean, scale);
    for (std::size_t i = 0; i < n; ++i) out[i] = (features[i] - mean[i]) / scale[i];
  } else if (scaler.scaler_type == "minmax" && scaler.scaler_min && scaler.scaler_scale) {
    const std::vector<double>& min = *scaler.scaler_min;
    const std::vector<double>& scale = *scaler.scaler_scale;
    check_lengths(n, min, scale);
    for (std::size_t i = 0; i < n; ++i) out[i] = (features[i] - min[i]) * scale[i];
  } else {
    std::copy(features.begin(), features.end(), out.begin());
  }
}

}  // namespace vesko
