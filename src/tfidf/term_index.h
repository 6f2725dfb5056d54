// TermIndex: the vectorizer's fast path into its vocabulary. Nearly every
// lookup is of a short term (a trigram of ASCII text is 3 bytes, most words
// and many word pairs fit in 15), and a string-keyed hash map spends most of
// its time hashing, chasing a 40-byte slot and comparing bytes. Terms of 1 to
// 15 bytes are therefore also kept in two compact tables keyed by their bytes
// packed into one or two integers (the length in the top byte), so a lookup
// is one hash, one small slot and an integer compare. Longer terms, and the
// empty one, are looked up in the vocabulary itself. Every path gives the
// same column for the same bytes.
//
// Most terms of a text are not in the vocabulary (most word pairs are not),
// and a miss costs a full probe. A one-bit-per-hash filter over every
// vocabulary term, 32 bits per term (32 KiB for 8,000 terms), turns nearly
// all misses away with one load from L1 or L2; only the few that pass it
// (about 3 % of misses) and the hits probe.
//
// Both the vocabulary and the texts come from outside, so the slots and the
// filter are placed by a keyed hash (common/keyed_hash.h): one hash per term
// gives its slot (top bits) and its filter bit (bottom bits). Should a key
// still leave a long run of occupied slots, the tables are built again with
// another key derived from it, so that no lookup reads more than a few dozen
// slots, whatever the terms (see max_probe_bound()).
#ifndef VESKO_TFIDF_TERM_INDEX_H_
#define VESKO_TFIDF_TERM_INDEX_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/keyed_hash.h"
#include "tfidf/vocabulary.h"

namespace vesko {

// Immutable after construction; safe to share across threads.
class TermIndex {
 public:
  // A term of 1 to 15 bytes as integers: 1 to 7 bytes in `low` with the length
  // in its top byte and `high` 0; 8 to 15 bytes as the first 8 in `low` and the
  // rest in `high`, with the length in its top byte (so `high` is never 0).
  struct Key {
    std::uint64_t low;
    std::uint64_t high;
  };

  // Indexes the terms of 1 to 15 bytes of `vocabulary`, placed by a hash with
  // `key` (tests choose it; lookups never depend on it). The same vocabulary
  // must be passed to every find(); it may be moved (not changed) in between.
  explicit TermIndex(const Vocabulary& vocabulary, const HashKey& key = process_hash_key());

  // Stores the column of `term` and returns true when the vocabulary holds it.
  bool find(const Vocabulary& vocabulary, std::string_view term, std::uint64_t& column) const {
    if (packable(term)) {
      const Key key = pack(term);
      return find_packed(key, hash(key), column);
    }
    return find_unpacked(vocabulary, term, column);
  }

  // The split form of find(), for callers that hide memory latency by packing
  // a run of terms and prefetching their slots before probing any of them.
  static bool packable(std::string_view term) { return term.size() - 1 < kMaxPacked; }

  // `term` must be packable. Reads only the term's own bytes.
  static Key pack(std::string_view term) {
    static_assert(std::endian::native == std::endian::little,
                  "overlapping loads assume little-endian byte order");
    const char* p = term.data();
    const std::size_t n = term.size();
    const std::uint64_t length = static_cast<std::uint64_t>(n) << 56;
    if (n < 8) return Key{pack_short(p, n) | length, 0};
    std::uint64_t first, last;
    std::memcpy(&first, p, 8);
    std::memcpy(&last, p + n - 8, 8);
    // `last` ends at the term's end; drop its bytes that `first` already holds.
    const std::uint64_t rest = n == 8 ? 0 : last >> (8 * (16 - n));
    return Key{first, rest | length};
  }

  // The hash of a packed term, with this index's key: the one value that
  // may_hold(), prefetch() and find_packed() take with the key.
  std::uint64_t hash(const Key& key) const { return hash(key_, key); }
  static std::uint64_t hash(const HashKey& hash_key, const Key& key) {
    return keyed_mix(hash_key, key.low, key.high);
  }

  // The filter's stand-in hash of a term that is not packable (the empty term
  // or one of 16 bytes or more): of its first and last 8 bytes and its length
  // only. Distinct terms may share one, which only lets a miss through to the
  // vocabulary, whose own hash is keyed too.
  std::uint64_t hash_unpacked(std::string_view term) const {
    const std::size_t n = term.size();
    if (n < 8) return keyed_mix(key_, 0, 0, n);
    std::uint64_t first, last;
    std::memcpy(&first, term.data(), 8);
    std::memcpy(&last, term.data() + n - 8, 8);
    return keyed_mix(key_, first, last, n);
  }

  // False only when the vocabulary does not hold the term of `hash`.
  bool may_hold(std::uint64_t hash) const {
    const std::uint64_t bit = hash & filter_mask_;
    return ((filter_[bit >> 6] >> (bit & 63)) & 1) != 0;
  }

  void prefetch(const Key& key, std::uint64_t hash) const {
    if (key.high == 0) {
      __builtin_prefetch(&short_slots_[hash >> short_shift_]);
    } else {
      __builtin_prefetch(&long_slots_[hash >> long_shift_]);
    }
  }

  // `hash` must be hash(key).
  bool find_packed(const Key& key, std::uint64_t hash, std::uint64_t& column) const {
    if (key.high == 0) {
      for (std::size_t i = hash >> short_shift_;; i = (i + 1) & short_mask_) {
        const ShortSlot& slot = short_slots_[i];
        if (slot.key == key.low) {
          column = slot.column;
          return true;
        }
        if (slot.key == 0) return false;
      }
    }
    for (std::size_t i = hash >> long_shift_;; i = (i + 1) & long_mask_) {
      const LongSlot& slot = long_slots_[i];
      if (slot.high == key.high && slot.low == key.low) {
        column = slot.column;
        return true;
      }
      if (slot.high == 0) return false;
    }
  }

  static bool find_unpacked(const Vocabulary& vocabulary, std::string_view term,
                            std::uint64_t& column) {
    const auto found = vocabulary.find(term);
    if (found == vocabulary.end()) return false;
    column = found->second;
    return true;
  }

  // The most slots any lookup reads in the packed tables: the longest run of
  // occupied slots and the empty slot that ends it. At most max_probe_bound()
  // unless every key tried left a longer run.
  std::size_t max_probe_length() const { return max_probe_length_; }

  // The longest probe accepted for a table of 2^bits slots. With a random
  // hash and tables at most half full, the longest run is rarely above
  // 3 * bits slots (about 52 for 2^22 slots), and one beyond 4 * bits + 64
  // comes far less often than once in a million builds, which then only
  // start over.
  static std::size_t max_probe_bound(int bits) { return 4 * static_cast<std::size_t>(bits) + 64; }

 private:
  static constexpr std::size_t kMaxPacked = 15;

  // Builds the tables with `key`. With `give_up`, stops as soon as a probe
  // is longer than the bound and returns false; otherwise builds them whole.
  bool build(const Vocabulary& vocabulary, const HashKey& key, bool give_up);

  struct ShortSlot {
    std::uint64_t key;  // 0: empty (a packed key holds its nonzero length)
    std::uint64_t column;
  };
  struct LongSlot {
    std::uint64_t low;
    std::uint64_t high;  // 0: empty
    std::uint64_t column;
  };

  // The n bytes (1 to 7) of p in the low bytes. Reads only p[0, n): two
  // overlapping 4-byte loads, or three single bytes.
  static std::uint64_t pack_short(const char* p, std::size_t n) {
    if (n >= 4) {
      std::uint32_t low, high;
      std::memcpy(&low, p, 4);
      std::memcpy(&high, p + n - 4, 4);
      return low | (static_cast<std::uint64_t>(high) << ((n - 4) * 8));
    }
    const auto byte = [p](std::size_t i) {
      return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    };
    return byte(0) | byte(n / 2) | byte(n - 1);
  }

  HashKey key_;
  std::vector<std::uint64_t> filter_;  // a power of two of bits, at least 64
  std::uint64_t filter_mask_ = 63;
  // Each a power of two in size, at most half full.
  std::vector<ShortSlot> short_slots_;
  std::vector<LongSlot> long_slots_;
  std::size_t short_mask_ = 0;
  std::size_t long_mask_ = 0;
  int short_shift_ = 63;
  int long_shift_ = 63;
  std::size_t max_probe_length_ = 0;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_TERM_INDEX_H_
