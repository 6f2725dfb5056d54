// TermIndex: the vectorizer's fast path into its vocabulary. Most lookups are
// of short terms (a trigram of ASCII text is 3 bytes), and a string-keyed hash
// map spends most of its time hashing, chasing a 40-byte slot and comparing
// bytes. Terms of 1 to 7 bytes are therefore also kept in a compact table keyed
// by their bytes packed into one integer (the length in the top byte), so a
// lookup is one multiply, one 16-byte slot and an integer compare. Longer
// terms, and the empty one, are looked up in the vocabulary itself. Both paths
// give the same column for the same bytes.
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
  // Indexes the short terms of `vocabulary`. The same vocabulary must be passed
  // to every find(); it may be moved (not changed) in between.
  explicit TermIndex(const Vocabulary& vocabulary);

  // Stores the column of `term` and returns true when the vocabulary holds it.
  bool find(const Vocabulary& vocabulary, std::string_view term, std::uint64_t& column) const {
    if (packable(term)) return find_packed(pack(term), column);
    return find_unpacked(vocabulary, term, column);
  }

  // The split form of find(), for callers that hide memory latency by packing
  // a run of terms and prefetching their slots before probing any of them.
  static bool packable(std::string_view term) { return term.size() - 1 < kMaxPacked; }
  static std::uint64_t pack(std::string_view term) { return pack(term.data(), term.size()); }
  void prefetch(std::uint64_t key) const { __builtin_prefetch(&slots_[slot_of(key)]); }
  bool find_packed(std::uint64_t key, std::uint64_t& column) const {
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == key) {
        column = slot.column;
        return true;
      }
      if (slot.key == 0) return false;
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
  static constexpr std::size_t kMaxPacked = 7;

  struct Slot {
    std::uint64_t key;  // 0: empty (no packed term has length 0)
    std::uint64_t column;
  };

  // The n bytes (1 to 7) of p in the low bytes, n in the top byte. Reads only
  // p[0, n): two overlapping 4-byte loads, or three single bytes.
  static std::uint64_t pack(const char* p, std::size_t n) {
    static_assert(std::endian::native == std::endian::little,
                  "overlapping loads assume little-endian byte order");
    std::uint64_t value;
    if (n >= 4) {
      std::uint32_t low, high;
      std::memcpy(&low, p, 4);
      std::memcpy(&high, p + n - 4, 4);
      value = low | (static_cast<std::uint64_t>(high) << ((n - 4) * 8));
    } else {
      const auto byte = [p](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
      };
      value = byte(0) | byte(n / 2) | byte(n - 1);
    }
    return value | (static_cast<std::uint64_t>(n) << 56);
  }

  std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  std::vector<Slot> slots_;  // a power of two, at most half full
  std::size_t mask_ = 0;
  int shift_ = 63;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_TERM_INDEX_H_
