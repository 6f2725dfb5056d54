#include "features/custom_features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/lowercase.h"

namespace vesko {
namespace {

CustomFeatures features_of(std::string_view text) {
  return extract_custom_features(text, to_lower(text));
}

TEST(CustomFeaturesTest, WholeVectorOfShortText) {
  EXPECT_EQ(extract_custom_features("", ""), CustomFeatures{});
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

// What each feature counts and divides by: ratios to the byte length, word
// features over the lower-cased text (which may be longer), list entries once
// each however often they occur, percentages as (a / b) * 100.
TEST(CustomFeaturesTest, SingleFeatures) {
  const struct {
    std::string text;
    std::vector<std::pair<int, double>> expected;  // (index, value)
  } cases[] = {
      // clang-format off
      {"123 !! \u20AC hello a 1", {{7, 15.0 / 6.0}, {26, 3.0 / 6.0}}},
      {"\u4E2D\u6587 ok", {{7, 4.0}, {26, 1.0 / 2.0}}},
      // The first line: without the CR before its LF; a lone final CR is part of it.
      {"HeLLo\r\nWORLD", {{10, 3.0 / 5.0}, {11, 1.0}}},
      {"\nHELLO", {{10, 0.0}, {11, 0.0}}},
      {"\r\nHELLO", {{10, 0.0}, {11, 0.0}}},
      {"ABC\r", {{10, 3.0 / 4.0}, {11, 1.0}}},
      {"AB\r\r\nC", {{10, 2.0 / 3.0}, {11, 1.0}}},
      {"\xC3\x89" "COLE\nx", {{2, 5.0 / 8.0}, {10, 5.0 / 6.0}, {13, 1.0}, {7, 3.5}}},
      {"\xEF\xBB\xBFHi", {{15, 1.0}, {13, 1.0}, {10, 1.0 / 5.0}}},
      {"a\u200B\u200C\u200D" "b", {{15, 3.0}}},
      {"\xEF\xBB\xBF", {{13, 0.0}}},
      {"Hello. World.", {{19, 2.0 / 3.0}}},
      {"...", {{19, 1.0 / 4.0}}},
      {"aaabbb", {{17, 2.0 / 6.0}}},
      {"x\u00B2 \u216B", {{18, 2.0 / 7.0}, {2, 1.0 / 7.0}}},
      // U+0130 lowers to i + U+0307, three bytes; a final sigma is lowercase.
      {"\u0130STANBUL", {{2, 8.0 / 9.0}, {7, 10.0}, {26, 0.0}}},
      {"ΟΔΟΣ ΑΣ.", {{26, 0.0}, {2, 6.0 / 14.0}}},
      {"h3ll0 @ $10 $47", {{16, 7 / 15.0}, {21, 2 / 15.0 * 100}, {18, 6 / 15.0}, {8, 3 / 15.0}}},
      {"viagra viagra VIAGRA", {{5, 1.0}}},
      {"I know", {{24, 1.0 / 2.0 * 100.0}}},
      {"more: later", {{12, 1.0}}},
      {"see http://example.com/page.html", {{23, 0.0}, {22, 1.0 / 2.0 * 100.0}}},
      {"see http://example.ml/ now", {{23, 1.0 / 3.0 * 100.0}}},
      {"URGENT: you won a tax refund", {{6, 1.0}, {20, 2.0}, {24, 1.0 / 6.0 * 100.0}, {25, 3.0}}},
      {"Content-Type: text/plain; charset=UTF-8", {{9, 1.0}}},
      {"Precedence: Bulk", {{28, 1.0}}},
      {"AAAAAAAAAAAAAAAAAAAA===", {{1, 22.0 / 23.0}}},
      {"&amp; &#39; &#x27;", {{14, 2.0 / 18.0}}},
      {"<a\nhref=x>", {{0, 1.0 / 10.0}}},
      {"http://a.com\xC2\xA0http://b.com", {{22, 2.0 / 2.0 * 100.0}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    const CustomFeatures f = features_of(c.text);
    for (const auto& [index, value] : c.expected)
      EXPECT_EQ(f[index], value) << c.text << " " << index;
  }
}

// Megabytes of mixed text stay finite; an unclosed tag must not cost a rescan
// per '<'.
TEST(CustomFeaturesTest, LongTextGivesFiniteValues) {
  std::string text;
  while (text.size() < (8u << 20)) {
    text +=
        "<p>URGENT!!! Click here: http://bit.ly/abc &amp; "
        "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo= \xC3\x89t\xC3\xA9 \xE2\x80\x8B 1234$ ...\r\n";
  }
  text += std::string(1 << 20, '<');
  const CustomFeatures f = features_of(text);
  for (std::size_t i = 0; i < f.size(); ++i) EXPECT_TRUE(std::isfinite(f[i]) && f[i] >= 0.0) << i;
  EXPECT_GT(f[0] * f[1] * f[22], 0.0);
}

// Each test runs in a process of its own, so these are the first calls.
TEST(CustomFeaturesTest, ConcurrentFirstCallsAgree) {
  const std::string text = "Re: <b>FREE</b> pills &amp; http://goo.gl/x!! caf\xC3\xA9 2024";
  const std::string lowered = to_lower(text);
  std::vector<CustomFeatures> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results)
    threads.emplace_back([&] { result = extract_custom_features(text, lowered); });
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, features_of(text));
}

}  // namespace
}  // namespace vesko
