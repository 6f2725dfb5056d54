#include "tfidf/ascii_trigram_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace vesko {
namespace {

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
// column. (The vectorizer's tests cover stretches of ASCII text.)
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

}  // namespace
}  // namespace vesko
