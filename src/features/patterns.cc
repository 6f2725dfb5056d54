#include "features/patterns.h"

#include <stdexcept>
#include <string>

namespace vesko {
namespace {

// RE2's \d and \s are ASCII-only, while the models were trained with a regex
// engine whose \d is every Nd character and \s every White_Space character,
// so both are spelled out.
#define VESKO_WHITE_SPACE \
  "\\t-\\r "              \
  "\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}\\x{205F}\\x{3000}"

constexpr const char kHtmlTag[] = "<[^>]+>";
constexpr const char kBase64[] = "[A-Za-z0-9+/]{20,}={0,2}";
constexpr const char kHtmlEntity[] = "&[a-zA-Z]+;|&#\\p{Nd}+;";
constexpr const char kUrl[] = "https?://[^" VESKO_WHITE_SPACE "]+|www\\.[^" VESKO_WHITE_SPACE "]+";
constexpr const char kRepeatedPunct[] = "[!?]{2,}";

#undef VESKO_WHITE_SPACE

RE2::Options pattern_options() {
  // Defaults otherwise: UTF-8, case-sensitive, and a negated class such as
  // [^>] matches line feeds too.
  RE2::Options options;
  options.set_log_errors(false);
  return options;
}

void require_compiled(const RE2& pattern) {
  // The patterns are fixed; failing here is a programming error.
  if (!pattern.ok()) {
    throw std::logic_error("feature pattern " + pattern.pattern() + ": " + pattern.error());
  }
}

}  // namespace

FeaturePatterns::FeaturePatterns()
    : html_tag(kHtmlTag, pattern_options()),
      base64(kBase64, pattern_options()),
      html_entity(kHtmlEntity, pattern_options()),
      url(kUrl, pattern_options()),
      repeated_punct(kRepeatedPunct, pattern_options()) {
  for (const RE2* pattern : {&html_tag, &base64, &html_entity, &url, &repeated_punct}) {
    require_compiled(*pattern);
  }
}

const FeaturePatterns& FeaturePatterns::instance() {
  static const FeaturePatterns patterns;
  return patterns;
}

MatchTally tally_matches(const RE2& pattern, std::string_view text) {
  MatchTally tally;
  const re2::StringPiece input(text.data(), text.size());
  re2::StringPiece match;
  std::size_t pos = 0;
  while (pos < text.size() && pattern.Match(input, pos, text.size(), RE2::UNANCHORED, &match, 1)) {
    ++tally.count;
    tally.total_bytes += match.size();
    const std::size_t end = static_cast<std::size_t>(match.data() - text.data()) + match.size();
    // None of the patterns matches the empty string; the guard keeps the loop
    // finite should one ever do so.
    pos = match.empty() ? end + 1 : end;
  }
  return tally;
}

}  // namespace vesko
