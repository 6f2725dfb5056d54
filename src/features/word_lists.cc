#include "features/word_lists.h"

#include <algorithm>
#include <array>
#include <vector>

#include "features/literal_set.h"

namespace vesko {
namespace {

// Each list in its stored order.
constexpr std::string_view kDrugWords[] = {"viagra", "cialis",     "pharmacy", "prescription",
                                           "pills",  "medication", "drug",     "xanax",
                                           "valium", "ambien",     "levitra",  "phentermine"};
constexpr std::string_view kFinancialWords[] = {
    "bank",   "credit", "account",       "password",  "verify", "suspended",
    "urgent", "wire",   "transfer",      "lottery",   "winner", "claim",
    "paypal", "ebay",   "western union", "money gram"};
constexpr std::string_view kCharsetWords[] = {"utf-8", "iso-8859", "windows-1252", "base64"};
constexpr std::string_view kReplyMarkers[] = {"re:", "fwd:", "reply"};
constexpr std::string_view kPromotionalWords[] = {
    "urgent",     "limited", "act now",    "don't miss", "exclusive",
    "guaranteed", "amazing", "incredible", "you won",    "congratulations"};
// bit.ly and goo.gl stand for link shorteners in general: two of the most
// widely used, written as they appear in links.
constexpr std::string_view kSuspiciousDomains[] = {".tk",    ".ml",     ".ga",   ".cf",
                                                   "bit.ly", "tinyurl", "goo.gl"};
constexpr std::string_view kUrgencyWords[] = {"urgent",  "immediately", "asap", "hurry",
                                              "now",     "quick",       "fast", "limited time",
                                              "act now", "expires"};
constexpr std::string_view kPhishingPhrases[] = {
    "you won",      "you've won",  "claim your",        "click here",       "verify your account",
    "confirm your", "update your", "suspended account", "unusual activity", "refund",
    "tax refund",   "inheritance", "nigerian prince"};
constexpr std::string_view kMailingListHeaders[] = {
    "list-id:",     "list-unsubscribe:", "mailing-list:",    "x-mailing-list:",
    "x-beenthere:", "precedence: list",  "precedence: bulk", "list-post:",
    "list-help:",   "list-subscribe:",   "x-loop:",          "x-mailinglist:"};

struct ListRef {
  const std::string_view* begin;
  const std::string_view* end;
  std::size_t WordListCounts::*count;
};

template <std::size_t N>
ListRef list(const std::string_view (&entries)[N], std::size_t WordListCounts::*count) {
  return {entries, entries + N, count};
}

// All lists scanned together: every distinct entry is one literal, and each
// list keeps the literal numbers of its entries.
class WordLists {
 public:
  WordLists() : set_(build()) {}

  WordListCounts count(std::string_view lowered) const {
    const LiteralMask found = set_.find(lowered);
    WordListCounts counts;
    for (const Member& member : members_) {
      if (found.test(member.literal)) ++(counts.*member.count);
    }
    return counts;
  }

 private:
  struct Member {
    std::size_t literal;
    std::size_t WordListCounts::*count;
  };

  LiteralSet build() {
    const std::array<ListRef, 9> lists = {
        list(kDrugWords, &WordListCounts::drug),
        list(kFinancialWords, &WordListCounts::financial),
        list(kCharsetWords, &WordListCounts::charset),
        list(kReplyMarkers, &WordListCounts::reply),
        list(kPromotionalWords, &WordListCounts::promotional),
        list(kSuspiciousDomains, &WordListCounts::suspicious_domain),
        list(kUrgencyWords, &WordListCounts::urgency),
        list(kPhishingPhrases, &WordListCounts::phishing),
        list(kMailingListHeaders, &WordListCounts::mailing_list)};
    std::vector<std::string_view> literals;
    for (const ListRef& ref : lists) {
      for (const std::string_view* entry = ref.begin; entry != ref.end; ++entry) {
        auto at = std::find(literals.begin(), literals.end(), *entry);
        if (at == literals.end()) at = literals.insert(at, *entry);
        members_.push_back({static_cast<std::size_t>(at - literals.begin()), ref.count});
      }
    }
    return LiteralSet(literals);
  }

  std::vector<Member> members_;  // filled by build(), before set_
  LiteralSet set_;
};

}  // namespace

WordListCounts count_word_lists(std::string_view lowered) {
  static const WordLists lists;
  return lists.count(lowered);
}

}  // namespace vesko
