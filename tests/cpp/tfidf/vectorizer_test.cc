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

TfidfModel make_model(Vocabulary vocabulary, std::vector<double> idf, bool sublinear_tf,
                      std::string norm) {
  TfidfModel model;
  model.vocabulary = std::move(vocabulary);
  model.idf = std::move(idf);
  model.sublinear_tf = sublinear_tf;
  model.norm = std::move(norm);
  return model;
}

TfidfVectorizer make_vectorizer(Vocabulary vocabulary, std::vector<double> idf, bool sublinear_tf,
                                std::string norm,
                                TokenizerMode mode = TokenizerMode::WordUnigrams) {
  return TfidfVectorizer::from_model(
      make_model(std::move(vocabulary), std::move(idf), sublinear_tf, std::move(norm)), mode);
}

// The straightforward method, step by step: a hash map of counts per text,
// triplets in map order, the matrix from triplets, then each row normalised
// and rebuilt from triplets.
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
    for (const auto& entry : rows[i]) sum += l2 ? entry.second * entry.second : std::fabs(entry.second);
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
  // Bit for bit: EXPECT_EQ on doubles is exact.
  ASSERT_EQ(actual.data(), expected.data());
}

std::string fatal_message(const TfidfVectorizer& vectorizer, const Texts& texts) {
  return vesko::fatal_message([&] { vectorizer.transform(texts); });
}

// free -> 0, money -> 1, idf [2.0, 1.0]; "free money free offer" has N = 4.
struct WorkedCase {
  bool sublinear_tf;
  const char* norm;
  double free_value;
  double money_value;
};

class WorkedExampleTest : public testing::TestWithParam<WorkedCase> {};

TEST_P(WorkedExampleTest, GivesExactValues) {
  const WorkedCase& c = GetParam();
  const TfidfVectorizer vectorizer =
      make_vectorizer({{"free", 0}, {"money", 1}}, {2.0, 1.0}, c.sublinear_tf, c.norm);
  const CsrMatrix m = vectorizer.transform(Texts{"free money free offer"});
  ASSERT_EQ(m.rows(), 1u);
  ASSERT_EQ(m.cols(), 2u);
  ASSERT_EQ(m.indices(), (CsrMatrix::Indices{0, 1}));
  EXPECT_EQ(m.data()[0], c.free_value);
  EXPECT_EQ(m.data()[1], c.money_value);
}

INSTANTIATE_TEST_SUITE_P(
    Norms, WorkedExampleTest,
    testing::Values(WorkedCase{false, "l2", 0.9701425001453319, 0.24253562503633297},
                    WorkedCase{false, "l1", 0.8, 0.2}, WorkedCase{false, "L2", 1.0, 0.25},
                    WorkedCase{false, "none", 1.0, 0.25}, WorkedCase{false, "", 1.0, 0.25},
                    WorkedCase{false, "l2 ", 1.0, 0.25},
                    WorkedCase{true, "l2", 0.95905587605771, 0.2832169249871526},
                    WorkedCase{true, "none", 3.386294361119891, 1.0}));

TEST(VectorizerTest, EmptyBatchHasNoRows) {
  const CsrMatrix m =
      make_vectorizer({{"aa", 0}, {"bb", 1}}, {1.0, 1.0}, false, "l2").transform(Texts{});
  EXPECT_EQ(m.rows(), 0u);
  EXPECT_EQ(m.cols(), 2u);
  EXPECT_EQ(m.indptr(), (std::vector<std::size_t>{0}));
  EXPECT_EQ(m.nnz(), 0u);
}

TEST(VectorizerTest, TextsWithoutHitsAreEmptyRowsInPlace) {
  const TfidfVectorizer vectorizer = make_vectorizer({{"aa bb", 0}, {"cc", 1}}, {1.0, 1.0}, false,
                                                     "l2", TokenizerMode::WordBigrams);
  // Empty text; one word only; no hit; a hit.
  const CsrMatrix m = vectorizer.transform(Texts{"", "aa", "cc dd", "x aa, bb"});
  EXPECT_EQ(m.rows(), 4u);
  EXPECT_EQ(m.indptr(), (std::vector<std::size_t>{0, 0, 0, 0, 1}));
  EXPECT_EQ(m.indices(), (CsrMatrix::Indices{0}));
  EXPECT_EQ(m.data(), (CsrMatrix::Values{1.0}));
}

TEST(VectorizerTest, EmptyVocabularyGivesEmptyRowsAndNoColumns) {
  const CsrMatrix m = make_vectorizer({}, {}, false, "l2").transform(Texts{"aa bb", "", "cc"});
  EXPECT_EQ(m.rows(), 3u);
  EXPECT_EQ(m.cols(), 0u);
  EXPECT_EQ(m.indptr(), (std::vector<std::size_t>{0, 0, 0, 0}));
}

TEST(VectorizerTest, TermsSharingAColumnCountTogether) {
  const CsrMatrix m =
      make_vectorizer({{"aa", 0}, {"bb", 0}}, {1.0, 1.0}, false, "none").transform(Texts{"aa bb"});
  EXPECT_EQ(m.cols(), 2u);
  EXPECT_EQ(m.indices(), (CsrMatrix::Indices{0}));
  EXPECT_EQ(m.data(), (CsrMatrix::Values{1.0}));
}

// N counts every term, found or not: 2n - 1 terms for n words with pairs.
TEST(VectorizerTest, WeightsDivideByAllTerms) {
  const CsrMatrix m =
      make_vectorizer({{"aa", 0}}, {1.0}, false, "none", TokenizerMode::WordUnigramsAndBigrams)
          .transform(Texts{"aa bb cc"});
  EXPECT_EQ(m.data(), (CsrMatrix::Values{1.0 / 5.0}));
}

TEST(VectorizerTest, ZeroIdfIsStoredAndLeftUnnormalised) {
  const TfidfVectorizer vectorizer =
      make_vectorizer({{"aa", 0}, {"bb", 1}, {"cc", 2}}, {0.0, 0.0, -2.0}, false, "l1");
  const CsrMatrix m = vectorizer.transform(Texts{"aa bb", "aa cc cc"});
  EXPECT_EQ(m.indptr(), (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(m.indices(), (CsrMatrix::Indices{0, 1, 0, 2}));
  // Row 0 sums to 0.0 and keeps its stored zeros; row 1 keeps its sign.
  EXPECT_EQ(m.data(), (CsrMatrix::Values{0.0, 0.0, 0.0, -1.0}));
}

TEST(VectorizerTest, IdfShorterThanAColumnFailsOnlyWhenHit) {
  const TfidfVectorizer vectorizer =
      make_vectorizer({{"aa", 0}, {"bb", 5}}, {1.0, 1.0, 1.0}, false, "l2");
  EXPECT_EQ(vectorizer.transform(Texts{"aa cc"}).nnz(), 1u);
  EXPECT_EQ(fatal_message(vectorizer, {"aa cc", "bb aa"}),
            "index out of bounds: the len is 3 but the index is 5");
}

TEST(VectorizerTest, ColumnBeyondVocabularyFailsOnShape) {
  const TfidfVectorizer vectorizer =
      make_vectorizer({{"aa", 0}, {"bb", 2}}, {1.0, 1.0, 1.0}, false, "l2");
  EXPECT_EQ(fatal_message(vectorizer, {"aa", "bb"}), "col indices should be within shape");
}

// Character trigrams take a separate road for three ASCII characters; the
// reference makes every trigram as a string. Texts mix every ASCII byte (NUL
// and DEL included) with multi-byte and invalid sequences and long ASCII
// stretches, so trigrams straddle both roads; the vocabulary holds most of
// their trigrams, a few sharing a column.
TEST(VectorizerTest, CharTrigramsOfAnyBytesMatchTheStraightforwardMethod) {
  std::mt19937_64 rng(31);
  std::vector<std::string> pieces = {
      "the quick brown fox ", "é", "日本", "😀", "\xff", "\xc3", "\xe2\x82", " ", "ab"};
  for (int c = 0; c < 128; ++c) pieces.emplace_back(1, static_cast<char>(c));
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  Texts texts(300);
  for (std::string& text : texts) {
    for (int n = length(rng); n > 0; --n) text += pieces[piece(rng)];
  }
  const Tokenizer tokenizer(TokenizerMode::CharTrigrams);
  Vocabulary vocabulary;
  std::uniform_int_distribution<int> coin(0, 3);
  for (std::size_t i = 0; i < 100; ++i) {
    for (std::string& term : term_list(tokenizer, texts[i])) {
      if (coin(rng) != 0) vocabulary.emplace(std::move(term), vocabulary.size());
    }
  }
  for (auto& [term, column] : vocabulary) {
    if (coin(rng) == 0 && column > 0) column -= 1;
  }
  std::vector<double> idf(vocabulary.size());
  for (std::size_t k = 0; k < idf.size(); ++k) idf[k] = 0.5 + static_cast<double>(k % 7);
  for (bool sublinear : {false, true}) {
    const TfidfModel model = make_model(vocabulary, idf, sublinear, "l2");
    expect_same(TfidfVectorizer::from_model(TfidfModel(model), TokenizerMode::CharTrigrams)
                    .transform(texts),
                reference_transform(model, TokenizerMode::CharTrigrams, texts));
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
  std::uniform_int_distribution<std::size_t> letter(0, letters.size() - 1);
  Texts texts(1000);
  for (std::string& text : texts) {
    for (int n = 0; n < 2000; ++n) text += letters[letter(rng)];
  }
  const TfidfModel model = make_model(std::move(vocabulary), std::move(idf), false, "l2");
  const CsrMatrix actual =
      TfidfVectorizer::from_model(TfidfModel(model), TokenizerMode::CharTrigrams).transform(texts);
  ASSERT_GT(actual.nnz(), 1'000'000u);
  expect_same(actual, reference_transform(model, TokenizerMode::CharTrigrams, texts));
}

// A model file whose ASCII trigram has a column beyond the vocabulary fails
// as the word modes do, and only when a text holds that trigram.
TEST(VectorizerTest, CharTrigramColumnsBeyondTheModelFail) {
  const auto trigrams = [](Vocabulary vocabulary, std::vector<double> idf) {
    return TfidfVectorizer::from_model(
        make_model(std::move(vocabulary), std::move(idf), false, "l2"),
        TokenizerMode::CharTrigrams);
  };
  const TfidfVectorizer shape = trigrams({{"abc", 0}, {"xyz", 2}}, {1.0, 1.0, 1.0});
  EXPECT_EQ(shape.transform(Texts{"abcd"}).nnz(), 1u);
  EXPECT_EQ(fatal_message(shape, {"abcd", "wxyz"}), "col indices should be within shape");
  const TfidfVectorizer ascii_beyond = trigrams({{"abc", 0}, {"bcd", 2}, {"éab", 1}}, {1.0, 1.0});
  EXPECT_EQ(fatal_message(ascii_beyond, {"éab", "xabcd"}),
            "index out of bounds: the len is 2 but the index is 2");
  const TfidfVectorizer other_beyond = trigrams({{"abc", 0}, {"bcd", 1}, {"éab", 2}}, {1.0, 1.0});
  EXPECT_EQ(other_beyond.transform(Texts{"xabcd"}).nnz(), 2u);
  EXPECT_EQ(fatal_message(other_beyond, {"xabcd", "éabcd"}),
            "index out of bounds: the len is 2 but the index is 2");
}

// Idf failures of any row come before shape failures; the first failing row
// decides, and within it the smallest offending column.
TEST(VectorizerTest, FailuresFollowRowOrderIdfFirst) {
  Vocabulary vocabulary = {{"aa", 0},   {"shape", 3}, {"low", 1},
                           {"nine", 9}, {"six", 6},   {"seven", 7}};
  // V = 6; with an idf of length 4 every column from 4 up is an idf failure.
  const TfidfVectorizer vectorizer = make_vectorizer(vocabulary, {1, 1, 1, 1}, false, "l2");
  EXPECT_EQ(fatal_message(vectorizer, {"aa", "nine six", "seven"}),
            "index out of bounds: the len is 4 but the index is 6");
  EXPECT_EQ(fatal_message(vectorizer, {"seven", "nine six"}),
            "index out of bounds: the len is 4 but the index is 7");
  // A column below V but at or beyond the idf length is an idf failure too.
  const TfidfVectorizer short_idf = make_vectorizer(vocabulary, {1, 1, 1}, false, "l2");
  EXPECT_EQ(fatal_message(short_idf, {"shape"}),
            "index out of bounds: the len is 3 but the index is 3");
  // Column 7 is below the idf length 8 but beyond V = 6: a shape failure, yet
  // a later row's idf failure still wins.
  const TfidfVectorizer long_idf =
      make_vectorizer(vocabulary, std::vector<double>(8, 1.0), false, "l2");
  EXPECT_EQ(fatal_message(long_idf, {"seven aa", "low"}), "col indices should be within shape");
  EXPECT_EQ(fatal_message(long_idf, {"seven aa", "nine"}),
            "index out of bounds: the len is 8 but the index is 9");
}

// Random texts over a small alphabet (so that terms repeat), with separators
// that make pairs both slices of the text and assembled ones.
std::string random_text(std::mt19937_64& rng) {
  static const char* const kPieces[] = {"aa", "bb", "ab", "ba", "a",  "é", "ü",   "日本", " ",
                                        " ",  " ",  "\n", ",",  "--", "😀", "x_y", "12"};
  std::uniform_int_distribution<std::size_t> length(0, 60);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
  std::string text;
  for (std::size_t n = length(rng); n > 0; --n) text += kPieces[piece(rng)];
  return text;
}

TEST(VectorizerTest, MatchesTheStraightforwardMethodBitForBit) {
  std::mt19937_64 rng(20240611);
  const TokenizerMode modes[] = {TokenizerMode::WordUnigrams, TokenizerMode::WordBigrams,
                                 TokenizerMode::CharTrigrams,
                                 TokenizerMode::WordUnigramsAndBigrams};
  for (int round = 0; round < 12; ++round) {
    Texts texts(round % 3 == 0 ? 700 : 40);
    for (std::string& text : texts) text = random_text(rng);
    for (TokenizerMode mode : modes) {
      // The vocabulary: terms of a few texts and some strangers, some of them
      // sharing a column; idf of mixed signs, zero included, longer than V.
      const Tokenizer tokenizer(mode);
      Vocabulary vocabulary;
      std::uniform_int_distribution<int> coin(0, 3);
      for (std::size_t i = 0; i < 10; ++i) {
        for (std::string& term : term_list(tokenizer, texts[i])) {
          if (coin(rng) != 0) vocabulary.emplace(std::move(term), 0);
        }
      }
      // Odd rounds add many terms no text holds, so that rows are sparse
      // against V as well as dense.
      const int strangers = round % 2 == 1 ? 3000 : 1;
      for (int k = 0; k < strangers; ++k) vocabulary.emplace("never seen " + std::to_string(k), 0);
      std::vector<std::uint64_t> columns(vocabulary.size());
      for (std::size_t k = 0; k < columns.size(); ++k) columns[k] = k;
      std::shuffle(columns.begin(), columns.end(), rng);
      std::size_t k = 0;
      for (auto& [term, column] : vocabulary) {
        column = coin(rng) == 0 && k > 0 ? columns[k - 1] : columns[k];
        ++k;
      }
      std::uniform_real_distribution<double> idf_value(-1.0, 9.0);
      std::vector<double> idf(vocabulary.size() + 2);
      for (double& v : idf) v = coin(rng) == 0 ? 0.0 : idf_value(rng);
      for (bool sublinear : {false, true}) {
        for (const char* norm : {"l2", "l1", "none"}) {
          const TfidfModel model = make_model(vocabulary, idf, sublinear, norm);
          const CsrMatrix expected = reference_transform(model, mode, texts);
          const CsrMatrix actual =
              TfidfVectorizer::from_model(TfidfModel(model), mode).transform(texts);
          SCOPED_TRACE(testing::Message() << "round " << round << " mode " << static_cast<int>(mode)
                                          << " sublinear " << sublinear << " norm " << norm);
          expect_same(actual, expected);
        }
      }
    }
  }
}

// Vectorizers of words, pairs and both, sharing one term index and counted
// together, give each what it gives alone: vocabularies that share terms
// (with other columns), one empty, one holding a column no idf covers.
TEST(VectorizerTest, CountedTogetherEachAsAlone) {
  std::mt19937_64 rng(77);
  Texts texts(300);
  for (std::string& text : texts) text = random_text(rng);
  const TokenizerMode modes[] = {TokenizerMode::WordUnigrams, TokenizerMode::WordBigrams,
                                 TokenizerMode::WordUnigramsAndBigrams};
  std::uniform_int_distribution<int> coin(0, 2);
  for (int round = 0; round < 6; ++round) {
    std::vector<TfidfModel> models;
    for (TokenizerMode mode : modes) {
      Vocabulary vocabulary;
      if (round != 1 || mode != TokenizerMode::WordUnigrams) {  // round 1: the first is empty
        for (std::size_t i = 0; i < 30; ++i) {
          for (std::string& term : term_list(Tokenizer(mode), texts[i])) {
            if (coin(rng) == 0) vocabulary.emplace(std::move(term), vocabulary.size());
          }
        }
      }
      std::vector<double> idf(vocabulary.size());
      for (std::size_t k = 0; k < idf.size(); ++k) idf[k] = 1.0 + 0.5 * static_cast<double>(k % 7);
      if (round == 2 && !idf.empty()) idf.pop_back();  // the last column is beyond idf
      models.push_back(make_model(std::move(vocabulary), std::move(idf), round % 2 == 0, "l2"));
    }
    std::vector<TfidfVectorizer> together;
    for (std::size_t m = 0; m < models.size(); ++m) {
      together.push_back(TfidfVectorizer::from_model(TfidfModel(models[m]), modes[m]));
    }
    TfidfVectorizer* lanes[] = {&together[0], &together[1], &together[2]};
    TfidfVectorizer::share_term_index(lanes);
    const TfidfVectorizer* group[] = {&together[0], &together[1], &together[2]};
    std::vector<std::vector<TfidfRow>> rows = TfidfVectorizer::count_together(group, texts);
    for (std::size_t m = 0; m < models.size(); ++m) {
      SCOPED_TRACE(testing::Message() << "round " << round << " vectorizer " << m);
      const TfidfVectorizer alone = TfidfVectorizer::from_model(TfidfModel(models[m]), modes[m]);
      const std::string alone_failure = fatal_message(alone, texts);
      const std::string together_failure =
          vesko::fatal_message([&] { together[m].to_matrix(std::vector<TfidfRow>(rows[m])); });
      ASSERT_EQ(together_failure, alone_failure);
      if (alone_failure == "no failure") {
        expect_same(together[m].to_matrix(std::move(rows[m])), alone.transform(texts));
      }
    }
  }
}

}  // namespace
}  // namespace vesko
