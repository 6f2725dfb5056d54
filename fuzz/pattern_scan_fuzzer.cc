// Differential fuzzing of the hand-written feature scanners against the
// compiled expressions they replace, on valid UTF-8.
#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "features/pattern_scan.h"
#include "features/patterns.h"

namespace {

// Keeps the well-formed characters of the input, in order.
std::string valid_utf8(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve(size);
  int32_t i = 0;
  const int32_t length = static_cast<int32_t>(size);
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(data, i, length, c);
    if (c >= 0)
      out.append(reinterpret_cast<const char*>(data + start), static_cast<std::size_t>(i - start));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = valid_utf8(data, size);
  const vesko::FeaturePatterns& p = vesko::FeaturePatterns::instance();
  if (vesko::count_html_tags(text) != vesko::tally_matches(p.html_tag, text).count ||
      vesko::base64_match_bytes(text) != vesko::tally_matches(p.base64, text).total_bytes ||
      vesko::count_html_entities(text) != vesko::tally_matches(p.html_entity, text).count ||
      vesko::count_urls(text) != vesko::tally_matches(p.url, text).count ||
      vesko::count_repeated_punct(text) != vesko::tally_matches(p.repeated_punct, text).count) {
    std::abort();
  }
  return 0;
}
