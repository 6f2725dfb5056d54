#include "features/custom_features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "common/lowercase.h"

namespace vesko {
namespace {

CustomFeatures features_of(std::string_view text) {
  return extract_custom_features(text, to_lower(text));
}

TEST(CustomFeaturesTest, EmptyTextGivesZeros) {
  CustomFeatures expected{};
  EXPECT_EQ(extract_custom_features("", ""), expected);
}

TEST(CustomFeaturesTest, WholeVectorOfShortText) {
  // 16 bytes; the four '!' are one run and one repeated-punctuation match.
  CustomFeatures expected{};
  expected[2] = 2.0 / 16.0;
  expected[3] = 5.0 / 16.0;
  expected[4] = 1.0 / 16.0;
  expected[7] = 15.0 / 2.0;
  expected[8] = 6.0 / 16.0;
  expected[10] = 2.0 / 16.0;
  expected[11] = 1.0;
  expected[17] = 1.0 / 16.0;
  expected[19] = 2.0 / 7.0;
  expected[27] = 2.0;
  EXPECT_EQ(features_of("Wow!!!! Really?!"), expected);
}

TEST(CustomFeaturesTest, WhitespaceOnlyTextHasNoWords) {
  // U+0085 and U+00A0 are White_Space as well.
  CustomFeatures f = features_of(" \t\r\n \xC2\x85\xC2\xA0 ");
  for (int index : {7, 19, 22, 23, 24, 26}) EXPECT_EQ(f[index], 0.0) << index;
}

struct WordCase {
  const char* text;
  double avg_word_length;  // feature 7
  double no_lowercase;     // feature 26
};

TEST(CustomFeaturesTest, WordsSplitOnUnicodeWhiteSpaceOnly) {
  const WordCase cases[] = {
      {"a\u0085b", 1.0, 0.0},    // U+0085 splits
      {"a\u001Cb", 3.0, 0.0},    // U+001C does not
      {"ab\u200Bcd", 7.0, 0.0},  // nor does U+200B
      {"x\u3000y", 1.0, 0.0},    // U+3000 splits
      {"123 !! \u20AC hello a 1", 15.0 / 6.0, 3.0 / 6.0},
      {"\u4E2D\u6587 ok", 4.0, 1.0 / 2.0},  // caseless letters have no lowercase
      {"  lead  and   trail  ", 4.0, 0.0},
  };
  for (const WordCase& c : cases) {
    CustomFeatures f = features_of(c.text);
    EXPECT_EQ(f[7], c.avg_word_length) << c.text;
    EXPECT_EQ(f[26], c.no_lowercase) << c.text;
  }
}

struct FirstLineCase {
  const char* text;
  double uppercase_ratio;  // feature 10
  double nonempty;         // feature 11
};

TEST(CustomFeaturesTest, FirstLine) {
  const FirstLineCase cases[] = {
      {"HeLLo\r\nWORLD", 3.0 / 5.0, 1.0},  // the CR before the LF is not counted
      {"HELLO\nworld", 1.0, 1.0},
      {"\nHELLO", 0.0, 0.0},
      {"\r\nHELLO", 0.0, 0.0},
      {"ABC\r", 3.0 / 4.0, 1.0},  // no line feed: the final CR belongs to the line
      {"AB\r\r\nC", 2.0 / 3.0, 1.0},
      {"\xC3\x89"
       "COLE\nx",
       5.0 / 6.0, 1.0},
  };
  for (const FirstLineCase& c : cases) {
    CustomFeatures f = features_of(c.text);
    EXPECT_EQ(f[10], c.uppercase_ratio) << c.text;
    EXPECT_EQ(f[11], c.nonempty) << c.text;
  }
}

TEST(CustomFeaturesTest, SentencePieces) {
  EXPECT_EQ(features_of("Hello. World.")[19], 2.0 / 3.0);
  EXPECT_EQ(features_of("no end")[19], 2.0);
  EXPECT_EQ(features_of("...")[19], 1.0 / 4.0);
}

TEST(CustomFeaturesTest, PrecomposedAndDecomposedAccents) {
  // É is one uppercase character in two bytes.
  CustomFeatures pre = features_of(
      "\xC3\x89"
      "COLE");
  EXPECT_EQ(pre[2], 5.0 / 6.0);
  EXPECT_EQ(pre[10], 5.0 / 6.0);
  EXPECT_EQ(pre[13], 1.0);
  EXPECT_EQ(pre[7], 6.0);
  // E + U+0301: the combining mark is neither uppercase nor lowercase.
  CustomFeatures de = features_of(
      "E\xCC\x81"
      "COLE");
  EXPECT_EQ(de[2], 5.0 / 7.0);
  EXPECT_EQ(de[13], 1.0);
  EXPECT_EQ(de[7], 7.0);
}

TEST(CustomFeaturesTest, RunsAreOverCharacters) {
  const std::pair<const char*, double> cases[] = {
      {"aaaaaa", 1.0 / 6.0},
      {"aaabbb", 2.0 / 6.0},
      {"aabb", 0.0},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 1.0 / 6.0},  // ééé, precomposed
      {"e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81",
       0.0},                 // decomposed: no character repeats at once
      {"a   b", 1.0 / 5.0},  // whitespace runs count too
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(features_of(text)[17], expected) << text;
}

TEST(CustomFeaturesTest, UnicodeCharacterClasses) {
  CustomFeatures squared = features_of("x\xC2\xB2");  // U+00B2 is numeric (No)
  EXPECT_EQ(squared[18], 1.0 / 3.0);
  EXPECT_EQ(squared[13], 1.0);
  CustomFeatures roman = features_of("\xE2\x85\xAB");  // U+216B: uppercase and numeric (Nl)
  EXPECT_EQ(roman[2], 1.0 / 3.0);
  EXPECT_EQ(roman[18], 1.0 / 3.0);
  EXPECT_EQ(roman[13], 0.0);  // no ASCII at all
  // U+0130 lowers to i + U+0307: three bytes in the lowered word.
  CustomFeatures dotted = features_of("\xC4\xB0STANBUL");
  EXPECT_EQ(dotted[2], 8.0 / 9.0);
  EXPECT_EQ(dotted[7], 10.0);
  EXPECT_EQ(dotted[26], 0.0);
  // Final sigma: every lowered word has a lowercase character.
  CustomFeatures greek = features_of("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\x91\xCE\xA3.");
  EXPECT_EQ(greek[26], 0.0);
  EXPECT_EQ(greek[2], 6.0 / 14.0);
}

TEST(CustomFeaturesTest, ZeroWidthCharacters) {
  CustomFeatures bom = features_of("\xEF\xBB\xBFHi");  // U+FEFF at the start
  EXPECT_EQ(bom[15], 1.0);
  EXPECT_EQ(bom[13], 1.0);
  EXPECT_EQ(bom[10], 1.0 / 5.0);
  EXPECT_EQ(features_of("a\xE2\x80\x8B\xE2\x80\x8C\xE2\x80\x8D"
                        "b")[15],
            3.0);
  EXPECT_EQ(features_of("\xEF\xBB\xBF")[13], 0.0);
}

TEST(CustomFeaturesTest, CharacterCounts) {
  // '@', '3', '0', '0', '1', '4' and '7' are leet; '$' is scaled by 100.
  CustomFeatures f = features_of("h3ll0 @ $10 $47");
  EXPECT_EQ(f[16], 7.0 / 15.0);
  EXPECT_EQ(f[21], 2.0 / 15.0 * 100.0);
  EXPECT_EQ(f[18], 6.0 / 15.0);
  EXPECT_EQ(f[8], 3.0 / 15.0);
}

TEST(CustomFeaturesTest, WordListEntriesCountOnceAndAsSubstrings) {
  EXPECT_EQ(features_of("viagra viagra VIAGRA")[5], 1.0);
  EXPECT_EQ(features_of("I know")[24], 50.0);
  EXPECT_EQ(features_of("more: later")[12], 1.0);
  // ".ml" is not a substring of ".html".
  EXPECT_EQ(features_of("see http://example.com/page.html")[23], 0.0);
  EXPECT_EQ(features_of("see http://example.ml/ now")[23], 1.0 / 3.0 * 100.0);
  EXPECT_EQ(features_of("bit.ly/x goo.gl/y")[23], 2.0 / 2.0 * 100.0);
  // "urgent" is in three lists, "you won" in two; nested entries count apart.
  CustomFeatures urgent = features_of("URGENT: you won a tax refund");
  EXPECT_EQ(urgent[6], 1.0);
  EXPECT_EQ(urgent[20], 2.0);
  EXPECT_EQ(urgent[24], 1.0 / 6.0 * 100.0);
  EXPECT_EQ(urgent[25], 3.0);
  CustomFeatures limited = features_of("limited time");
  EXPECT_EQ(limited[20], 1.0);
  EXPECT_EQ(limited[24], 1.0 / 2.0 * 100.0);
  EXPECT_EQ(features_of("Content-Type: text/plain; charset=UTF-8")[9], 1.0);
  EXPECT_EQ(features_of("List-Id: <x.example.org>")[28], 1.0);
  EXPECT_EQ(features_of("Precedence: Bulk")[28], 1.0);
}

TEST(CustomFeaturesTest, PatternFeatures) {
  std::string base64(20, 'A');
  EXPECT_EQ(features_of(base64.substr(0, 19))[1], 0.0);
  EXPECT_EQ(features_of(base64 + "===")[1], 22.0 / 23.0);
  EXPECT_EQ(features_of("&amp; &#39; &#x27;")[14], 2.0 / 18.0);
  EXPECT_EQ(features_of("<a\nhref=x>")[0], 1.0 / 10.0);
  EXPECT_EQ(features_of("HTTP://a.com http://www.b.com")[22], 1.0 / 2.0 * 100.0);
  // U+00A0 ends a URL, U+001C does not.
  EXPECT_EQ(features_of("http://a.com\xC2\xA0http://b.com")[22], 2.0 / 2.0 * 100.0);
  EXPECT_EQ(features_of("http://a.com\x1Chttp://b.com")[22], 1.0 / 1.0 * 100.0);
}

TEST(CustomFeaturesTest, MalformedUtf8IsReadSafely) {
  // Not valid UTF-8, which callers never pass, but it must still be read
  // within bounds: every malformed byte is one non-ASCII character.
  CustomFeatures f = features_of(std::string("ab\xFF\xC0\x80\xED\xA0\x80\xE2\x82", 10));
  EXPECT_EQ(f[13], 1.0);
  for (double value : f) EXPECT_TRUE(std::isfinite(value) && value >= 0.0);
}

TEST(CustomFeaturesTest, LongTextGivesFiniteValues) {
  std::string piece =
      "<p>URGENT!!! Click here: http://bit.ly/abc &amp; "
      "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo= \xC3\x89t\xC3\xA9 \xE2\x80\x8B 1234$ ...\r\n";
  std::string text;
  while (text.size() < (8u << 20)) text += piece;
  text += std::string(1 << 20, '<');  // an unclosed tag must not cost a rescan per '<'
  CustomFeatures f = features_of(text);
  for (std::size_t i = 0; i < f.size(); ++i) {
    EXPECT_TRUE(std::isfinite(f[i]) && f[i] >= 0.0) << i;
  }
  EXPECT_GT(f[0], 0.0);
  EXPECT_GT(f[1], 0.0);
  EXPECT_GT(f[22], 0.0);
}

TEST(CustomFeaturesTest, ConcurrentFirstCallsAgree) {
  const std::string text = "Re: <b>FREE</b> pills &amp; http://goo.gl/x!! caf\xC3\xA9 2024";
  const std::string lowered = to_lower(text);
  std::vector<CustomFeatures> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] { result = extract_custom_features(text, lowered); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, results.front());
  EXPECT_EQ(results.front()[0], 2.0 / static_cast<double>(text.size()));
}

}  // namespace
}  // namespace vesko
