// Per-model scaling of the 29 hand-made features before they join a base
// model's TF-IDF columns. The scaler comes from the model's TfidfModel file.
#ifndef VESKO_ENSEMBLE_FEATURE_SCALER_H_
#define VESKO_ENSEMBLE_FEATURE_SCALER_H_

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tfidf/tfidf_model.h"

namespace vesko {

// "standard": (x - mean) / scale; "minmax": (x - min) * scale; any other type,
// or a type without the vectors it needs, leaves the features unchanged.
// Immutable after load; safe to share across threads.
struct FeatureScaler {
  std::string scaler_type = "none";
  std::optional<std::vector<double>> scaler_mean;
  std::optional<std::vector<double>> scaler_scale;
  std::optional<std::vector<double>> scaler_min;

  // Copies the scaler fields of a TfidfModel ("none" when it names no type).
  static FeatureScaler from_tfidf_model(const TfidfModel& model);
};

// Writes the scaled features into `out` (same length as `features`). Throws
// FatalError when a vector the scaling uses is shorter than `features`,
// before anything is written.
void apply_feature_scaler(std::span<const double> features, const FeatureScaler& scaler,
                          std::span<double> out);

}  // namespace vesko

#endif  // VESKO_ENSEMBLE_FEATURE_SCALER_H_
