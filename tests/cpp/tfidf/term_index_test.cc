#include "tfidf/term_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
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

// Every probe is a miss in both, or a hit with the same column, looked up the
// way the vectorizer looks it up in `lane`: through the packed table, or the
// vocabulary for a term too long or a column too large for it. The filter
// never turns a hit away; returns the share of the misses it lets through.
double expect_agrees(const TermIndex& index, const Vocabulary& vocabulary,
                     const std::vector<std::string>& probes, std::size_t lane = 0) {
  std::size_t misses = 0, passed = 0;
  for (const std::string& probe : probes) {
    const auto found = vocabulary.find(probe);
    std::optional<std::uint64_t> expected, column;
    if (found != vocabulary.end()) expected = found->second;
    column = expected;
    if (TermIndex::packable(probe)) {
      const TermIndex::Key key = TermIndex::pack(probe);
      const std::uint64_t hash = index.hash(key);
      const TermIndex::Columns* columns =
          index.may_hold(hash) ? index.find_packed(key, hash) : nullptr;
      column.reset();
      if (columns != nullptr && (*columns)[lane] != TermIndex::kAbsent) column = (*columns)[lane];
      if (column == TermIndex::kBeyond) {
        EXPECT_EQ(TermIndex::unpack(key), probe);
        column = expected;
      }
    }
    EXPECT_EQ(column, expected) << testing::PrintToString(probe);
    EXPECT_TRUE(!expected || may_hold(index, probe)) << testing::PrintToString(probe);
    misses += !expected;
    passed += !expected && may_hold(index, probe);
  }
  return static_cast<double>(passed) / static_cast<double>(std::max<std::size_t>(misses, 1));
}

// One index over three vocabularies that share some terms, each lane with its
// own columns (one beyond 32 bits): terms of every length around the packing
// limits over a few byte values, so that near misses abound (a prefix, a
// trailing NUL, a middle or the last byte changed), and terms in one lane but
// not another. Whatever the key: the placement changes, the answers must not.
TEST(TermIndexTest, AgreesWithTheVocabulariesInEveryLane) {
  std::mt19937_64 rng(7);
  Vocabulary vocabularies[3];
  std::vector<std::string> probes = {"日本", "日"};
  for (std::size_t length = 0; length <= 20; ++length) {
    for (int k = 0; k < 60; ++k) {
      std::string term;
      for (std::size_t i = 0; i < length; ++i) term.push_back(static_cast<char>(rng() % 4));
      for (std::uint64_t lane = 0; lane < 3; ++lane) {
        if (rng() % 3 != 0) vocabularies[lane].emplace(term, vocabularies[lane].size() * 7 + lane);
      }
      probes.insert(probes.end(), {term, term + '\0'});
      if (term.empty()) continue;
      probes.push_back(term.substr(0, length - 1));
      for (std::size_t at : {length / 2, length - 1}) {
        probes.push_back(term);
        probes.back()[at] = static_cast<char>(probes.back()[at] ^ 0x40);
      }
    }
  }
  vocabularies[2].emplace("日本", std::uint64_t{1} << 40);
  const Vocabulary* lanes[] = {&vocabularies[0], &vocabularies[1], &vocabularies[2]};
  for (const HashKey& key : {process_hash_key(), HashKey{{1, 2, 3, 4}}, HashKey{{0, 0, 0, 0}}}) {
    const TermIndex index(lanes, key);
    for (std::size_t lane = 0; lane < 3; ++lane) {
      expect_agrees(index, vocabularies[lane], probes, lane);
    }
  }
}

// A vocabulary made to pile up in one run of slots: against the fixed hash
// the index once had, and against this index's own hash for a key that is
// known (as the process key is not). Either way no lookup reads more than a
// few dozen slots, every answer stays right, and the filter still turns most
// misses away (about 3 % pass by design).
TEST(TermIndexTest, CollidingVocabulariesKeepProbesShort) {
  constexpr std::size_t kTerms = 20000;  // tables of at most 2^15 slots
  const HashKey known{{0x0123456789ABCDEFull, 0xFEDCBA9876543211ull, 42, 7}};
  const auto under_known = [&known](std::string_view term) {
    return TermIndex::hash(known, TermIndex::pack(term));
  };
  for (const std::vector<std::string>& terms :
       {testing_support::colliding_terms(kTerms, testing_support::fixed_multiplicative_hash),
        testing_support::colliding_terms(kTerms, under_known)}) {
    Vocabulary vocabulary;
    std::vector<std::string> probes;
    for (const std::string& term : terms) {
      vocabulary.emplace(term, vocabulary.size());
      probes.insert(probes.end(), {term, term + "q"});  // misses of the same shape
    }
    const Vocabulary* lanes[] = {&vocabulary};
    const TermIndex index(lanes, known);
    EXPECT_LE(index.max_probe_length(), TermIndex::max_probe_bound(15));
    EXPECT_LT(expect_agrees(index, vocabulary, probes), 0.1);
  }
}

}  // namespace
}  // namespace vesko
