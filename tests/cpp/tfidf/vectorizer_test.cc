#include "tfidf/vectorizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/fatal_error.h"
#include "csr_rows.h"
#include "fatal_message.h"
#include "tfidf/term_list.h"

namespace vesko {
namespace {

using Texts = std::vector<std::string>;

TfidfModel make_model(Vocabulary vocabulary, std::vector<double> idf, bool sublinear_tf = false,
                      std::string norm = "l2") {
  TfidfModel model;
  model.vocabulary = std::move(vocabulary);
  model.idf = std::move(idf);
  model.sublinear_tf = sublinear_tf;
  model.norm = std::move(norm);
  return model;
}

TfidfVectorizer make_vectorizer(Vocabulary vocabulary, std::vector<double> idf,
                                TokenizerMode mode = TokenizerMode::WordUnigrams,
                                bool sublinear_tf = false, std::string norm = "l2") {
  return TfidfVectorizer::from_model(
      make_model(std::move(vocabulary), std::move(idf), sublinear_tf, std::move(norm)), mode);
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

void expect_same(const CsrMatrix& actual, const CsrMatrix& expected) {
  ASSERT_EQ(actual.rows(), expected.rows());
  ASSERT_EQ(actual.cols(), expected.cols());
  ASSERT_EQ(actual.indptr(), expected.indptr());
  ASSERT_EQ(actual.indices(), expected.indices());
  ASSERT_EQ(actual.data(), expected.data());  // bit for bit: EXPECT_EQ on doubles is exact
}

// free -> 0, money -> 1, idf [2.0, 1.0]; "free money free offer" has N = 4.
TEST(VectorizerTest, WorkedExampleGivesExactValues) {
  const struct {
    bool sublinear_tf;
    const char* norm;
    double free_value, money_value;
  } cases[] = {
      {false, "l2", 0.9701425001453319, 0.24253562503633297},
      {false, "l1", 0.8, 0.2},
      {false, "L2", 1.0, 0.25},  // any other text: no norm
      {false, "none", 1.0, 0.25},
      {false, "", 1.0, 0.25},
      {false, "l2 ", 1.0, 0.25},
      {true, "l2", 0.95905587605771, 0.2832169249871526},
      {true, "none", 3.386294361119891, 1.0},
  };
  for (const auto& c : cases) {
    const CsrMatrix m = make_vectorizer({{"free", 0}, {"money", 1}}, {2.0, 1.0},
                                        TokenizerMode::WordUnigrams, c.sublinear_tf, c.norm)
                            .transform(Texts{"free money free offer"});
    ASSERT_EQ(m.indices(), (CsrMatrix::Indices{0, 1})) << c.norm;
    EXPECT_EQ(m.data(), (CsrMatrix::Values{c.free_value, c.money_value})) << c.norm;
  }
}

TEST(VectorizerTest, EmptyBatchOrVocabulary) {
  const CsrMatrix none = make_vectorizer({{"aa", 0}, {"bb", 1}}, {1.0, 1.0}).transform(Texts{});
  EXPECT_EQ(none.rows(), 0u);
  EXPECT_EQ(none.cols(), 2u);
  EXPECT_EQ(none.indptr(), (std::vector<std::size_t>{0}));
  const CsrMatrix empty = make_vectorizer({}, {}).transform(Texts{"aa bb", "", "cc"});
  EXPECT_EQ(empty.cols(), 0u);
  EXPECT_EQ(empty.indptr(), (std::vector<std::size_t>{0, 0, 0, 0}));
}

// Idf failures of any row come before shape failures; the first failing row
// decides, and within it the smallest offending column. A column fails only
// when a text hits it.
TEST(VectorizerTest, FailuresFollowRowOrderIdfFirst) {
  const Vocabulary words = {{"aa", 0},   {"shape", 3}, {"low", 1},
                            {"nine", 9}, {"six", 6},   {"seven", 7}};  // V = 6
  // Trigrams: a column beyond V disables the ASCII table; else an ASCII
  // trigram takes its road, another the general one.
  const Vocabulary tri_shape = {{"abc", 0}, {"xyz", 2}};
  const Vocabulary tri_ascii = {{"abc", 0}, {"bcd", 2}, {"éab", 1}};
  const Vocabulary tri_other = {{"abc", 0}, {"bcd", 1}, {"éab", 2}};
  const auto uni = TokenizerMode::WordUnigrams;
  const auto tri = TokenizerMode::CharTrigrams;
  const std::string shape = "col indices should be within shape";
  const struct {
    const Vocabulary& vocabulary;
    std::size_t idf_size;
    TokenizerMode mode;
    Texts texts;
    std::string message;
  } cases[] = {
      // clang-format off
      {words, 4, uni, {"aa", "low"}, "no failure"},
      {words, 4, uni, {"aa", "nine six", "seven"},
       "index out of bounds: the len is 4 but the index is 6"},
      {words, 4, uni, {"seven", "nine six"},
       "index out of bounds: the len is 4 but the index is 7"},
      // Below V but at or beyond the idf length: an idf failure too.
      {words, 3, uni, {"shape"}, "index out of bounds: the len is 3 but the index is 3"},
      // Below the idf length but beyond V: a shape failure, yet a later row's
      // idf failure still wins.
      {words, 8, uni, {"seven aa", "low"}, shape},
      {words, 8, uni, {"seven aa", "nine"}, "index out of bounds: the len is 8 but the index is 9"},
      {tri_shape, 3, tri, {"abcd"}, "no failure"},
      {tri_shape, 3, tri, {"abcd", "wxyz"}, shape},
      {tri_ascii, 2, tri, {"éab", "xabcd"}, "index out of bounds: the len is 2 but the index is 2"},
      {tri_other, 2, tri, {"xabcd"}, "no failure"},
      {tri_other, 2, tri, {"xabcd", "éabcd"},
       "index out of bounds: the len is 2 but the index is 2"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const TfidfVectorizer vectorizer =
        make_vectorizer(c.vocabulary, std::vector<double>(c.idf_size, 1.0), c.mode);
    EXPECT_EQ(fatal_message([&] { vectorizer.transform(c.texts); }), c.message)
        << testing::PrintToString(c.texts);
  }
}

// A batch whose entry arrays span several huge pages (1.2 M entries): they
// are sized unset and first written by the parallel fill, so every entry must
// land exactly once, in place.
TEST(VectorizerTest, LargeBatchIsFilledCompletely) {
  const std::string letters = "abcdefghijkl";
  Vocabulary vocabulary;
  for (char a : letters) {
    for (char b : letters) {
      for (char c : letters) vocabulary.emplace(std::string{a, b, c}, vocabulary.size());
    }
  }
  std::vector<double> idf(vocabulary.size());
  for (std::size_t k = 0; k < idf.size(); ++k) idf[k] = 1.0 + static_cast<double>(k % 5);
  std::mt19937_64 rng(8);
  Texts texts(1000);
  for (std::string& text : texts) {
    for (int n = 0; n < 2000; ++n) text += letters[rng() % letters.size()];
  }
  const TfidfModel model = make_model(std::move(vocabulary), std::move(idf));
  const CsrMatrix actual =
      TfidfVectorizer::from_model(TfidfModel(model), TokenizerMode::CharTrigrams).transform(texts);
  ASSERT_GT(actual.nnz(), 1'000'000u);
  expect_same(actual, reference_transform(model, TokenizerMode::CharTrigrams, texts));
}

Texts random_texts(std::mt19937_64& rng, std::size_t count, const std::vector<std::string>& pieces,
                   std::size_t max_pieces) {
  Texts texts(count);
  for (std::string& text : texts) {
    for (std::size_t n = rng() % (max_pieces + 1); n > 0; --n)
      text += pieces[rng() % pieces.size()];
  }
  return texts;
}

// Most terms of the first `sampled` texts and `strangers` terms no text
// holds, a quarter of them sharing a column with another term.
Vocabulary random_vocabulary(std::mt19937_64& rng, const Texts& texts, std::size_t sampled,
                             TokenizerMode mode, int strangers) {
  const Tokenizer tokenizer(mode);
  Vocabulary vocabulary;
  for (std::size_t i = 0; i < sampled; ++i) {
    for (std::string& term : term_list(tokenizer, texts[i])) {
      if (rng() % 4 != 0) vocabulary.emplace(std::move(term), 0);
    }
  }
  for (int k = 0; k < strangers; ++k) vocabulary.emplace("never seen " + std::to_string(k), 0);
  std::vector<std::uint64_t> columns(vocabulary.size());
  for (std::size_t k = 0; k < columns.size(); ++k) columns[k] = k;
  std::shuffle(columns.begin(), columns.end(), rng);
  std::size_t k = 0;
  for (auto& [term, column] : vocabulary) {
    column = rng() % 4 == 0 && k > 0 ? columns[k - 1] : columns[k];
    ++k;
  }
  return vocabulary;
}

// Idf of mixed signs, zero included, longer than the vocabulary.
std::vector<double> random_idf(std::mt19937_64& rng, std::size_t size) {
  std::uniform_real_distribution<double> value(-1.0, 9.0);
  std::vector<double> idf(size + 2);
  for (double& v : idf) v = rng() % 4 == 0 ? 0.0 : value(rng);
  return idf;
}

// Character trigrams take a road of their own for three ASCII characters.
// Texts mix every ASCII byte (NUL and DEL included) with multi-byte and
// invalid sequences and long ASCII stretches, so trigrams straddle both roads.
TEST(VectorizerTest, CharTrigramsOfAnyBytesMatchTheStraightforwardMethod) {
  std::mt19937_64 rng(31);
  std::vector<std::string> pieces = {
      "the quick brown fox ", "é", "日本", "😀", "\xff", "\xc3", "\xe2\x82", " ", "ab"};
  for (int c = 0; c < 128; ++c) pieces.emplace_back(1, static_cast<char>(c));
  const Texts texts = random_texts(rng, 300, pieces, 40);
  const auto mode = TokenizerMode::CharTrigrams;
  const Vocabulary vocabulary = random_vocabulary(rng, texts, 100, mode, 0);
  const std::vector<double> idf = random_idf(rng, vocabulary.size());
  for (bool sublinear : {false, true}) {
    const TfidfModel model = make_model(vocabulary, idf, sublinear, "l2");
    expect_same(TfidfVectorizer::from_model(TfidfModel(model), mode).transform(texts),
                reference_transform(model, mode, texts));
  }
}

// Random texts over a small alphabet (so that terms repeat), with separators
// that make pairs both slices of the text and assembled ones; every mode, on
// its own and, for the word modes, counted together over one shared index.
TEST(VectorizerTest, MatchesTheStraightforwardMethodBitForBit) {
  std::mt19937_64 rng(20240611);
  const std::vector<std::string> pieces = {"aa", "bb", "ab", "ba", "a",  "é", "ü",   "日本", " ",
                                           " ",  " ",  "\n", ",",  "--", "😀", "x_y", "12"};
  const TokenizerMode modes[] = {TokenizerMode::WordUnigrams, TokenizerMode::WordBigrams,
                                 TokenizerMode::WordUnigramsAndBigrams,
                                 TokenizerMode::CharTrigrams};
  for (int round = 0; round < 12; ++round) {
    const Texts texts = random_texts(rng, round % 3 == 0 ? 700 : 40, pieces, 60);
    for (bool sublinear : {false, true}) {
      for (const char* norm : {"l2", "l1", "none"}) {
        SCOPED_TRACE(testing::Message()
                     << "round " << round << " sublinear " << sublinear << " norm " << norm);
        std::vector<TfidfModel> models;
        std::vector<TfidfVectorizer> alone, shared;
        for (TokenizerMode mode : modes) {
          // Odd rounds add many terms no text holds, so that rows are sparse
          // against V as well as dense.
          Vocabulary vocabulary = random_vocabulary(rng, texts, 10, mode, round % 2 ? 3000 : 1);
          std::vector<double> idf = random_idf(rng, vocabulary.size());
          models.push_back(make_model(std::move(vocabulary), std::move(idf), sublinear, norm));
          alone.push_back(TfidfVectorizer::from_model(TfidfModel(models.back()), mode));
          shared.push_back(TfidfVectorizer::from_model(TfidfModel(models.back()), mode));
        }
        TfidfVectorizer* words[] = {&shared[0], &shared[1], &shared[2]};
        TfidfVectorizer::share_term_index(words);
        const TfidfVectorizer* group[] = {&shared[0], &shared[1], &shared[2]};
        std::vector<std::vector<TfidfRow>> together = TfidfVectorizer::count_together(group, texts);
        for (std::size_t m = 0; m < std::size(modes); ++m) {
          SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(modes[m]));
          const CsrMatrix expected = reference_transform(models[m], modes[m], texts);
          expect_same(alone[m].transform(texts), expected);
          expect_same(shared[m].transform(texts), expected);
          if (m < 3) expect_same(shared[m].to_matrix(std::move(together[m])), expected);
        }
      }
    }
  }
}

// A group counted together fails as its members fail alone, also when the
// first has an empty vocabulary (it counts nothing) and another a column no
// idf covers.
TEST(VectorizerTest, CountedTogetherFailsAsAlone) {
  std::mt19937_64 rng(77);
  const Texts texts = random_texts(rng, 300, {"aa", "bb", "ab", " ", "\n", "é"}, 40);
  const TokenizerMode modes[] = {TokenizerMode::WordUnigrams, TokenizerMode::WordBigrams,
                                 TokenizerMode::WordUnigramsAndBigrams};
  std::vector<TfidfModel> models;
  for (TokenizerMode mode : modes) {
    Vocabulary vocabulary =
        mode == modes[0] ? Vocabulary() : random_vocabulary(rng, texts, 30, mode, 1);
    std::vector<double> idf = random_idf(rng, vocabulary.size());
    if (mode == modes[2]) idf.resize(idf.size() / 2);  // columns beyond idf
    models.push_back(make_model(std::move(vocabulary), std::move(idf), false, "l2"));
  }
  std::vector<TfidfVectorizer> together;
  for (std::size_t m = 0; m < 3; ++m) {
    together.push_back(TfidfVectorizer::from_model(TfidfModel(models[m]), modes[m]));
  }
  TfidfVectorizer* lanes[] = {&together[0], &together[1], &together[2]};
  TfidfVectorizer::share_term_index(lanes);
  const TfidfVectorizer* group[] = {&together[0], &together[1], &together[2]};
  std::vector<std::vector<TfidfRow>> rows = TfidfVectorizer::count_together(group, texts);
  for (std::size_t m = 0; m < 3; ++m) {
    const TfidfVectorizer alone = TfidfVectorizer::from_model(TfidfModel(models[m]), modes[m]);
    EXPECT_EQ(fatal_message([&] { together[m].to_matrix(std::move(rows[m])); }),
              fatal_message([&] { alone.transform(texts); }))
        << "vectorizer " << m;
  }
}

}  // namespace
}  // namespace vesko
