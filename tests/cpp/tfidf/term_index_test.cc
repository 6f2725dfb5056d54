#include "tfidf/term_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

// The packed table and the vocabulary must agree on every byte string: same
// hits, same columns, and no false hit for a near miss (a prefix, a trailing
// NUL, a middle or the last byte changed) at every length around the limits.
TEST(TermIndexTest, AgreesWithTheVocabularyOnHitsAndNearMisses) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> byte(0, 3);  // few byte values: many near collisions
  Vocabulary vocabulary;
  std::vector<std::string> probes;
  for (std::size_t length = 0; length <= 20; ++length) {
    for (int k = 0; k < 40; ++k) {
      std::string term;
      for (std::size_t i = 0; i < length; ++i) term.push_back(static_cast<char>(byte(rng)));
      vocabulary.emplace(term, vocabulary.size() * 3 + 1);
      probes.push_back(term);
      probes.push_back(term + '\0');
      if (!term.empty()) {
        probes.push_back(term.substr(0, length - 1));
        std::string changed = term;
        changed[length / 2] = static_cast<char>(changed[length / 2] ^ 0x40);
        probes.push_back(changed);
        changed = term;
        changed.back() = static_cast<char>(changed.back() ^ 0x40);
        probes.push_back(changed);
      }
    }
  }
  vocabulary.emplace("日本", 1ull << 40);  // a column beyond 32 bits stays whole
  probes.push_back("日本");
  probes.push_back("日");
  const TermIndex index(vocabulary);
  for (const std::string& probe : probes) {
    std::uint64_t column = 0;
    const bool found = index.find(vocabulary, probe, column);
    const auto expected = vocabulary.find(probe);
    ASSERT_EQ(found, expected != vocabulary.end()) << testing::PrintToString(probe);
    if (found) {
      EXPECT_EQ(column, expected->second) << testing::PrintToString(probe);
    }
    // The filter may let a miss through, never turn a hit away.
    const bool may_hold = TermIndex::packable(probe) ? index.may_hold(TermIndex::pack(probe))
                                                     : index.may_hold_unpacked(probe);
    if (found) {
      EXPECT_TRUE(may_hold) << testing::PrintToString(probe);
    }
  }
}

// The filter turns most misses away (about 3 % pass by design), at every
// vocabulary size around its rounding.
TEST(TermIndexTest, FilterTurnsMostMissesAway) {
  for (std::size_t size : {1, 2, 3, 100, 5000, 8191}) {
    Vocabulary vocabulary;
    for (std::size_t k = 0; k < size; ++k) vocabulary.emplace("term" + std::to_string(k), k);
    vocabulary.emplace("a term longer than fifteen bytes", size);
    const TermIndex index(vocabulary);
    for (const auto& entry : vocabulary) {
      const std::string& term = entry.first;
      ASSERT_TRUE(TermIndex::packable(term) ? index.may_hold(TermIndex::pack(term))
                                            : index.may_hold_unpacked(term))
          << term;
    }
    std::size_t passed = 0;
    const std::size_t misses = 20000;
    for (std::size_t k = 0; k < misses; ++k) {
      const std::string miss =
          (k % 2 == 0 ? "miss" : "a much longer missing term ") + std::to_string(k);
      passed += TermIndex::packable(miss) ? index.may_hold(TermIndex::pack(miss))
                                          : index.may_hold_unpacked(miss);
    }
    EXPECT_LT(passed, misses / 10) << "size " << size;
  }
}

TEST(TermIndexTest, EmptyVocabularyFindsNothing) {
  const Vocabulary vocabulary;
  const TermIndex index(vocabulary);
  std::uint64_t column = 0;
  EXPECT_FALSE(index.find(vocabulary, "ab", column));
  EXPECT_FALSE(index.find(vocabulary, "a longer term", column));
}

}  // namespace
}  // namespace vesko
