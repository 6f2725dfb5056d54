// TermIndex: the vectorizers' fast path into their vocabularies. Nearly every
// lookup is of a short term (a trigram of ASCII text is 3 bytes, most words
// and many word pairs fit in 15), and a string-keyed hash map spends most of
// its time hashing, chasing a 40-byte slot and comparing bytes. Terms of 1 to
// 15 bytes are therefore also kept in two compact tables keyed by their bytes
// packed into one or two integers (the length in the top byte), so a lookup
// is one hash, one small slot and an integer compare. Longer terms, and the
// empty one, are looked up in the vocabulary itself. Every path gives the
// same column for the same bytes.
//
// One index may serve up to kLanes vocabularies at once, a lane each: the
// vectorizers of words, of word pairs and of both look up the same words and
// pairs of an e-mail, and one probe then answers for all of them, each slot
// holding the term's column in every lane (kAbsent where that vocabulary
// lacks it).
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

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
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

  static constexpr std::size_t kLanes = 3;
  // A packed term's column in each lane. Columns are below 2^32 - 2 in every
  // model file that agrees with itself (a vocabulary that long would need
  // over 100 GiB); a larger one, a broken file's, is kept as kBeyond and read
  // from the lane's vocabulary, so that its failure names it exactly.
  using Columns = std::array<std::uint32_t, kLanes>;
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
  static constexpr std::uint32_t kBeyond = 0xFFFFFFFE;

  // Indexes the terms of 1 to 15 bytes of every vocabulary (at most kLanes;
  // vocabulary i is lane i), placed by a hash with `key` (tests choose it;
  // lookups never depend on it). Terms of other lengths, and kBeyond
  // columns, are looked up in the lane's vocabulary itself; a vocabulary may
  // be moved (not changed) after the index is built.
  explicit TermIndex(std::span<const Vocabulary* const> vocabularies,
                     const HashKey& key = process_hash_key());

  // A term goes one of two ways: packable terms (1 to 15 bytes) through
  // pack(), hash(), may_hold(), prefetch() and find_packed(), in that order,
  // so that callers can hide memory latency by packing and prefetching a run
  // of terms before probing any of them; the others through hash_unpacked(),
  // may_hold() and the lane's vocabulary.
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

  // The term of a packed key, for the rare lookup that needs its bytes.
  static std::string unpack(const Key& key) {
    const std::size_t n = static_cast<std::size_t>((key.high != 0 ? key.high : key.low) >> 56);
    char bytes[16];
    std::memcpy(bytes, &key.low, 8);
    if (n < 8) return std::string(bytes, n);
    // `high` holds the bytes after the first 8, shifted down to its bottom.
    std::memcpy(bytes + 8, &key.high, 8);
    return std::string(bytes, n);
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

  // The columns of the term of `key` in every lane, or null when no
  // vocabulary holds it. `hash` must be hash(key).
  const Columns* find_packed(const Key& key, std::uint64_t hash) const {
    if (key.high == 0) {
      for (std::size_t i = hash >> short_shift_;; i = (i + 1) & short_mask_) {
        const ShortSlot& slot = short_slots_[i];
        if (slot.key == key.low) return &slot.columns;
        if (slot.key == 0) return nullptr;
      }
    }
    for (std::size_t i = hash >> long_shift_;; i = (i + 1) & long_mask_) {
      const LongSlot& slot = long_slots_[i];
      if (slot.high == key.high && slot.low == key.low) return &slot.columns;
      if (slot.high == 0) return nullptr;
    }
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
  bool build(std::span<const Vocabulary* const> vocabularies, const HashKey& key, bool give_up);

  struct ShortSlot {
    std::uint64_t key;  // 0: empty (a packed key holds its nonzero length)
    Columns columns;
  };
  struct LongSlot {
    std::uint64_t low;
    std::uint64_t high;  // 0: empty
    Columns columns;
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
