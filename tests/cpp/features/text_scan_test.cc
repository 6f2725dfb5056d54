#include "features/text_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/reference_counts.h"
#include "piece_texts.h"

namespace vesko {
namespace {

using testing_texts::repeat;

void expect_as_reference(const std::string& text) {
  EXPECT_EQ(describe_difference(count_text(text), reference_text_counts(text)), "")
      << testing::PrintToString(text);
  EXPECT_EQ(count_uppercase(text), reference_text_counts(text).uppercase)
      << testing::PrintToString(text);
}

// Every class; characters of one to four bytes (the last three bytes of
// U+80000 are equal, which makes no run); malformed bytes, each a character
// of its own; NUL and 0x80 beside the padding that looks like them. Then edge
// pieces at every offset of three chunks (runs whose third character lies in
// the next block), and texts of a thousand chunks of one class, which must
// not wrap the byte-wide lane counts flushed every 63 chunks.
TEST(CountTextTest, AgreesWithCharacterByCharacterCounting) {
  // clang-format off
  const std::vector<std::string> pieces = {
      "a", "Z", "0", "5", "7", "!", "?", "$", ".", "@", "~", " ", "\n", std::string(1, '\0'), "aa",
      "!!!", "    ", "\xC3\xA9", "\xC3\x89", "\xE2\x82\xAC", "\xE2\x85\xAB", "\xC2\xB2",
      "\xE2\x80\x8B", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80", "\xF2\x80\x80\x80", "\xFF", "\x80",
      "\xE2\x82", "\xC3\xA9\xC3\xA9\xC3\xA9", "abcdefghijklmnop"};
  // clang-format on
  std::mt19937 rng(2024);
  for (int round = 0; round < 5000 && !HasFailure(); ++round) {
    expect_as_reference(testing_texts::random_text(rng, pieces, 300));
  }
  testing_texts::at_every_offset(
      {"!", "\xE2\x82\xAC", "\xF2\x80\x80\x80", "\xC3\x89\xC3\x89\xC3\x89", "aaa", "\xEF\xBB\xBF",
       "\x80\x80\x80"},
      {"x", std::string(1, '\0'), "3"}, 140, {0, 1, 2, 3, 13, 14, 15, 16, 17}, expect_as_reference);
  for (const std::string unit : {"A", "!", "\xC3\x89", "ab1."}) {
    expect_as_reference(repeat(unit, 64000 / unit.size()));
  }
}

}  // namespace
}  // namespace vesko
