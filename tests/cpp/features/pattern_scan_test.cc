#include "features/pattern_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_patterns.h"
#include "piece_texts.h"

namespace vesko {
namespace {

void expect_same_as_patterns(const std::string& text) {
  const ReferencePatterns& p = ReferencePatterns::instance();
  EXPECT_EQ(count_html_tags(text), tally_matches(p.html_tag, text).count) << text;
  EXPECT_EQ(base64_match_bytes(text), tally_matches(p.base64, text).total_bytes) << text;
  EXPECT_EQ(count_html_entities(text), tally_matches(p.html_entity, text).count) << text;
  EXPECT_EQ(count_urls(text), tally_matches(p.url, text).count) << text;
  EXPECT_EQ(count_repeated_punct(text), tally_matches(p.repeated_punct, text).count) << text;
}

// The reference matches as the training engine did: negated classes take
// line feeds, \d is any Nd digit, \s the 25 White_Space characters.
TEST(PatternScan, ReferenceExpressionsMatchAsTrained) {
  const ReferencePatterns& p = ReferencePatterns::instance();
  const struct {
    const RE2& pattern;
    std::string text;
    std::size_t count, bytes;
  } cases[] = {
      // clang-format off
      {p.html_tag, "<> <<b> <\xC3\xA9> <a\nb> <unclosed", 3, 13},
      {p.base64, std::string(45, '/') + " " + std::string(20, '9') + "===", 2, 67},
      {p.base64, std::string(19, 'x'), 0, 0},
      {p.html_entity, "&amp; &#39; &#x27; &; &#; &#\xD9\xA3\xD9\xA9;", 3, 17},
      {p.url, "HTTP://a.b https://x.y/www.z www.q httpx://n http:// www.", 2, 22},
      {p.url, "http://a\xE2\x80\xA8http://b\xE3\x80\x80www.c\xE2\x80\x8B" "d", 3, 25},
      {p.url, "http://a\u0085http://b\u00A0\u001Cc", 2, 16},
      {p.repeated_punct, "!!!! ?! ! ?", 2, 6},
      // clang-format on
  };
  for (const auto& c : cases) {
    const MatchTally tally = tally_matches(c.pattern, c.text);
    EXPECT_EQ(tally.count, c.count) << c.text;
    EXPECT_EQ(tally.total_bytes, c.bytes) << c.text;
    expect_same_as_patterns(c.text);
  }
}

// Random texts of pieces on the patterns' edges; then edge pieces at every
// offset of three chunks, in fillers that extend them or cut them off
// (matches that begin or end at a block or chunk edge or at either end of
// the text, runs carried across chunks); then link bodies, skipped a block
// at a time, of every length up to the first character that may end them.
TEST(PatternScan, AgreesWithTheExpressions) {
  // clang-format off
  const std::vector<std::string> pieces = {
      "<", ">", "<>", "&", "#", ";", "&#", "amp", "a", "Z", "9", "+", "/", "=", "==", "http",
      "https", "://", "s://", "www.", "www", ".", "!", "?", " ", "\t", "\n", "\xC2\x85",
      "\xC2\xA0", "\xE2\x80\xA8", "\xE3\x80\x80", "\xE2\x80\x8B", "\xD9\xA3", "\xEF\xBC\x91",
      "\xC3\xA9", "\xF0\x9F\x98\x80", "AAAAAAAAAAAAAAAAAAA", "x"};
  // clang-format on
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000 && !HasFailure(); ++round) {
    expect_same_as_patterns(testing_texts::random_text(rng, pieces, 60));
  }
  testing_texts::at_every_offset({"<a>", "<>", "!?", "!", "&amp;", "&#\xD9\xA3;", "www.",
                                  "https://x", "=", "AAAAAAAAAAAAAAAAAAAA=="},
                                 {" ", "b", "?", "h", "<"}, 140, {0, 1, 2, 3, 17, 62},
                                 expect_same_as_patterns);
  const std::vector<std::string> ends = {
      " ", "\n", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x8B", "\xC3\xA9"};
  for (const char* head : {"http://", "www."}) {
    testing_texts::at_every_offset(ends, {"b"}, 40, {0, 1, 20}, expect_same_as_patterns, head);
  }
}

}  // namespace
}  // namespace vesko
