#include "features/patterns.h"

#include <gtest/gtest.h>

#include <string>

namespace vesko {
namespace {

struct PatternCase {
  const RE2 FeaturePatterns::*pattern;
  std::string text;
  std::size_t count;
  std::size_t total_bytes;
};

TEST(FeaturePatternsTest, MatchesAreLeftmostFirstAndNonOverlapping) {
  using P = FeaturePatterns;
  const PatternCase cases[] = {
      // A negated class matches line feeds and any other character but '>'.
      {&P::html_tag, "<a\nhref='x'>", 1, 12},
      {&P::html_tag, "<> <<b> <\xC3\xA9>", 2, 8},
      {&P::html_tag, "<unclosed", 0, 0},
      {&P::base64, std::string(19, 'x'), 0, 0},
      {&P::base64, std::string(20, 'x') + "===", 1, 22},
      {&P::base64, std::string(45, '/') + " " + std::string(20, '9') + "=", 2, 66},
      {&P::html_entity, "&amp; &#39; &#x27; &; &#;", 2, 10},
      // \d is any Nd digit: ARABIC-INDIC three and nine.
      {&P::html_entity, "&#\xD9\xA3\xD9\xA9;", 1, 7},
      {&P::url, "HTTP://a.b https://x.y/www.z www.q", 2, 22},
      // U+2028 and U+3000 end a URL; U+200B does not.
      {&P::url,
       "http://a\xE2\x80\xA8http://b\xE3\x80\x80www.c\xE2\x80\x8B"
       "d",
       3, 25},
      {&P::url, "http://a\u0085http://b\u00A0\u001Cc", 2, 16},
      {&P::url, "http://", 0, 0},
      {&P::repeated_punct, "!!!! ?! ! ?", 2, 6},
  };
  const FeaturePatterns& patterns = FeaturePatterns::instance();
  for (const PatternCase& c : cases) {
    const RE2& pattern = patterns.*c.pattern;
    MatchTally tally = tally_matches(pattern, c.text);
    EXPECT_EQ(tally.count, c.count) << pattern.pattern() << " on " << c.text;
    EXPECT_EQ(tally.total_bytes, c.total_bytes) << pattern.pattern() << " on " << c.text;
  }
}

}  // namespace
}  // namespace vesko
