#include "tfidf/tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tfidf/term_list.h"

namespace vesko {
namespace {

using Terms = std::vector<std::string>;
constexpr TokenizerMode kUni = TokenizerMode::WordUnigrams;
constexpr TokenizerMode kBi = TokenizerMode::WordBigrams;
constexpr TokenizerMode kTri = TokenizerMode::CharTrigrams;
constexpr TokenizerMode kUniBi = TokenizerMode::WordUnigramsAndBigrams;

struct Case {
  const char* name;
  std::string text;
  TokenizerMode mode;
  Terms expected;
};

class TokenizeTest : public testing::TestWithParam<Case> {};

TEST_P(TokenizeTest, GivesTermsInOrder) {
  const Case& c = GetParam();
  EXPECT_EQ(term_list(Tokenizer(c.mode), c.text), c.expected) << c.name;
}

const Case kCases[] = {
    {"empty_uni", "", kUni, {}},
    {"empty_bi", "", kBi, {}},
    {"empty_tri", "", kTri, {}},
    {"empty_unibi", "", kUniBi, {}},
    // Every run is one character: no words, but trigrams of everything.
    {"abc_uni", "a b c", kUni, {}},
    {"abc_bi", "a b c", kBi, {}},
    {"abc_unibi", "a b c", kUniBi, {}},
    {"abc_tri", "a b c", kTri, {"a b", " b ", "b c"}},
    {"hello_uni", "hello", kUni, {"hello"}},
    {"hello_bi", "hello", kBi, {}},
    {"hello_tri", "hello", kTri, {"hel", "ell", "llo"}},
    {"hello_unibi", "hello", kUniBi, {"hello"}},
    {"two_chars_tri", "ab", kTri, {}},
    {"two_chars_unibi", "ab", kUniBi, {"ab"}},
    {"comma_uni", "free money, a gift", kUni, {"free", "money", "gift"}},
    {"comma_bi", "free money, a gift", kBi, {"free money", "money gift"}},
    {"comma_unibi",
     "free money, a gift",
     kUniBi,
     {"free", "money", "gift", "free money", "money gift"}},
    {"apostrophe_uni", "don't stop", kUni, {"don", "stop"}},
    {"apostrophe_bi", "don't stop", kBi, {"don stop"}},
    {"underscore_digits", "foo_bar 42x", kUni, {"foo_bar", "42x"}},
    {"line_feeds_bi", "hello\n\nworld", kBi, {"hello world"}},
    {"line_feeds_unibi", "hello\n\nworld", kUniBi, {"hello", "world", "hello world"}},
    {"repeats_uni", "spam spam spam", kUni, {"spam", "spam", "spam"}},
    {"repeats_bi", "spam spam spam", kBi, {"spam spam", "spam spam"}},
    {"repeats_unibi", "spam spam spam", kUniBi, {"spam", "spam", "spam", "spam spam", "spam spam"}},
    {"no_folding", "Hello World", kUni, {"Hello", "World"}},
    {"accents_uni", "café crème", kUni, {"café", "crème"}},
    // Ten code points, twelve bytes: eight trigrams.
    {"accents_tri", "café crème", kTri, {"caf", "afé", "fé ", "é c", " cr", "crè", "rèm", "ème"}},
    // Pairs hold one space whatever separated the words, and slices of the
    // text must not swallow a second separator.
    {"pair_separators",
     "aa bb  cc\tdd-ee x ff",
     kBi,
     {"aa bb", "bb cc", "cc dd", "dd ee", "ee ff"}},
    {"pair_at_end", "aa b", kBi, {}},
    // Word characters beyond letters: marks, Nd of other scripts, join
    // controls, Alphabetic symbols (circled letters, Roman numerals).
    {"combining_mark", "e\u0301t x\u0301", kUni, {"e\u0301t", "x\u0301"}},
    {"devanagari", "नमस्ते दुनिया", kUni, {"नमस्ते", "दुनिया"}},
    {"arabic_digits", "٣٤ ٥", kUni, {"٣٤"}},
    {"join_controls", "x\u200Dy a\u200Cb", kUni, {"x\u200Dy", "a\u200Cb"}},
    {"alphabetic_symbols", "ⒶⒷ ⅫⅫ", kUni, {"ⒶⒷ", "ⅫⅫ"}},
    {"cjk", "日本語,中", kUni, {"日本語"}},
    {"greek_pairs", "αβ γδ", kBi, {"αβ γδ"}},
    // Not word characters: No digits, dashes, symbols, emoji, non-breaking space.
    {"non_word_chars",
     "ab½cd x²y en–dash 😀ok no\u00A0break",
     kUni,
     {"ab", "cd", "en", "dash", "ok", "no", "break"}},
    {"emoji_tri", "😀ab😀", kTri, {"😀ab", "ab😀"}},
    {"four_byte_tri", "😀😀😀", kTri, {"😀😀😀"}},
    {"line_breaks_tri", "a\r\n b", kTri, {"a\r\n", "\r\n ", "\n b"}},
    // Malformed UTF-8: each bad byte is one non-word character; nothing is
    // read beyond the text.
    {"invalid_byte_words",
     "ab\xff"
     "cd",
     kUni,
     {"ab", "cd"}},
    {"surrogate_words",
     "ab\xed\xa0\x80"
     "cd",
     kUni,
     {"ab", "cd"}},
    {"overlong_words",
     "ab\xc0\xaf"
     "cd",
     kUni,
     {"ab", "cd"}},
    {"truncated_words", "ab\xc3", kUni, {"ab"}},
    {"truncated_tri", "a\xe2\x82", kTri, {"a\xe2\x82"}},
    {"stray_continuation_tri", "\x80\x80", kTri, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, TokenizeTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// Term counts follow the words: n words give n - 1 pairs and 2n - 1 terms
// under unigrams-and-bigrams; m code points give m - 2 trigrams.
TEST(TokenizerTest, TermCountsFollowWordsAndCodePoints) {
  const std::string text = "one, two three.. four ü five\n";
  EXPECT_EQ(term_list(Tokenizer(kUni), text).size(), 5u);
  EXPECT_EQ(term_list(Tokenizer(kBi), text).size(), 4u);
  EXPECT_EQ(term_list(Tokenizer(kUniBi), text).size(), 9u);
  EXPECT_EQ(term_list(Tokenizer(kTri), text).size(), 29u - 2u);
}

// Words the plain way: one code point at a time through the word-character
// table, with no byte-class shortcut and no stepping 64 bytes at a time.
Terms words_one_by_one(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  Terms words;
  const unsigned char* start = nullptr;
  std::size_t chars = 0;
  auto close = [&](const unsigned char* at) {
    if (chars >= 2) words.emplace_back(reinterpret_cast<const char*>(start), at - start);
    chars = 0;
  };
  while (p < end) {
    char32_t code_point;
    const std::size_t length = decode_utf8(p, end, code_point);
    if (table.classes(code_point) & kCharWord) {
      if (chars++ == 0) start = p;
    } else {
      close(p);
    }
    p += length;
  }
  close(end);
  return words;
}

// Texts that cross 64-byte blocks in every way: long and short runs, every
// ASCII byte, word and non-word characters of two to four bytes, a combining
// mark, invalid and truncated sequences, at every alignment.
TEST(TokenizerTest, WordsMatchACharacterByCharacterSplit) {
  std::mt19937_64 rng(99);
  std::vector<std::string> pieces = {"abcdefghijklmnopqrstu",
                                     std::string(70, 'w'),
                                     std::string(64, ' '),
                                     "x",
                                     "Zy_09",
                                     "é",
                                     "ß",
                                     "日本語",
                                     "\xc2\xa0",
                                     "—",
                                     "😀",
                                     "e\xcc\x81",
                                     "\xff",
                                     "\xc3",
                                     "\xe2\x82",
                                     "\xed\xa0\x80",
                                     " ",
                                     "  ",
                                     "\n"};
  for (int c = 0; c < 128; ++c) pieces.emplace_back(1, static_cast<char>(c));
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 300);
  const Tokenizer tokenizer(kUni);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = length(rng); n > 0; --n) text += pieces[piece(rng)];
    ASSERT_EQ(term_list(tokenizer, text), words_one_by_one(text)) << "round " << round;
  }
}

TEST(TokenizerTest, ScratchIsReusableAcrossTexts) {
  const Tokenizer tokenizer(kUniBi);
  TokenScratch scratch;
  Terms first, second;
  tokenizer.for_each_term("aa, bb cc", scratch, [&](std::string_view t) { first.emplace_back(t); });
  tokenizer.for_each_term("dd", scratch, [&](std::string_view t) { second.emplace_back(t); });
  EXPECT_EQ(first, (Terms{"aa", "bb", "cc", "aa bb", "bb cc"}));
  EXPECT_EQ(second, (Terms{"dd"}));
}

}  // namespace
}  // namespace vesko
