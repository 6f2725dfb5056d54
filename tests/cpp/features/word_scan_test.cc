#include "features/word_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_counts.h"
#include "piece_texts.h"

namespace vesko {
namespace {

void expect_as_reference(const std::string& text) {
  ASSERT_EQ(describe_difference(count_words(text), reference_words(text)), "") << text;
}

// Words across chunk edges; non-ASCII White_Space and lowercase characters,
// whose bytes may run on into the next chunk; then edge pieces at every
// offset of three chunks: one-byte words at either side of an edge, and a
// text that ends in a word exactly at a chunk's end.
TEST(CountWordsTest, AgreesWithCharacterByCharacterSplitting) {
  const std::vector<std::string> pieces = {"a",      "B",        "7",        " ",          "\n",
                                           "!",      "\t",       "\u00E9",   "\u00A0",     "\u4E2D",
                                           "\u3000", "\u0085",   "\u2028",   "\U0001D41A", "\xFF",
                                           "  ",     "abcdefgh", "12345678", "\r\v\f"};
  std::mt19937 rng(99);
  for (int round = 0; round < 20000 && !HasFailure(); ++round) {
    expect_as_reference(testing_texts::random_text(rng, pieces, 400));
  }
  testing_texts::at_every_offset(
      {" ", "\u3000", "\u00A0", "\u00E9", "\u20AC", "a", "1 ", " 1", "AB"}, {"9", " ", "x"}, 140,
      {0, 1, 2, 3, 62, 63, 64}, expect_as_reference);
}

}  // namespace
}  // namespace vesko
