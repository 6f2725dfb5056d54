#include "features/pattern_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_patterns.h"

namespace vesko {
namespace {

// Every scanner must count exactly what its compiled expression matches.
void expect_same_as_patterns(const std::string& text) {
  const ReferencePatterns& p = ReferencePatterns::instance();
  EXPECT_EQ(count_html_tags(text), tally_matches(p.html_tag, text).count) << text;
  EXPECT_EQ(base64_match_bytes(text), tally_matches(p.base64, text).total_bytes) << text;
  EXPECT_EQ(count_html_entities(text), tally_matches(p.html_entity, text).count) << text;
  EXPECT_EQ(count_urls(text), tally_matches(p.url, text).count) << text;
  EXPECT_EQ(count_repeated_punct(text), tally_matches(p.repeated_punct, text).count) << text;
}

TEST(PatternScan, KnownCases) {
  EXPECT_EQ(count_html_tags("<> <<b> <\xC3\xA9> <a\nb>"), 3u);
  EXPECT_EQ(count_html_tags("<unclosed"), 0u);
  EXPECT_EQ(base64_match_bytes(std::string(20, 'x') + "==="), 22u);
  EXPECT_EQ(base64_match_bytes(std::string(19, 'x')), 0u);
  EXPECT_EQ(count_html_entities("&amp; &#39; &#x27; &; &#; &#\xD9\xA3\xD9\xA9;"), 3u);
  EXPECT_EQ(count_urls("HTTP://a.b https://x.y/www.z www.q httpx://n http:// www."), 2u);
  EXPECT_EQ(count_repeated_punct("!!!! ?! ! ?"), 2u);
  for (const char* text :
       {"", "<>", "<<>>", "&&amp;;", "&#&#12;", "wwww.x", "hhttp://x", "https://\xE3\x80\x80",
        "http://a\xE2\x80\xA8http://b\xE3\x80\x80www.c\xE2\x80\x8B"
        "d",
        "http://a\xC2\x85http://b\xC2\xA0\x1C"
        "c",
        "AAAAAAAAAAAAAAAAAAAA==BBBBBBBBBBBBBBBBBBBBBBBB=", "!?!?", "a!!b??c!"}) {
    expect_same_as_patterns(text);
  }
}

// The reference itself matches as the training engine did: negated classes
// take line feeds, \d is any Nd digit, \s the 25 White_Space characters.
TEST(PatternScan, ReferenceExpressionsMatchAsTrained) {
  const ReferencePatterns& p = ReferencePatterns::instance();
  EXPECT_EQ(tally_matches(p.html_tag, "<a\nhref='x'>").total_bytes, 12u);
  EXPECT_EQ(
      tally_matches(p.base64, std::string(45, '/') + " " + std::string(20, '9') + "=").total_bytes,
      66u);
  EXPECT_EQ(tally_matches(p.html_entity, "&#\xD9\xA3\xD9\xA9;").count, 1u);
  EXPECT_EQ(tally_matches(p.url,
                          "http://a\xE2\x80\xA8http://b\xE3\x80\x80www.c\xE2\x80\x8B"
                          "d")
                .total_bytes,
            25u);
  EXPECT_EQ(tally_matches(p.url, "http://a\u0085http://b\u00A0\u001Cc").count, 2u);
}

// Random texts from pieces that sit on the patterns' edges.
TEST(PatternScan, AgreesWithTheExpressionsOnRandomText) {
  const std::vector<std::string> pieces = {"<",
                                           ">",
                                           "<>",
                                           "&",
                                           "#",
                                           ";",
                                           "&#",
                                           "amp",
                                           "a",
                                           "Z",
                                           "9",
                                           "+",
                                           "/",
                                           "=",
                                           "==",
                                           "http",
                                           "https",
                                           "://",
                                           "s://",
                                           "www.",
                                           "www",
                                           ".",
                                           "!",
                                           "?",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\xC2\x85",
                                           "\xC2\xA0",
                                           "\xE2\x80\xA8",
                                           "\xE3\x80\x80",
                                           "\xE2\x80\x8B",
                                           "\xD9\xA3",
                                           "\xEF\xBC\x91",
                                           "\xC3\xA9",
                                           "\xF0\x9F\x98\x80",
                                           "AAAAAAAAAAAAAAAAAAA",
                                           "x"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    std::size_t length = rng() % 24;
    for (std::size_t k = 0; k < length; ++k) text += pieces[rng() % pieces.size()];
    expect_same_as_patterns(text);
    if (HasFailure()) break;
  }
}

// A link's body is skipped a block at a time up to the first byte that may
// end it; the character there decides, wherever it falls in the block.
TEST(PatternScan, UrlBodiesEndAtTheFirstWhiteSpaceCharacter) {
  const std::string ends[] = {" ", "\n", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x8B", "\xC3\xA9"};
  for (const std::string& end : ends) {
    for (std::size_t body = 0; body <= 40; ++body) {
      for (std::size_t tail : {0, 1, 20}) {
        expect_same_as_patterns("http://" + std::string(body, 'b') + end + std::string(tail, 'w') +
                                " www.x");
        expect_same_as_patterns("www." + std::string(body, 'b') + end + std::string(tail, 'b'));
      }
    }
  }
}

// One piece at every offset of texts up to three chunks long, in fillers that
// extend it or cut it off: matches that begin or end at a block or chunk
// edge, at the very start or end of the text, and runs carried across chunks.
TEST(PatternScan, EveryOffsetAroundChunkEdges) {
  const std::string pieces[] = {"<a>",         "<>",   "!?",        "!", "&amp;",
                                "&#\xD9\xA3;", "www.", "https://x", "=", "AAAAAAAAAAAAAAAAAAAA=="};
  const std::string fillers[] = {" ", "b", "?", "h", "<"};
  for (const std::string& piece : pieces) {
    for (const std::string& filler : fillers) {
      for (std::size_t before = 0; before <= 140; ++before) {
        for (std::size_t after : {0, 1, 2, 3, 17, 62}) {
          std::string text;
          for (std::size_t k = 0; k < before; ++k) text += filler;
          text += piece;
          for (std::size_t k = 0; k < after; ++k) text += filler;
          expect_same_as_patterns(text);
          if (HasFailure()) return;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vesko
