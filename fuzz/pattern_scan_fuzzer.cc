// Differential fuzzing of the hand-written feature scanners against the
// compiled expressions they replace, on valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "features/pattern_scan.h"
#include "features/reference_patterns.h"
#include "valid_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = vesko::fuzz::make_valid_utf8(data, size);
  const vesko::ReferencePatterns& p = vesko::ReferencePatterns::instance();
  if (vesko::count_html_tags(text) != vesko::tally_matches(p.html_tag, text).count ||
      vesko::base64_match_bytes(text) != vesko::tally_matches(p.base64, text).total_bytes ||
      vesko::count_html_entities(text) != vesko::tally_matches(p.html_entity, text).count ||
      vesko::count_urls(text) != vesko::tally_matches(p.url, text).count ||
      vesko::count_repeated_punct(text) != vesko::tally_matches(p.repeated_punct, text).count) {
    std::abort();
  }
  return 0;
}
