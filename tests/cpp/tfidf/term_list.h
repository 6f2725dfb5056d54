// Test helper: the terms of a text, in the order the vectorizer counts them.
#ifndef VESKO_TESTS_TFIDF_TERM_LIST_H_
#define VESKO_TESTS_TFIDF_TERM_LIST_H_

#include <string>
#include <string_view>
#include <vector>

#include "tfidf/tokenizer.h"

namespace vesko {

inline std::vector<std::string> term_list(const Tokenizer& tokenizer, std::string_view text) {
  std::vector<std::string> terms;
  TokenScratch scratch;
  tokenizer.for_each_term(text, scratch,
                          [&terms](std::string_view term) { terms.emplace_back(term); });
  return terms;
}

}  // namespace vesko

#endif  // VESKO_TESTS_TFIDF_TERM_LIST_H_
