#include "tfidf/tokenizer.h"

namespace vesko {

std::vector<std::string> Tokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> terms;
  TokenScratch scratch;
  for_each_term(text, scratch, [&terms](std::string_view term) { terms.emplace_back(term); });
  return terms;
}

}  // namespace vesko
