// TermIndex: the vectorizer's fast path into its vocabulary. Nearly every
// lookup is of a short term (a trigram of ASCII text is 3 bytes, most words
// and many word pairs fit in 15), and a string-keyed hash map spends most of
// its time hashing, chasing a 40-byte slot and comparing bytes. Terms of 1 to
// 15 bytes are therefore also kept in two compact tables keyed by their bytes
// packed into one or two integers (the length in the top byte), so a lookup
// is a multiply, one small slot and an integer compare. Longer terms, and the
// empty one, are looked up in the vocabulary itself. Every path gives the
// same column for the same bytes.
//
// Most terms of a text are not in the vocabulary (most word pairs are not),
// and a miss costs a full probe. A one-bit-per-hash filter over every
// vocabulary term, 32 bits per term (32 KiB for 8,000 terms), turns nearly
// all misses away with one load from L1 or L2; only the few that pass it
// (about 3 % of misses) and the hits probe.
#ifndef VESKO_TFIDF_TERM_INDEX_H_
#define VESKO_TFIDF_TERM_INDEX_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

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

  // Indexes the terms of 1 to 15 bytes of `vocabulary`. The same vocabulary
  // must be passed to every find(); it may be moved (not changed) in between.
  explicit TermIndex(const Vocabulary& vocabulary);

  // Stores the column of `term` and returns true when the vocabulary holds it.
  bool find(const Vocabulary& vocabulary, std::string_view term, std::uint64_t& column) const {
    if (packable(term)) return find_packed(pack(term), column);
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

  // False only when the vocabulary does not hold the term of `key`.
  bool may_hold(const Key& key) const { return filter_test(mix(key)); }

  // False only when the vocabulary does not hold `term`, which must not be
  // packable (the empty term or one of 16 bytes or more).
  bool may_hold_unpacked(std::string_view term) const {
    return filter_test(mix(unpacked_key(term)));
  }

  void prefetch(const Key& key) const {
    if (key.high == 0) {
      __builtin_prefetch(&short_slots_[short_slot_of(key.low)]);
    } else {
      __builtin_prefetch(&long_slots_[long_slot_of(key)]);
    }
  }

  bool find_packed(const Key& key, std::uint64_t& column) const {
    if (key.high == 0) {
      for (std::size_t i = short_slot_of(key.low);; i = (i + 1) & short_mask_) {
        const ShortSlot& slot = short_slots_[i];
        if (slot.key == key.low) {
          column = slot.column;
          return true;
        }
        if (slot.key == 0) return false;
      }
    }
    for (std::size_t i = long_slot_of(key);; i = (i + 1) & long_mask_) {
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

 private:
  static constexpr std::size_t kMaxPacked = 15;

  // A stand-in key of an unpackable term for the filter only: its first and
  // last 8 bytes and its length (the empty term: all zero). Distinct terms may
  // share one, which only lets a miss through to the vocabulary.
  static Key unpacked_key(std::string_view term) {
    const std::size_t n = term.size();
    if (n < 8) return Key{0, 0};
    std::uint64_t first, last;
    std::memcpy(&first, term.data(), 8);
    std::memcpy(&last, term.data() + n - 8, 8);
    return Key{first, last ^ (static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull)};
  }

  static std::uint64_t mix(const Key& key) {
    return (key.low ^ (key.high * 0xD6E8FEB86659FD93ull)) * 0xFF51AFD7ED558CCDull;
  }
  bool filter_test(std::uint64_t mixed) const {
    const std::uint64_t bit = mixed >> filter_shift_;
    return ((filter_[bit >> 6] >> (bit & 63)) & 1) != 0;
  }
  void filter_set(std::uint64_t mixed) {
    const std::uint64_t bit = mixed >> filter_shift_;
    filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }

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

  static constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::size_t short_slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * kMul) >> short_shift_);
  }
  std::size_t long_slot_of(const Key& key) const {
    return static_cast<std::size_t>(((key.low ^ (key.high * 0xC2B2AE3D27D4EB4Full)) * kMul) >>
                                    long_shift_);
  }

  std::vector<std::uint64_t> filter_;  // a power of two of bits, at least 64
  int filter_shift_ = 58;
  // Each a power of two in size, at most half full.
  std::vector<ShortSlot> short_slots_;
  std::vector<LongSlot> long_slots_;
  std::size_t short_mask_ = 0;
  std::size_t long_mask_ = 0;
  int short_shift_ = 63;
  int long_shift_ = 63;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_TERM_INDEX_H_
