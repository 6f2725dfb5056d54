#include "tfidf/vectorizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/fatal_error.h"
#include "common/thread_pool.h"
#include "csr_rows.h"
#include "piece_texts.h"
#include "tfidf/counting_scratch.h"
#include "tfidf/term_list.h"

namespace vesko {
namespace {

using Texts = std::vector<std::string>;
constexpr TokenizerMode kModes[] = {TokenizerMode::WordUnigrams, TokenizerMode::WordBigrams,
                                    TokenizerMode::WordUnigramsAndBigrams,
                                    TokenizerMode::CharTrigrams};

TfidfModel make_model(Vocabulary vocabulary, std::vector<double> idf, bool sublinear_tf = false,
                      std::string norm = "l2") {
  TfidfModel model;
  model.vocabulary = std::move(vocabulary);
  model.idf = std::move(idf);
  model.sublinear_tf = sublinear_tf;
  model.norm = std::move(norm);
  return model;
}

// The straightforward method, step by step: counts per text in column order,
// weights, then each row normalised.
CsrMatrix reference_transform(const TfidfModel& model, TokenizerMode mode, const Texts& texts) {
  const Tokenizer tokenizer(mode);
  std::vector<testing_rows::Row> rows(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::vector<std::string> terms = term_list(tokenizer, texts[i]);
    std::map<std::uint64_t, std::size_t> counts;  // ascending columns
    for (const std::string& term : terms) {
      auto found = model.vocabulary.find(term);
      if (found != model.vocabulary.end()) ++counts[found->second];
    }
    for (const auto& [column, count] : counts) {
      if (column >= model.idf.size()) throw_index_out_of_bounds(model.idf.size(), column);
      const double weight = model.sublinear_tf
                                ? 1.0 + std::log(static_cast<double>(count))
                                : static_cast<double>(count) / static_cast<double>(terms.size());
      rows[i].emplace_back(column, weight * model.idf[column]);
    }
    const bool l2 = model.norm == "l2";
    if (!l2 && model.norm != "l1") continue;
    double sum = 0.0;
    for (const auto& entry : rows[i])
      sum += l2 ? entry.second * entry.second : std::fabs(entry.second);
    if (sum > 0.0) {
      for (auto& entry : rows[i]) entry.second /= l2 ? std::sqrt(sum) : sum;
    }
  }
  return testing_rows::matrix(model.vocabulary.size(), rows);
}

// A transform's matrix, a line per row with every value's bits, or its failure.
template <typename Transform>
std::string outcome_of(Transform&& transform) {
  try {
    const CsrMatrix m = transform();
    std::ostringstream out;
    out << m.rows() << " x " << m.cols() << std::hexfloat;
    for (std::size_t r = 0; r < m.rows(); ++r) {
      out << "\n";
      for (std::size_t k = m.indptr()[r]; k < m.indptr()[r + 1]; ++k) {
        out << m.indices()[k] << ":" << m.data()[k] << " ";
      }
    }
    return out.str();
  } catch (const FatalError& error) {
    return error.what();
  }
}

// free -> 0, money -> 1, idf [2.0, 1.0]; "free money free offer" has N = 4.
TEST(VectorizerTest, WorkedExampleGivesExactValues) {
  const struct {
    bool sublinear_tf;
    const char* norm;
    double free_value, money_value;
  } cases[] = {
      // clang-format off
      {false, "l2", 0.9701425001453319, 0.24253562503633297}, {false, "l1", 0.8, 0.2},
      {false, "L2", 1.0, 0.25}, {false, "none", 1.0, 0.25},  // any other text: no norm
      {false, "", 1.0, 0.25}, {false, "l2 ", 1.0, 0.25},
      {true, "l2", 0.95905587605771, 0.2832169249871526}, {true, "none", 3.386294361119891, 1.0},
      // clang-format on
  };
  for (const auto& c : cases) {
    const TfidfModel model =
        make_model({{"free", 0}, {"money", 1}}, {2.0, 1.0}, c.sublinear_tf, c.norm);
    const CsrMatrix m = TfidfVectorizer::from_model(TfidfModel(model), kModes[0])
                            .transform(Texts{"free money free offer"});
    EXPECT_EQ(m.indices(), (CsrMatrix::Indices{0, 1}));
    EXPECT_EQ(m.data(), (CsrMatrix::Values{c.free_value, c.money_value})) << c.norm;
  }
}

// Idf failures of any row come before shape failures; the first failing row
// decides, and within it the smallest offending column. A column fails only
// when a text hits it. Without a failure: the straightforward method's matrix,
// also for no text or no vocabulary.
TEST(VectorizerTest, FailuresFollowRowOrderIdfFirst) {
  const Vocabulary words = {{"aa", 0},   {"shape", 3}, {"low", 1},
                            {"nine", 9}, {"six", 6},   {"seven", 7}};  // V = 6
  // Trigrams: a column beyond V disables the ASCII table; else an ASCII
  // trigram takes its road, another the general one.
  const Vocabulary tri_shape = {{"abc", 0}, {"xyz", 2}};
  const Vocabulary tri_ascii = {{"abc", 0}, {"bcd", 2}, {"éab", 1}};
  const Vocabulary tri_other = {{"abc", 0}, {"bcd", 1}, {"éab", 2}};
  const Vocabulary none;
  const auto uni = TokenizerMode::WordUnigrams;
  const auto tri = TokenizerMode::CharTrigrams;
  const std::string shape = "col indices should be within shape";
  const std::string len4 = "index out of bounds: the len is 4 but the index is ";
  const std::string len2 = "index out of bounds: the len is 2 but the index is 2";
  const struct {
    const Vocabulary& vocabulary;
    std::size_t idf_size;
    TokenizerMode mode;
    Texts texts;
    std::string failure;  // "": none
  } cases[] = {
      // clang-format off
      {words, 4, uni, {"aa", "low"}, ""}, {words, 6, uni, {}, ""},
      {none, 0, uni, {"aa bb", "", "cc"}, ""},
      {words, 4, uni, {"aa", "nine six", "seven"}, len4 + "6"},
      {words, 4, uni, {"seven", "nine six"}, len4 + "7"},
      // Below V but at or beyond the idf length: an idf failure too.
      {words, 3, uni, {"shape"}, "index out of bounds: the len is 3 but the index is 3"},
      // Below the idf length but beyond V: a shape failure, yet a later row's
      // idf failure still wins.
      {words, 8, uni, {"seven aa", "low"}, shape},
      {words, 8, uni, {"seven aa", "nine"}, "index out of bounds: the len is 8 but the index is 9"},
      {tri_shape, 3, tri, {"abcd"}, ""},
      {tri_shape, 3, tri, {"abcd", "wxyz"}, shape},
      {tri_ascii, 2, tri, {"éab", "xabcd"}, len2},
      {tri_other, 2, tri, {"xabcd"}, ""},
      {tri_other, 2, tri, {"xabcd", "éabcd"}, len2},
      // clang-format on
  };
  for (const auto& c : cases) {
    const TfidfModel model = make_model(c.vocabulary, std::vector<double>(c.idf_size, 1.0));
    const TfidfVectorizer vectorizer = TfidfVectorizer::from_model(TfidfModel(model), c.mode);
    const std::string expected =
        c.failure.empty() ? outcome_of([&] { return reference_transform(model, c.mode, c.texts); })
                          : c.failure;
    EXPECT_EQ(outcome_of([&] { return vectorizer.transform(c.texts); }), expected)
        << testing::PrintToString(c.texts);
  }
}

// A batch whose entry arrays span several huge pages (1.2 M entries): they
// are sized unset and first written by the parallel fill, so every entry must
// land exactly once, in place.
TEST(VectorizerTest, LargeBatchIsFilledCompletely) {
  std::vector<std::string> letters;
  TfidfModel model;
  for (char a = 'a'; a < 'm'; ++a) {
    letters.emplace_back(1, a);
    for (char b = 'a'; b < 'm'; ++b) {
      for (char c = 'a'; c < 'm'; ++c) {
        model.vocabulary.emplace(std::string{a, b, c}, model.idf.size());
        model.idf.push_back(1.0 + static_cast<double>(c % 5));
      }
    }
  }
  std::mt19937_64 rng(8);
  Texts texts(1000);
  for (std::string& text : texts) text = testing_texts::random_text(rng, letters, 4000);
  const CsrMatrix actual =
      TfidfVectorizer::from_model(TfidfModel(model), kModes[3]).transform(texts);
  ASSERT_GT(actual.nnz(), 1'000'000u);
  EXPECT_EQ(outcome_of([&] { return actual; }),
            outcome_of([&] { return reference_transform(model, kModes[3], texts); }));
}

// Most terms of the first ten texts and `strangers` terms no text holds, a
// quarter of them sharing a column with another term; idf of mixed signs,
// zero included, longer than the vocabulary.
TfidfModel random_model(std::mt19937_64& rng, const Texts& texts, TokenizerMode mode,
                        int strangers) {
  TfidfModel model;
  for (std::size_t i = 0; i < 10; ++i) {
    for (std::string& term : term_list(Tokenizer(mode), texts[i])) {
      if (rng() % 4 != 0) model.vocabulary.emplace(std::move(term), 0);
    }
  }
  for (int k = 0; k < strangers; ++k)
    model.vocabulary.emplace("never seen " + std::to_string(k), 0);
  std::vector<std::uint64_t> columns(model.vocabulary.size());
  std::iota(columns.begin(), columns.end(), 0);
  std::shuffle(columns.begin(), columns.end(), rng);
  std::size_t k = 0;
  for (auto& [term, column] : model.vocabulary) {
    column = columns[k > 0 && rng() % 4 == 0 ? k - 1 : k];
    ++k;
  }
  std::uniform_real_distribution<double> value(-1.0, 9.0);
  model.idf.resize(columns.size() + 2);
  for (double& v : model.idf) v = rng() % 4 == 0 ? 0.0 : value(rng);
  return model;
}

// Random texts and models in every mode and option, each vectorizer alone
// and, for the word modes, sharing one index, transformed one by one and
// counted together: the straightforward method's matrix bit for bit, or its
// failure. Texts of a small alphabet with separators (terms repeat; pairs are
// slices of the text or assembled), or of every ASCII byte among multi-byte
// and invalid sequences (trigrams take the ASCII table's road or the general
// one). Every fourth round cuts one vectorizer's idf in half, so that texts
// fail, and may empty the first vocabulary of the group (it counts nothing).
TEST(VectorizerTest, MatchesTheStraightforwardMethod) {
  std::mt19937_64 rng(20240611);
  const std::vector<std::string> small = {"aa", "bb", "ab", "ba", "a",  "é", "ü",   "日本", " ",
                                          " ",  " ",  "\n", ",",  "--", "😀", "x_y", "12"};
  std::vector<std::string> bytes = {
      "the quick brown fox ", "é", "日本", "😀", "\xff", "\xc3", "\xe2\x82", " ", "ab"};
  for (int c = 0; c < 128; ++c) bytes.emplace_back(1, static_cast<char>(c));
  for (int round = 0; round < 16; ++round) {
    Texts texts(round % 4 == 0 ? 700 : 40);
    for (std::string& text : texts) {
      text = testing_texts::random_text(rng, round % 2 ? bytes : small, 120);
    }
    const bool failing = round % 4 == 3;
    const std::size_t cut = (round / 4) % 4;  // whose idf a failing round cuts
    for (bool sublinear : {false, true}) {
      for (const char* norm : {"l2", "l1", "none"}) {
        SCOPED_TRACE(testing::Message() << "round " << round << " " << sublinear << " " << norm);
        std::vector<TfidfModel> models;
        std::vector<TfidfVectorizer> alone, shared;
        for (std::size_t m = 0; m < std::size(kModes); ++m) {  // rows sparse against V or not
          TfidfModel model = random_model(rng, texts, kModes[m], round % 3 ? 1 : 3000);
          if (failing && m == 0 && cut != 0) model = TfidfModel();
          if (failing && m == cut) model.idf.resize(model.idf.size() / 2);
          model.sublinear_tf = sublinear;
          model.norm = norm;
          models.push_back(model);
          alone.push_back(TfidfVectorizer::from_model(TfidfModel(model), kModes[m]));
          shared.push_back(TfidfVectorizer::from_model(std::move(model), kModes[m]));
        }
        TfidfVectorizer* words[] = {&shared[0], &shared[1], &shared[2]};
        TfidfVectorizer::share_term_index(words);
        const TfidfVectorizer* group[] = {&shared[0], &shared[1], &shared[2]};
        std::vector<std::vector<TfidfRow>> together = TfidfVectorizer::count_together(group, texts);
        for (std::size_t m = 0; m < std::size(kModes); ++m) {
          const std::string expected =
              outcome_of([&] { return reference_transform(models[m], kModes[m], texts); });
          const auto check = [&](auto transform) {
            EXPECT_EQ(outcome_of(transform), expected) << m;
          };
          check([&] { return alone[m].transform(texts); });
          check([&] { return shared[m].transform(texts); });
          if (m < 3) check([&] { return shared[m].to_matrix(std::move(together[m])); });
        }
      }
    }
  }
}

// A counting started on a thread whose scratch is held (one that re-entered)
// counts in a scratch of its own: its rows are the same, and the held scratch
// is left as it was.
TEST(VectorizerTest, CountingThatReentersLeavesTheHeldScratchAlone) {
  std::mt19937_64 rng(7);
  const std::vector<std::string> pieces = {"free ", "money ", "offer ", "é ", "日本 ", "a "};
  Texts texts(50);
  for (std::string& text : texts) text = testing_texts::random_text(rng, pieces, 60);
  for (const TokenizerMode mode : kModes) {
    const TfidfVectorizer v =
        TfidfVectorizer::from_model(random_model(rng, texts, mode, 100), mode);
    const std::string expected = outcome_of([&] { return v.transform(texts); });
    run_on_pool_of(1, [&] {  // every text counted on this thread
      HeldScratch outer;
      std::vector<std::uint32_t>& in_use = outer.get().members[0].count;
      const std::vector<std::uint32_t> before =
          std::exchange(in_use, std::vector<std::uint32_t>(64, 7));
      EXPECT_EQ(outcome_of([&] { return v.transform(texts); }), expected);
      EXPECT_EQ(std::exchange(in_use, before), std::vector<std::uint32_t>(64, 7));
    });
  }
}

}  // namespace
}  // namespace vesko
