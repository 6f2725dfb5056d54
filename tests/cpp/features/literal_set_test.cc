#include "features/literal_set.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/word_lists.h"

namespace vesko {
namespace {

LiteralMask naive_find(const std::vector<std::string>& literals, std::string_view text) {
  LiteralMask found;
  for (std::size_t i = 0; i < literals.size(); ++i) {
    if (text.find(literals[i]) != std::string_view::npos) found.set(i);
  }
  return found;
}

TEST(LiteralSetTest, AgreesWithSubstringSearchOnRandomTexts) {
  // A small alphabet makes overlapping, nested and repeated literals common,
  // which is where failure links go wrong.
  std::mt19937 rng(12345);
  const std::string alphabet = "abc\x00\xff";
  auto random_string = [&](std::size_t max_length) {
    std::string s(1 + rng() % max_length, 'a');
    for (char& ch : s) ch = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> literals(1 + rng() % kMaxLiterals);
    for (auto& literal : literals) literal = random_string(5);
    std::vector<std::string_view> views(literals.begin(), literals.end());
    LiteralSet set(views);
    for (int t = 0; t < 10; ++t) {
      std::string text = rng() % 8 == 0 ? std::string() : random_string(60);
      ASSERT_EQ(set.find(text), naive_find(literals, text)) << "round " << round;
    }
  }
}

TEST(LiteralSetTest, FindsOneOccurrenceAtEveryPositionOfLongTexts) {
  // Long texts are scanned as parts that overlap by the longest literal less
  // one byte; an occurrence must be found wherever it lies, across a seam
  // included, whatever the remainder of the division into parts.
  const std::vector<std::string> literals = {"needle", "x", "verify your account"};
  const std::vector<std::string_view> views(literals.begin(), literals.end());
  const LiteralSet set(views);
  for (std::size_t size : {100u, 153u, 379u, 380u, 455u, 456u, 1000u, 1003u, 1004u}) {
    for (std::size_t id = 0; id < literals.size(); ++id) {
      for (std::size_t pos = 0; pos + literals[id].size() <= size; ++pos) {
        std::string text(size, '-');
        text.replace(pos, literals[id].size(), literals[id]);
        ASSERT_EQ(set.find(text), naive_find(literals, text)) << size << " " << id << " " << pos;
      }
    }
  }
}

TEST(LiteralSetTest, RejectsUnusableLiterals) {
  EXPECT_THROW(LiteralSet({}), std::invalid_argument);
  EXPECT_THROW(LiteralSet({"a", ""}), std::invalid_argument);
  std::vector<std::string_view> too_many(kMaxLiterals + 1, "a");
  EXPECT_THROW(LiteralSet{too_many}, std::invalid_argument);
}

TEST(WordListsTest, EveryEntryOfEveryListIsFound) {
  const std::string all =
      "viagra cialis pharmacy prescription pills medication drug xanax valium ambien levitra "
      "phentermine | bank credit account password verify suspended urgent wire transfer lottery "
      "winner claim paypal ebay western union money gram | utf-8 iso-8859 windows-1252 base64 | "
      "re: fwd: reply | limited act now don't miss exclusive guaranteed amazing incredible you "
      "won congratulations | .tk .ml .ga .cf bit.ly tinyurl goo.gl | immediately asap hurry "
      "quick fast limited time expires | you've won claim your click here verify your account "
      "confirm your update your suspended account unusual activity tax refund inheritance "
      "nigerian prince | list-id: list-unsubscribe: mailing-list: x-mailing-list: x-beenthere: "
      "precedence: list precedence: bulk list-post: list-help: list-subscribe: x-loop: "
      "x-mailinglist:";
  WordListCounts counts = count_word_lists(all);
  EXPECT_EQ(counts.drug, 12u);
  EXPECT_EQ(counts.financial, 16u);
  EXPECT_EQ(counts.charset, 4u);
  EXPECT_EQ(counts.reply, 3u);
  EXPECT_EQ(counts.promotional, 10u);
  EXPECT_EQ(counts.suspicious_domain, 7u);
  EXPECT_EQ(counts.urgency, 10u);
  EXPECT_EQ(counts.phishing, 13u);
  EXPECT_EQ(counts.mailing_list, 12u);
}

TEST(WordListsTest, MatchesAreByteExactAndCaseSensitive) {
  // The lists read the lower-cased text; capitals there mean no match.
  WordListCounts counts = count_word_lists("VIAGRA Bank don\xE2\x80\x99t miss");
  EXPECT_EQ(counts.drug, 0u);
  EXPECT_EQ(counts.financial, 0u);
  EXPECT_EQ(counts.promotional, 0u);  // U+2019 is not the apostrophe of "don't miss"
  EXPECT_EQ(count_word_lists("").urgency, 0u);
}

}  // namespace
}  // namespace vesko
