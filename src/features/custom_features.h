// The 29 hand-made features of one e-mail. Their positions are part of the
// model files' contract: the scalers, coefficients and tree splits address
// each feature by its index, so every value must be computed exactly as the
// models were trained and stored at its index.
#ifndef VESKO_FEATURES_CUSTOM_FEATURES_H_
#define VESKO_FEATURES_CUSTOM_FEATURES_H_

#include <array>
#include <cstddef>
#include <string_view>

namespace vesko {

inline constexpr std::size_t kCustomFeatureCount = 29;
using CustomFeatures = std::array<double, kCustomFeatureCount>;

// `text` is the e-mail as received (valid UTF-8); `lowered` its lower-cased
// copy (to_lower). Every value is finite and non-negative. Reentrant; shares
// only read-only tables.
CustomFeatures extract_custom_features(std::string_view text, std::string_view lowered);

}  // namespace vesko

#endif  // VESKO_FEATURES_CUSTOM_FEATURES_H_
