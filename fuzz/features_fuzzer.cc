// The 29 features of any e-mail text are finite and non-negative: the scalers
// and the meta classifier take them as they are, so one NaN or negative count
// would silently poison every probability downstream. The features are only
// defined for valid UTF-8 (the module hands them Python strings), so invalid
// bytes are first replaced by U+FFFD, as a decoder with errors="replace" does.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/lowercase.h"
#include "features/custom_features.h"
#include "valid_utf8.h"

namespace {}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = vesko::fuzz::make_valid_utf8(data, size);
  const std::string lowered = vesko::to_lower(text);
  const vesko::CustomFeatures features = vesko::extract_custom_features(text, lowered);
  for (std::size_t i = 0; i < features.size(); ++i) {
    if (!std::isfinite(features[i]) || features[i] < 0.0) {
      std::fprintf(stderr, "feature %zu is %.17g\n", i, features[i]);
      std::abort();
    }
  }
  return 0;
}
