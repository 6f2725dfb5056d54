#include "features/word_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_counts.h"

namespace vesko {
namespace {

TEST(CountWordsTest, AgreesWithCharacterByCharacterSplitting) {
  // Words cross chunk edges; non-ASCII White_Space and lowercase characters
  // are decoded, and their bytes may run on into the next chunk.
  const std::vector<std::string> pieces = {
      "a",      "B",      "7",      " ",      "\n",         "!",    "\t", "\u00E9",   "\u00A0",
      "\u4E2D", "\u3000", "\u0085", "\u2028", "\U0001D41A", "\xFF", "  ", "abcdefgh", "12345678"};
  std::mt19937 rng(99);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t target = rng() % 400;
    const bool mostly_ascii = rng() % 2 == 0;
    while (text.size() < target) {
      const std::size_t pick = rng() % pieces.size();
      if (mostly_ascii && pieces[pick].front() & 0x80 && rng() % 8 != 0) continue;
      text += pieces[pick];
    }
    ASSERT_EQ(describe_difference(count_words(text), reference_words(text)), "") << text;
  }
}

TEST(CountWordsTest, BlockEdges) {
  struct Case {
    std::string text;
    std::size_t words, no_lowercase;
  };
  const Case cases[] = {
      {std::string(64, 'A'), 1, 1},
      {std::string(64, ' '), 0, 0},
      {std::string(63, ' ') + "AB" + std::string(63, ' '), 1, 1},
      {std::string(200, 'X') + "y", 1, 0},
      {std::string(128, 'x') + " " + std::string(64, '9'), 2, 1},
      {std::string(63, ' ') + "a", 1, 0},
      {std::string(63, 'a') + " A", 2, 0},
  };
  for (const Case& c : cases) {
    const WordCounts counts = count_words(c.text);
    EXPECT_EQ(counts.words, c.words) << c.text;
    EXPECT_EQ(counts.no_lowercase_2_bytes, c.no_lowercase) << c.text;
  }
}

// One piece at every offset of texts up to three chunks long: words and
// multi-byte characters that begin or end at a block or chunk edge, one-byte
// words at either side of one, and a text that ends in a word exactly at a
// chunk's end.
TEST(CountWordsTest, EveryOffsetAroundChunkEdges) {
  const std::string pieces[] = {" ", "\u3000", "\u00A0", "\u00E9", "\u20AC", "a", "1 ", " 1"};
  const std::string fillers[] = {"9", " ", "x"};
  for (const std::string& piece : pieces) {
    for (const std::string& filler : fillers) {
      for (std::size_t before = 0; before <= 140; ++before) {
        for (std::size_t after : {0, 1, 2, 3, 62, 63, 64}) {
          std::string text;
          for (std::size_t k = 0; k < before; ++k) text += filler;
          text += piece;
          for (std::size_t k = 0; k < after; ++k) text += filler;
          ASSERT_EQ(describe_difference(count_words(text), reference_words(text)), "") << text;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vesko
