// The five regular expressions of the hand-made features, compiled once per
// process, and the way their matches are counted.
#ifndef VESKO_FEATURES_PATTERNS_H_
#define VESKO_FEATURES_PATTERNS_H_

#include <re2/re2.h>

#include <cstddef>
#include <string_view>

namespace vesko {

// Compiled on first use, in this order, under a one-time initialisation (a
// concurrent first caller waits); read-only afterwards and shared by every
// thread: RE2 gives each concurrent search its own scratch space.
struct FeaturePatterns {
  RE2 html_tag;        // <[^>]+>
  RE2 base64;          // [A-Za-z0-9+/]{20,}={0,2}
  RE2 html_entity;     // &[a-zA-Z]+;|&#\d+;  (\d: any Nd character)
  RE2 url;             // https?://[^\s]+|www\.[^\s]+  (\s: any White_Space character)
  RE2 repeated_punct;  // [!?]{2,}

  static const FeaturePatterns& instance();

 private:
  FeaturePatterns();
};

// The non-overlapping leftmost-first matches of a pattern, found from left to
// right, each search resuming where the previous match ended.
struct MatchTally {
  std::size_t count = 0;
  std::size_t total_bytes = 0;  // the byte lengths of the matches, summed
};

// Linear in text.size() for the five patterns above; reentrant, never fails.
MatchTally tally_matches(const RE2& pattern, std::string_view text);

}  // namespace vesko

#endif  // VESKO_FEATURES_PATTERNS_H_
