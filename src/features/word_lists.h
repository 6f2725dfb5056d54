// The fixed word lists of the hand-made features and how many entries of each
// occur in a lower-cased e-mail. The lists are what the models were trained
// with; an entry counts once however often it occurs, also inside a longer
// word ("now" in "know").
#ifndef VESKO_FEATURES_WORD_LISTS_H_
#define VESKO_FEATURES_WORD_LISTS_H_

#include <cstddef>
#include <string_view>

namespace vesko {

// The number of entries of each list present in a text (0 to the list's size).
struct WordListCounts {
  std::size_t drug = 0;               // DRUG_WORDS, 12 entries
  std::size_t financial = 0;          // FINANCIAL_WORDS, 16
  std::size_t charset = 0;            // CHARSET_WORDS, 4
  std::size_t reply = 0;              // REPLY_MARKERS, 3
  std::size_t promotional = 0;        // PROMOTIONAL_WORDS, 10
  std::size_t suspicious_domain = 0;  // SUSPICIOUS_DOMAINS, 7
  std::size_t urgency = 0;            // URGENCY_WORDS, 10
  std::size_t phishing = 0;           // PHISHING_PHRASES, 13
  std::size_t mailing_list = 0;       // MAILING_LIST_HEADERS, 12
};

// `lowered`: the lower-cased e-mail (the entries are lower-case ASCII and are
// matched byte for byte). An entry shared by several lists counts in each.
// One pass over `lowered`; reentrant, never fails.
WordListCounts count_word_lists(std::string_view lowered);

}  // namespace vesko

#endif  // VESKO_FEATURES_WORD_LISTS_H_
