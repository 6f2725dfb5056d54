#include "features/literal_set.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "features/word_lists.h"

namespace vesko {
namespace {

void expect_as_substring_search(const std::vector<std::string>& literals, const std::string& text) {
  const LiteralSet set(std::vector<std::string_view>(literals.begin(), literals.end()));
  LiteralMask expected;
  for (std::size_t i = 0; i < literals.size(); ++i)
    expected[i] = text.find(literals[i]) != text.npos;
  ASSERT_EQ(set.find(text), expected) << testing::PrintToString(text);
}

// Random literals over a small alphabet, so that overlapping, nested and
// repeated ones are common, which is where failure links go wrong. Then one
// occurrence at every position of long texts, which run as parts that overlap
// by the longest literal less one byte: across a seam included, whatever the
// remainder of the division into parts.
TEST(LiteralSetTest, AgreesWithSubstringSearch) {
  std::mt19937 rng(12345);
  const std::string alphabet("abc\x00\xff", 5);
  auto random_string = [&](std::size_t max_length) {
    std::string s(1 + rng() % max_length, 'a');
    for (char& ch : s) ch = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 3000 && !HasFailure(); ++round) {
    std::vector<std::string> literals(1 + rng() % kMaxLiterals);
    for (auto& literal : literals) literal = random_string(5);
    expect_as_substring_search(literals, rng() % 8 == 0 ? "" : random_string(60));
  }
  const std::vector<std::string> literals = {"needle", "x", "verify your account"};
  for (std::size_t size : {100u, 153u, 379u, 380u, 455u, 456u, 1000u, 1003u, 1004u}) {
    for (const std::string& literal : literals) {
      for (std::size_t pos = 0; pos + literal.size() <= size && !HasFailure(); ++pos) {
        expect_as_substring_search(literals,
                                   std::string(size, '-').replace(pos, literal.size(), literal));
      }
    }
  }
  EXPECT_THROW(LiteralSet({}), std::invalid_argument);
  EXPECT_THROW(LiteralSet({"a", ""}), std::invalid_argument);
  EXPECT_THROW(LiteralSet(std::vector<std::string_view>(kMaxLiterals + 1, "a")),
               std::invalid_argument);
}

// Every entry of every list, byte for byte: the lists read the lower-cased
// text, so capitals there mean no match, and U+2019 is not the apostrophe of
// "don't miss".
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
  const WordListCounts counts = count_word_lists(all);
  EXPECT_EQ(counts.drug, 12u);
  EXPECT_EQ(counts.financial, 16u);
  EXPECT_EQ(counts.charset, 4u);
  EXPECT_EQ(counts.reply, 3u);
  EXPECT_EQ(counts.promotional, 10u);
  EXPECT_EQ(counts.suspicious_domain, 7u);
  EXPECT_EQ(counts.urgency, 10u);
  EXPECT_EQ(counts.phishing, 13u);
  EXPECT_EQ(counts.mailing_list, 12u);
  const WordListCounts none = count_word_lists("VIAGRA Bank don\xE2\x80\x99t miss");
  EXPECT_EQ(none.drug + none.financial + none.promotional, 0u);
}

}  // namespace
}  // namespace vesko
