#include "tfidf/tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "piece_texts.h"
#include "tfidf/term_list.h"

namespace vesko {
namespace {

using Terms = std::vector<std::string>;
constexpr TokenizerMode kUni = TokenizerMode::WordUnigrams;
constexpr TokenizerMode kBi = TokenizerMode::WordBigrams;
constexpr TokenizerMode kTri = TokenizerMode::CharTrigrams;
constexpr TokenizerMode kUniBi = TokenizerMode::WordUnigramsAndBigrams;

TEST(TokenizerTest, GivesTermsInOrder) {
  const struct {
    TokenizerMode mode;
    std::string text;
    Terms expected;
  } cases[] = {
      // clang-format off
      {kUni, "", {}}, {kBi, "", {}}, {kTri, "", {}}, {kUniBi, "", {}},
      // Every run is one character: no words, but trigrams of everything.
      {kUni, "a b c", {}}, {kBi, "a b c", {}}, {kUniBi, "a b c", {}},
      {kTri, "a b c", {"a b", " b ", "b c"}},
      {kUni, "hello", {"hello"}}, {kBi, "hello", {}}, {kUniBi, "hello", {"hello"}},
      {kTri, "hello", {"hel", "ell", "llo"}}, {kTri, "ab", {}}, {kUniBi, "ab", {"ab"}},
      {kUni, "free money, a gift", {"free", "money", "gift"}},
      {kBi, "free money, a gift", {"free money", "money gift"}},
      {kUniBi, "free money, a gift", {"free", "money", "gift", "free money", "money gift"}},
      {kUni, "Hello don't foo_bar 42x café", {"Hello", "don", "foo_bar", "42x", "café"}},
      {kUniBi, "hello\n\nworld", {"hello", "world", "hello world"}},
      {kUniBi, "spam spam spam", {"spam", "spam", "spam", "spam spam", "spam spam"}},
      // Ten code points, twelve bytes: eight trigrams.
      {kTri, "café crème", {"caf", "afé", "fé ", "é c", " cr", "crè", "rèm", "ème"}},
      // Pairs hold one space whatever separated the words, and slices of the
      // text must not swallow a second separator.
      {kBi, "aa bb  cc\tdd-ee x ff", {"aa bb", "bb cc", "cc dd", "dd ee", "ee ff"}},
      {kBi, "aa b", {}},
      // Word characters beyond letters: marks, Nd of other scripts, join
      // controls, Alphabetic symbols; not No digits, dashes, emoji, U+00A0.
      {kUni, "e\u0301t x\u0301 ٣٤ ٥ x\u200Dy ⒶⅫ ab½cd en–dash 😀ok no\u00A0break",
       {"e\u0301t", "x\u0301", "٣٤", "x\u200Dy", "ⒶⅫ", "ab", "cd", "en", "dash", "ok", "no",
        "break"}},
      {kBi, "αβ 日本語,中 γδ", {"αβ 日本語", "日本語 γδ"}},
      {kTri, "😀ab😀", {"😀ab", "ab😀"}}, {kTri, "😀😀😀", {"😀😀😀"}},
      {kTri, "a\r\n b", {"a\r\n", "\r\n ", "\n b"}},
      // Malformed UTF-8: each bad byte is one non-word character; nothing is
      // read beyond the text.
      {kUni, "ab\xff" "cd\xed\xa0\x80" "ef\xc0\xaf" "gh\xc3", {"ab", "cd", "ef", "gh"}},
      {kTri, "a\xe2\x82", {"a\xe2\x82"}}, {kTri, "\x80\x80", {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(term_list(Tokenizer(c.mode), c.text), c.expected)
        << testing::PrintToString(c.text) << " in mode " << static_cast<int>(c.mode);
  }
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

// Long and short runs, every ASCII byte, word and non-word characters of two
// to four bytes, a combining mark, invalid and truncated sequences: random
// texts, then edge pieces at every offset of three 64-byte blocks.
TEST(TokenizerTest, WordsMatchACharacterByCharacterSplit) {
  std::mt19937_64 rng(99);
  // clang-format off
  std::vector<std::string> pieces = {
      "abcdefghijklmnopqrstu", std::string(70, 'w'), std::string(64, ' '), "x", "Zy_09", "é", "ß",
      "日本語", "\xc2\xa0", "—", "😀", "e\xcc\x81", "\xff", "\xc3", "\xe2\x82", "\xed\xa0\x80", " ",
      "  ", "\n"};
  // clang-format on
  for (int c = 0; c < 128; ++c) pieces.emplace_back(1, static_cast<char>(c));
  const Tokenizer tokenizer(kUni);
  const auto expect_as_split = [&](const std::string& text) {
    ASSERT_EQ(term_list(tokenizer, text), words_one_by_one(text)) << testing::PrintToString(text);
  };
  for (int round = 0; round < 3000 && !HasFailure(); ++round) {
    expect_as_split(testing_texts::random_text(rng, pieces, 900));
  }
  testing_texts::at_every_offset({"a", "ab", " ", "é", "\xc2\xa0", "😀", "e\xcc\x81", "\xe2\x82"},
                                 {"x", " ", "é"}, 140, {0, 1, 2, 62, 63, 64}, expect_as_split);
}

}  // namespace
}  // namespace vesko
