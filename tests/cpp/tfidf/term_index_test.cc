#include "tfidf/term_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tfidf/colliding_terms.h"

namespace vesko {
namespace {

bool may_hold(const TermIndex& index, std::string_view term) {
  return index.may_hold(TermIndex::packable(term) ? index.hash(TermIndex::pack(term))
                                                  : index.hash_unpacked(term));
}

// A lookup the way the vectorizer makes one, in `lane`: through the packed
// table, or the vocabulary for a term too long or a column too large for it.
bool find(const TermIndex& index, std::size_t lane, const Vocabulary& vocabulary,
          std::string_view term, std::uint64_t& column) {
  if (TermIndex::packable(term)) {
    const TermIndex::Key key = TermIndex::pack(term);
    const std::uint64_t hash = index.hash(key);
    if (!index.may_hold(hash)) return false;
    const TermIndex::Columns* columns = index.find_packed(key, hash);
    if (columns == nullptr || (*columns)[lane] == TermIndex::kAbsent) return false;
    if ((*columns)[lane] != TermIndex::kBeyond) {
      column = (*columns)[lane];
      return true;
    }
    EXPECT_EQ(TermIndex::unpack(key), term);
  }
  const auto found = vocabulary.find(term);
  if (found == vocabulary.end()) return false;
  column = found->second;
  return true;
}

TermIndex index_of(const Vocabulary& vocabulary, const HashKey& key = process_hash_key()) {
  const Vocabulary* vocabularies[] = {&vocabulary};
  return TermIndex(vocabularies, key);
}

// Every term gets its own column, and every probe is a miss or a hit with
// that column.
void expect_agrees(const TermIndex& index, const Vocabulary& vocabulary,
                   const std::vector<std::string>& probes, std::size_t lane = 0) {
  for (const std::string& probe : probes) {
    std::uint64_t column = 0;
    const bool found = find(index, lane, vocabulary, probe, column);
    const auto expected = vocabulary.find(probe);
    ASSERT_EQ(found, expected != vocabulary.end()) << testing::PrintToString(probe);
    if (found) {
      EXPECT_EQ(column, expected->second) << testing::PrintToString(probe);
      // The filter may let a miss through, never turn a hit away.
      EXPECT_TRUE(may_hold(index, probe)) << testing::PrintToString(probe);
    }
  }
}

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
  // Whatever the key: the placement changes, the answers must not.
  const HashKey keys[] = {process_hash_key(), HashKey{{1, 2, 3, 4}}, HashKey{{0, 0, 0, 0}}};
  for (const HashKey& key : keys) expect_agrees(index_of(vocabulary, key), vocabulary, probes);
}

// The filter turns most misses away (about 3 % pass by design), at every
// vocabulary size around its rounding.
TEST(TermIndexTest, FilterTurnsMostMissesAway) {
  for (std::size_t size : {1, 2, 3, 100, 5000, 8191}) {
    Vocabulary vocabulary;
    for (std::size_t k = 0; k < size; ++k) vocabulary.emplace("term" + std::to_string(k), k);
    vocabulary.emplace("a term longer than fifteen bytes", size);
    const TermIndex index = index_of(vocabulary);
    for (const auto& entry : vocabulary) {
      const std::string& term = entry.first;
      ASSERT_TRUE(may_hold(index, term)) << term;
    }
    std::size_t passed = 0;
    const std::size_t misses = 20000;
    for (std::size_t k = 0; k < misses; ++k) {
      const std::string miss =
          (k % 2 == 0 ? "miss" : "a much longer missing term ") + std::to_string(k);
      passed += may_hold(index, miss);
    }
    EXPECT_LT(passed, misses / 10) << "size " << size;
  }
}

// A vocabulary made to pile up in one run of slots: against the fixed hash
// the index once had, and against this index's own hash for a key that is
// known (as the process key is not). Either way no lookup reads more than a
// few dozen slots, and every answer stays right.
TEST(TermIndexTest, CollidingVocabulariesKeepProbesShort) {
  constexpr std::size_t kTerms = 20000;  // tables of at most 2^15 slots
  constexpr std::size_t kBound = 4 * 15 + 64;
  const HashKey known{{0x0123456789ABCDEFull, 0xFEDCBA9876543211ull, 42, 7}};
  const auto under_known = [&known](std::string_view term) {
    return TermIndex::hash(known, TermIndex::pack(term));
  };
  const std::vector<std::string> attacks[] = {
      testing_support::colliding_terms(kTerms, testing_support::fixed_multiplicative_hash),
      testing_support::colliding_terms(kTerms, under_known)};
  for (const std::vector<std::string>& terms : attacks) {
    Vocabulary vocabulary;
    std::vector<std::string> probes;
    for (const std::string& term : terms) {
      vocabulary.emplace(term, vocabulary.size());
      probes.push_back(term);
      probes.push_back(term + "q");  // misses of the same shape
    }
    const TermIndex index = index_of(vocabulary, known);
    EXPECT_LE(index.max_probe_length(), kBound);
    expect_agrees(index, vocabulary, probes);
  }
}

// One index over three vocabularies that share some terms: each lane finds
// its own vocabulary's columns and nothing of the others'.
TEST(TermIndexTest, SharedIndexKeepsEveryLaneApart) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> letter('a', 'e');
  Vocabulary vocabularies[3];
  std::vector<std::string> probes;
  for (int k = 0; k < 3000; ++k) {
    std::string term;
    const std::size_t length = 1 + rng() % 20;
    for (std::size_t i = 0; i < length; ++i) term.push_back(static_cast<char>(letter(rng)));
    probes.push_back(term);
    for (std::uint64_t lane = 0; lane < 3; ++lane) {
      if (rng() % 2 == 0) vocabularies[lane].emplace(term, vocabularies[lane].size() * 7 + lane);
    }
  }
  vocabularies[2].emplace("abc", std::uint64_t{1} << 40);
  const Vocabulary* lanes[] = {&vocabularies[0], &vocabularies[1], &vocabularies[2]};
  const TermIndex index(lanes);
  for (std::size_t lane = 0; lane < 3; ++lane) {
    expect_agrees(index, vocabularies[lane], probes, lane);
  }
}

}  // namespace
}  // namespace vesko
