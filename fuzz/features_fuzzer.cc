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

namespace {

// Length of the well-formed UTF-8 sequence at data[i] (no overlongs, no
// surrogates, nothing above U+10FFFF), or 0 when none starts there.
std::size_t sequence_length(const std::uint8_t* data, std::size_t size, std::size_t i) {
  const std::uint8_t b0 = data[i];
  if (b0 < 0x80) return 1;
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (size - i < length) return 0;
  if (data[i + 1] < low || data[i + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((data[i + k] & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::string make_valid_utf8(const std::uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size;) {
    const std::size_t length = sequence_length(data, size, i);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      ++i;
    } else {
      text.append(reinterpret_cast<const char*>(data + i), length);
      i += length;
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = make_valid_utf8(data, size);
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
