#include "tfidf/term_index.h"

namespace vesko {
namespace {

// log2 of a table size that keeps `count` entries at most half full, so a
// probe that misses stops after a couple of slots.
int table_bits(std::size_t count) {
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * count) ++bits;
  return bits;
}

}  // namespace

TermIndex::TermIndex(const Vocabulary& vocabulary) {
  std::size_t short_terms = 0;
  std::size_t long_terms = 0;
  for (const auto& entry : vocabulary) {
    if (!packable(entry.first)) continue;
    ++(entry.first.size() < 8 ? short_terms : long_terms);
  }
  const int short_bits = table_bits(short_terms);
  const int long_bits = table_bits(long_terms);
  short_slots_.assign(std::size_t{1} << short_bits, ShortSlot{0, 0});
  long_slots_.assign(std::size_t{1} << long_bits, LongSlot{0, 0, 0});
  short_mask_ = short_slots_.size() - 1;
  long_mask_ = long_slots_.size() - 1;
  short_shift_ = 64 - short_bits;
  long_shift_ = 64 - long_bits;
  int filter_bits = 6;
  while ((std::size_t{1} << filter_bits) < 32 * vocabulary.size()) ++filter_bits;
  filter_.assign((std::size_t{1} << filter_bits) / 64, 0);
  filter_shift_ = 64 - filter_bits;

  // Vocabulary keys are distinct, and packing is one-to-one for each length,
  // so no key is inserted twice.
  for (const auto& [term, column] : vocabulary) {
    if (!packable(term)) {
      filter_set(mix(unpacked_key(term)));
      continue;
    }
    const Key key = pack(term);
    filter_set(mix(key));
    if (key.high == 0) {
      std::size_t i = short_slot_of(key.low);
      while (short_slots_[i].key != 0) i = (i + 1) & short_mask_;
      short_slots_[i] = ShortSlot{key.low, column};
    } else {
      std::size_t i = long_slot_of(key);
      while (long_slots_[i].high != 0) i = (i + 1) & long_mask_;
      long_slots_[i] = LongSlot{key.low, key.high, column};
    }
  }
}

}  // namespace vesko
