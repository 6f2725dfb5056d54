#include "tfidf/term_index.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace vesko {
namespace {

// log2 of a table size that keeps `count` entries at most half full, so a
// probe that misses stops after a couple of slots.
int table_bits(std::size_t count) {
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * count) ++bits;
  return bits;
}

// Keys tried before the tables are kept whatever their longest run.
constexpr int kAttempts = 4;

// Which slots of a table are occupied, one bit each: filled while inserting
// and read for the longest run at the end, 64 slots a word, where the slots
// themselves would be megabytes to scan.
class Occupancy {
 public:
  explicit Occupancy(std::size_t slots) : size_(slots), words_((slots + 63) / 64, 0) {}

  void set(std::size_t slot) { words_[slot >> 6] |= std::uint64_t{1} << (slot & 63); }

  // The longest run of occupied slots, the table taken as a ring, plus the
  // empty slot that ends it: the most slots a lookup reads. The table must
  // have an empty slot.
  std::size_t longest_probe() const {
    if (size_ < 64) {  // one partial word: slot by slot
      const std::uint64_t word = words_[0];
      std::size_t start = 0;
      while ((word >> start) & 1) ++start;
      std::size_t longest = 0;
      std::size_t run = 0;
      for (std::size_t k = 1; k <= size_; ++k) {
        run = ((word >> ((start + k) % size_)) & 1) != 0 ? run + 1 : 0;
        longest = std::max(longest, run);
      }
      return longest + 1;
    }
    const std::size_t n = words_.size();
    std::size_t start = 0;
    while (words_[start] == ~std::uint64_t{0}) ++start;
    // `run`: the occupied slots that end at the top of the word before.
    std::size_t run = static_cast<std::size_t>(std::countl_one(words_[start]));
    std::size_t longest = run;
    for (std::size_t k = 1; k <= n; ++k) {
      std::uint64_t word = words_[(start + k) % n];
      if (word == ~std::uint64_t{0}) {
        run += 64;
        continue;
      }
      run += static_cast<std::size_t>(std::countr_one(word));
      longest = std::max(longest, run);
      run = static_cast<std::size_t>(std::countl_one(word));
      // Runs inside the word: each step shortens every run by one.
      std::size_t inside = 0;
      for (; word != 0; word &= word >> 1) ++inside;
      longest = std::max(longest, inside);
    }
    return longest + 1;
  }

 private:
  std::size_t size_;
  std::vector<std::uint64_t> words_;
};

}  // namespace

TermIndex::TermIndex(std::span<const Vocabulary* const> vocabularies, const HashKey& key) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const bool last = attempt + 1 == kAttempts;
    if (build(vocabularies, attempt == 0 ? key : derive_hash_key(key, attempt), !last)) return;
  }
}

bool TermIndex::build(std::span<const Vocabulary* const> vocabularies, const HashKey& key,
                      bool give_up) {
  key_ = key;
  // Upper bounds: a term in several vocabularies takes one slot.
  std::size_t short_terms = 0;
  std::size_t long_terms = 0;
  std::size_t all_terms = 0;
  for (const Vocabulary* vocabulary : vocabularies) {
    all_terms += vocabulary->size();
    for (const auto& entry : *vocabulary) {
      if (!packable(entry.first)) continue;
      ++(entry.first.size() < 8 ? short_terms : long_terms);
    }
  }
  const int short_bits = table_bits(short_terms);
  const int long_bits = table_bits(long_terms);
  constexpr Columns kNoColumns = {kAbsent, kAbsent, kAbsent};
  short_slots_.assign(std::size_t{1} << short_bits, ShortSlot{0, kNoColumns});
  long_slots_.assign(std::size_t{1} << long_bits, LongSlot{0, 0, kNoColumns});
  short_mask_ = short_slots_.size() - 1;
  long_mask_ = long_slots_.size() - 1;
  short_shift_ = 64 - short_bits;
  long_shift_ = 64 - long_bits;
  int filter_bits = 6;
  while ((std::size_t{1} << filter_bits) < 32 * all_terms) ++filter_bits;
  filter_.assign((std::size_t{1} << filter_bits) / 64, 0);
  filter_mask_ = (std::uint64_t{1} << filter_bits) - 1;
  const auto filter_set = [this](std::uint64_t hash) {
    const std::uint64_t bit = hash & filter_mask_;
    filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  };

  // A displacement beyond the bound already means a run beyond it, so a bad
  // key is given up after at most bound slots per term, never a quadratic
  // build.
  const std::size_t short_bound = max_probe_bound(short_bits);
  const std::size_t long_bound = max_probe_bound(long_bits);
  Occupancy short_occupied(short_slots_.size());
  Occupancy long_occupied(long_slots_.size());
  // Keys are distinct within a vocabulary, and packing is one-to-one for each
  // length, so a slot with the same key holds the same term from another lane.
  for (std::size_t lane = 0; lane < vocabularies.size(); ++lane) {
    for (const auto& [term, column] : *vocabularies[lane]) {
      if (!packable(term)) {
        filter_set(hash_unpacked(term));
        continue;
      }
      const Key packed = pack(term);
      const std::uint64_t hashed = hash(packed);
      filter_set(hashed);
      const std::uint32_t narrow = column < kBeyond ? static_cast<std::uint32_t>(column) : kBeyond;
      std::size_t probes = 1;
      if (packed.high == 0) {
        std::size_t i = hashed >> short_shift_;
        for (; short_slots_[i].key != 0 && short_slots_[i].key != packed.low;
             i = (i + 1) & short_mask_) {
          ++probes;
        }
        if (give_up && probes > short_bound) return false;
        short_slots_[i].key = packed.low;
        short_slots_[i].columns[lane] = narrow;
        short_occupied.set(i);
      } else {
        std::size_t i = hashed >> long_shift_;
        for (; long_slots_[i].high != 0 &&
               (long_slots_[i].high != packed.high || long_slots_[i].low != packed.low);
             i = (i + 1) & long_mask_) {
          ++probes;
        }
        if (give_up && probes > long_bound) return false;
        long_slots_[i].low = packed.low;
        long_slots_[i].high = packed.high;
        long_slots_[i].columns[lane] = narrow;
        long_occupied.set(i);
      }
    }
  }

  // Terms that each sit in or near their own slot may still form one long
  // run, which a miss starting in it walks to the end.
  const std::size_t short_longest = short_occupied.longest_probe();
  const std::size_t long_longest = long_occupied.longest_probe();
  max_probe_length_ = std::max(short_longest, long_longest);
  return !give_up || (short_longest <= short_bound && long_longest <= long_bound);
}

}  // namespace vesko
