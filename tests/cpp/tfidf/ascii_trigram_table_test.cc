#include "tfidf/ascii_trigram_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vesko {
namespace {

std::uint32_t key_of(std::string_view trigram) {
  std::uint32_t key = 0;
  for (char c : trigram) key = AsciiTrigramTable::slide(key, static_cast<unsigned char>(c));
  return key;
}

// Random ASCII trigrams (NUL and DEL included), plus terms the table must
// leave alone: non-ASCII trigrams, other lengths.
Vocabulary random_vocabulary(std::mt19937_64& rng, std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 127);
  Vocabulary vocabulary;
  while (vocabulary.size() < count) {
    std::string term(3, '\0');
    for (char& c : term) c = static_cast<char>(byte(rng));
    vocabulary.emplace(term, vocabulary.size());
  }
  for (const char* other : {"é", "éa", "ab", "abcd", "日", "\x80\x80\x80", ""}) {
    vocabulary.emplace(other, vocabulary.size());
  }
  return vocabulary;
}

// Every one of the 2^21 keys gives the vocabulary's column or the miss
// column, through the portable bit count and through the instruction.
TEST(AsciiTrigramTableTest, EveryKeyAgreesWithTheVocabulary) {
  std::mt19937_64 rng(5);
  for (std::size_t count : {0, 1, 64, 3000}) {
    const Vocabulary vocabulary = random_vocabulary(rng, count);
    const AsciiTrigramTable table(vocabulary);
    ASSERT_TRUE(table.enabled());
    EXPECT_EQ(table.miss(), vocabulary.size());
    std::string trigram(3, '\0');
    for (std::uint32_t key = 0; key <= AsciiTrigramTable::kKeyMask; ++key) {
      trigram[0] = static_cast<char>(key >> 14);
      trigram[1] = static_cast<char>((key >> 7) & 127);
      trigram[2] = static_cast<char>(key & 127);
      const auto found = vocabulary.find(trigram);
      const std::uint64_t expected = found == vocabulary.end() ? table.miss() : found->second;
      ASSERT_EQ(table.column(key), expected) << "key " << key;
    }
  }
}

TEST(AsciiTrigramTableTest, StretchesGiveTheColumnOfEachTrigram) {
  std::mt19937_64 rng(6);
  const Vocabulary vocabulary = random_vocabulary(rng, 2000);
  const AsciiTrigramTable table(vocabulary);
  std::uniform_int_distribution<int> byte(0, 127);
  std::string text(300, '\0');
  for (char& c : text) c = static_cast<char>(byte(rng));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::vector<std::uint32_t> expected;
  for (std::size_t i = 2; i < text.size(); ++i) {
    expected.push_back(table.column(key_of(std::string_view(text).substr(i - 2, 3))));
  }
  std::vector<std::uint32_t> portable;
  table.for_each_column<false>(bytes + 2, bytes + text.size(),
                               [&](std::uint32_t column) { portable.push_back(column); });
  EXPECT_EQ(portable, expected);
  // Without a popcnt target the builtin is a library call: slower, the same.
  std::vector<std::uint32_t> instruction;
  table.for_each_column<true>(bytes + 2, bytes + text.size(),
                              [&](std::uint32_t column) { instruction.push_back(column); });
  EXPECT_EQ(instruction, expected);
}

// A column that is not below the vocabulary's size disables the table; the
// general lookup then reports it.
TEST(AsciiTrigramTableTest, ColumnBeyondTheVocabularyDisables) {
  EXPECT_FALSE(AsciiTrigramTable(Vocabulary{{"abc", 0}, {"xyz", 2}}).enabled());
  EXPECT_TRUE(AsciiTrigramTable(Vocabulary{{"abc", 0}, {"éab", 7}}).enabled());
}

}  // namespace
}  // namespace vesko
