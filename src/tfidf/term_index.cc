#include "tfidf/term_index.h"

namespace vesko {

TermIndex::TermIndex(const Vocabulary& vocabulary) {
  std::size_t short_terms = 0;
  for (const auto& entry : vocabulary) {
    if (entry.first.size() - 1 < kMaxPacked) ++short_terms;
  }
  // At most half full, so a probe that misses stops after a couple of slots.
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * short_terms) ++bits;
  slots_.assign(std::size_t{1} << bits, Slot{0, 0});
  mask_ = slots_.size() - 1;
  shift_ = 64 - bits;
  for (const auto& [term, column] : vocabulary) {
    if (term.size() - 1 >= kMaxPacked) continue;
    const std::uint64_t key = pack(term.data(), term.size());
    std::size_t i = slot_of(key);
    while (slots_[i].key != 0) i = (i + 1) & mask_;
    slots_[i] = Slot{key, column};
  }
}

}  // namespace vesko
