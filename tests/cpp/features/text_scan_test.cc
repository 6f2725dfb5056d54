#include "features/text_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/char_classes.h"

namespace vesko {
namespace {

// Words the plain way: one character at a time.
WordCounts reference_words(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  WordCounts counts;
  std::size_t length = 0;
  bool has_lowercase = false;
  auto flush = [&] {
    if (length == 0) return;
    ++counts.words;
    counts.word_bytes += length;
    counts.no_lowercase_2_bytes += length >= 2 && !has_lowercase;
    length = 0;
    has_lowercase = false;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const std::uint8_t bits = table.classes(next_code_point(bytes, text.size(), i));
    if (bits & kCharWhiteSpace) {
      flush();
    } else {
      length += i - start;
      has_lowercase |= (bits & kCharLowercase) != 0;
    }
  }
  flush();
  return counts;
}

TEST(CountWordsTest, AgreesWithCharacterByCharacterSplitting) {
  // Long ASCII stretches go through the 64-byte blocks, the rest one
  // character at a time; words cross block edges and switch between both.
  const std::vector<std::string> pieces = {"a",    "B",  "7",        " ",       "\n",
                                           "!",    "\t", "\u00E9",   "\u00A0",  "\u4E2D",
                                           "\xFF", "  ", "abcdefgh", "12345678"};
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
    const WordCounts expected = reference_words(text);
    const WordCounts actual = count_words(text);
    ASSERT_EQ(actual.words, expected.words) << text;
    ASSERT_EQ(actual.word_bytes, expected.word_bytes) << text;
    ASSERT_EQ(actual.no_lowercase_2_bytes, expected.no_lowercase_2_bytes) << text;
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

}  // namespace
}  // namespace vesko
