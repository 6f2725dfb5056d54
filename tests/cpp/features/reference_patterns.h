// The five feature patterns as compiled regular expressions: the reference
// that the hand-written scanners of features/pattern_scan.h are checked
// against, in tests and in the differential fuzzer. RE2's \d and \s are
// ASCII-only, while the models were trained with a regex engine whose \d is
// every Nd character and \s every White_Space character, so both are spelled
// out. Defaults otherwise: UTF-8, case-sensitive, and a negated class such as
// [^>] matches line feeds too.
#ifndef VESKO_TESTS_FEATURES_REFERENCE_PATTERNS_H_
#define VESKO_TESTS_FEATURES_REFERENCE_PATTERNS_H_

#include <re2/re2.h>

#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace vesko {

#define VESKO_WHITE_SPACE \
  "\\t-\\r "              \
  "\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}\\x{205F}\\x{3000}"

struct ReferencePatterns {
  RE2 html_tag{"<[^>]+>", options()};
  RE2 base64{"[A-Za-z0-9+/]{20,}={0,2}", options()};
  RE2 html_entity{"&[a-zA-Z]+;|&#\\p{Nd}+;", options()};
  RE2 url{"https?://[^" VESKO_WHITE_SPACE "]+|www\\.[^" VESKO_WHITE_SPACE "]+", options()};
  RE2 repeated_punct{"[!?]{2,}", options()};

  static const ReferencePatterns& instance() {
    static const ReferencePatterns patterns;
    return patterns;
  }

 private:
  static RE2::Options options() {
    RE2::Options options;
    options.set_log_errors(false);
    return options;
  }
  ReferencePatterns() {
    for (const RE2* p : {&html_tag, &base64, &html_entity, &url, &repeated_punct}) {
      if (!p->ok()) std::abort();
    }
  }
};

#undef VESKO_WHITE_SPACE

// The non-overlapping leftmost-first matches of a pattern, found from left to
// right, each search resuming where the previous match ended.
struct MatchTally {
  std::size_t count = 0;
  std::size_t total_bytes = 0;  // the byte lengths of the matches, summed
};

inline MatchTally tally_matches(const RE2& pattern, std::string_view text) {
  MatchTally tally;
  const re2::StringPiece input(text.data(), text.size());
  re2::StringPiece match;
  std::size_t pos = 0;
  while (pos < text.size() && pattern.Match(input, pos, text.size(), RE2::UNANCHORED, &match, 1)) {
    ++tally.count;
    tally.total_bytes += match.size();
    const std::size_t end = static_cast<std::size_t>(match.data() - text.data()) + match.size();
    pos = match.empty() ? end + 1 : end;  // none of the five matches the empty string
  }
  return tally;
}

}  // namespace vesko

#endif  // VESKO_TESTS_FEATURES_REFERENCE_PATTERNS_H_
