// The 29 features of any e-mail text are finite and non-negative: the scalers
// and the meta classifier take them as they are, so one NaN or negative count
// would silently poison every probability downstream. The block scanners
// behind them must also count exactly what a plain walk over the characters
// counts (tests/cpp/features/reference_counts.h), and the word-list automaton
// find exactly what substring searches find. The features are only defined
// for valid UTF-8 (the module hands them Python strings), so invalid bytes
// are first replaced by U+FFFD, as a decoder with errors="replace" does.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/lowercase.h"
#include "features/custom_features.h"
#include "features/literal_set.h"
#include "features/reference_counts.h"
#include "features/text_scan.h"
#include "features/word_scan.h"
#include "valid_utf8.h"

namespace {

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

// Literals of the word lists that are short, contain each other, end in
// punctuation, or are the longest, which sets the overlap of the parts.
const std::vector<std::string_view> kLiterals = {
    "now", "know", "re:", ".ml", "refund", "tax refund", "verify your account", "x"};

void check_literals(std::string_view lowered) {
  static const vesko::LiteralSet set(kLiterals);
  const vesko::LiteralMask found = set.find(lowered);
  for (std::size_t i = 0; i < kLiterals.size(); ++i) {
    if (found.test(i) != (lowered.find(kLiterals[i]) != std::string_view::npos)) {
      fail("literal set", std::string(kLiterals[i]));
    }
  }
}

}  // namespace

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
  const std::string text_difference =
      vesko::describe_difference(vesko::count_text(text), vesko::reference_text_counts(text));
  if (!text_difference.empty()) fail("count_text", text_difference);
  if (vesko::count_uppercase(text) != vesko::reference_text_counts(text).uppercase) {
    fail("count_uppercase", "");
  }
  const std::string word_difference =
      vesko::describe_difference(vesko::count_words(lowered), vesko::reference_words(lowered));
  if (!word_difference.empty()) fail("count_words", word_difference);
  check_literals(lowered);
  return 0;
}
