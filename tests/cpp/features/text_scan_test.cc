#include "features/text_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_counts.h"

namespace vesko {
namespace {

void expect_as_reference(const std::string& text) {
  EXPECT_EQ(describe_difference(count_text(text), reference_text_counts(text)), "")
      << testing::PrintToString(text);
  EXPECT_EQ(count_uppercase(text), reference_uppercase(text)) << testing::PrintToString(text);
}

TEST(CountTextTest, AgreesWithCharacterByCharacterCountingOnRandomText) {
  // Every class, runs of ASCII and of non-ASCII characters, characters of two
  // to four bytes (the last three bytes of U+80000 are equal, which makes no
  // run), and malformed bytes, each of which is a character of its own.
  const std::vector<std::string> pieces = {"a",
                                           "Z",
                                           "0",
                                           "5",
                                           "7",
                                           "!",
                                           "?",
                                           "$",
                                           ".",
                                           "@",
                                           "~",
                                           " ",
                                           "\n",
                                           "\0",
                                           "aa",
                                           "!!!",
                                           "    ",
                                           "\xC3\xA9",
                                           "\xC3\x89",
                                           "\xE2\x82\xAC",
                                           "\xE2\x85\xAB",
                                           "\xC2\xB2",
                                           "\xE2\x80\x8B",
                                           "\xEF\xBB\xBF",
                                           "\xF0\x9F\x98\x80",
                                           "\xF2\x80\x80\x80",
                                           "\xFF",
                                           "\x80",
                                           "\xE2\x82",
                                           "\xC3\xA9\xC3\xA9\xC3\xA9",
                                           "abcdefghijklmnop"};
  std::mt19937 rng(2024);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const std::size_t target = rng() % 300;
    while (text.size() < target) text += pieces[rng() % pieces.size()];
    expect_as_reference(text);
    if (HasFailure()) break;
  }
}

// One piece at every offset of texts up to three chunks long: a rare byte at
// the very start or end, characters across block and chunk edges, runs whose
// third character lies in the next block, and padding next to bytes that
// look like it (NUL, 0x80).
TEST(CountTextTest, EveryOffsetAroundBlockEdges) {
  const std::string pieces[] = {
      "!",   "\xE2\x82\xAC", "\xF2\x80\x80\x80", "\xC3\x89\xC3\x89\xC3\x89",
      "aaa", "\xEF\xBB\xBF", "\x80\x80\x80"};
  const std::string fillers[] = {"x", std::string(1, '\0'), "3"};
  for (const std::string& piece : pieces) {
    for (const std::string& filler : fillers) {
      for (std::size_t before = 0; before <= 140; ++before) {
        for (std::size_t after : {0, 1, 2, 3, 13, 14, 15, 16, 17}) {
          std::string text;
          for (std::size_t k = 0; k < before; ++k) text += filler;
          text += piece;
          for (std::size_t k = 0; k < after; ++k) text += filler;
          expect_as_reference(text);
          if (HasFailure()) return;
        }
      }
    }
  }
}

TEST(CountTextTest, LongTextsAcrossManyFlushes) {
  // Lane counts are bytes, flushed every 63 chunks; a text of a thousand
  // chunks of one class must not wrap them.
  for (const std::string unit : {"A", "!", "\xC3\x89", "ab1."}) {
    std::string text;
    while (text.size() < 64000) text += unit;
    expect_as_reference(text);
  }
}

}  // namespace
}  // namespace vesko
