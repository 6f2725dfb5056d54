// AsciiTrigramTable: the character-trigram vectorizer's lookup for trigrams of
// three ASCII characters, nearly every trigram of an e-mail. Such a trigram is
// three 7-bit codes, 21 bits, so a key is slid along the text one character at
// a time (shift in the new code, mask to 21 bits) instead of packing and
// hashing bytes per trigram. The vocabulary's ASCII trigrams are a set over
// these 2^21 keys, held as a bitmap with a running count per 64-bit word
// (512 KiB) and their columns in key order: a lookup reads one bitmap word,
// and on a hit one popcount gives the position of the column. Both fit the
// L2 cache of one core whatever the vocabulary's size, where a table of
// 2^21 columns would not. Every other trigram goes through TermIndex, which
// gives the same column for the same bytes.
#ifndef VESKO_TFIDF_ASCII_TRIGRAM_TABLE_H_
#define VESKO_TFIDF_ASCII_TRIGRAM_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "tfidf/vocabulary.h"

namespace vesko {

// Immutable after construction; safe to share across threads.
class AsciiTrigramTable {
 public:
  static constexpr std::uint32_t kKeyMask = (std::uint32_t{1} << 21) - 1;

  // An empty table: enabled() is false.
  AsciiTrigramTable() = default;

  // Indexes the terms of `vocabulary` that are three bytes below 0x80. Left
  // disabled when some such term's column is not below the vocabulary's size
  // (only a broken model file); lookups then all take the general path, which
  // reports such columns. Never fails but for want of memory.
  explicit AsciiTrigramTable(const Vocabulary& vocabulary);

  bool enabled() const { return !words_.empty(); }

  // The column that stands for "not in the vocabulary": the vocabulary's size.
  std::uint32_t miss() const { return columns_.back(); }

  // The key of the trigram whose last character is `code` (below 0x80), given
  // the key of the trigram before it; after three ASCII characters it holds
  // exactly their codes, whatever it held before.
  static std::uint32_t slide(std::uint32_t key, unsigned char code) {
    return ((key << 7) | code) & kKeyMask;
  }

  // The column of the trigram with `key`, or miss(). Requires enabled().
  // Branch-free: hits and misses alternate too irregularly to predict.
  std::uint32_t column(std::uint32_t key) const {
    return column_in(words_.data(), columns_.data(), miss_at_, key);
  }

  // Calls on_column(column) for each trigram that ends in [first, last), left
  // to right, a miss included. first[-2], first[-1] and every byte of
  // [first, last) must be below 0x80. Requires enabled(). kPopcountInstruction:
  // count bits with the compiler's builtin, for callers compiled for a target
  // with a popcount instruction (never under VESKO_PORTABLE).
  template <bool kPopcountInstruction, typename OnColumn>
  void for_each_column(const unsigned char* first, const unsigned char* last,
                       OnColumn&& on_column) const {
    // Locals, not members, so that stores of the caller's counts cannot be
    // taken to change them.
    const Word* const words = words_.data();
    const std::uint32_t* const columns = columns_.data();
    const std::uint32_t miss_at = miss_at_;
    std::uint32_t key = slide(slide(0, first[-2]), first[-1]);
    for (const unsigned char* p = first; p < last; ++p) {
      key = slide(key, *p);
      on_column(column_in<kPopcountInstruction>(words, columns, miss_at, key));
    }
  }

  // Walks the trigrams of `text` as Tokenizer's CharTrigrams mode makes them,
  // left to right: each stretch of trigrams of three ASCII characters goes to
  // on_ascii(first, last) (const unsigned char*; the trigrams that end in
  // [first, last), see for_each_column); each other trigram to
  // on_other(std::string_view), its bytes, a slice of `text`. Returns the
  // number of trigrams. Requires enabled().
  template <typename OnAscii, typename OnOther>
  std::size_t scan(std::string_view text, OnAscii&& on_ascii, OnOther&& on_other) const;

 private:
  // The number of set bits. kInstruction: through the compiler's builtin,
  // one instruction where the caller's target has one (otherwise a library
  // call); else in a few arithmetic steps, whatever the target.
  template <bool kInstruction>
  static std::uint32_t ones(std::uint64_t x) {
    if constexpr (kInstruction) {
      return static_cast<std::uint32_t>(__builtin_popcountll(x));
    }
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
  }

  struct Word;
  template <bool kInstruction = false>
  static std::uint32_t column_in(const Word* words, const std::uint32_t* columns,
                                 std::uint32_t miss_at, std::uint32_t key) {
    const Word& word = words[key >> 6];
    const std::uint64_t below = word.bits << (63 - (key & 63));
    const std::uint32_t hit_mask = 0u - static_cast<std::uint32_t>(below >> 63);
    return columns[((word.rank + ones<kInstruction>(below) - 1) & hit_mask) |
                   (miss_at & ~hit_mask)];
  }

  struct Word {
    std::uint64_t bits;  // bit k: key (index * 64 + k) is in the vocabulary
    std::uint32_t rank;  // keys in the vocabulary below this word's first
    std::uint32_t unused;
  };

  std::vector<Word> words_;             // 2^15 words, or none when disabled
  std::vector<std::uint32_t> columns_;  // by ascending key, then miss()
  std::uint32_t miss_at_ = 0;           // the position of miss() in columns_
};

template <typename OnAscii, typename OnOther>
std::size_t AsciiTrigramTable::scan(std::string_view text, OnAscii&& on_ascii,
                                    OnOther&& on_other) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  std::size_t chars = 0;
  std::size_t ascii_run = 0;  // ASCII characters ending at p, counted up to 2
  // Starts of the last three characters.
  const unsigned char* s0 = p;
  const unsigned char* s1 = p;
  const unsigned char* s2 = p;
  while (p < end) {
    if (ascii_run >= 2) {
      // Every trigram of the ASCII stretch from p is three ASCII characters.
      const unsigned char* q = p;
      for (std::uint64_t eight; end - q >= 8; q += 8) {
        std::memcpy(&eight, q, 8);
        if ((eight & 0x8080808080808080ull) != 0) break;
      }
      while (q < end && *q < 0x80) ++q;
      if (q != p) {
        on_ascii(p, q);
        chars += static_cast<std::size_t>(q - p);
        s1 = q - 2;
        s2 = q - 1;
        p = q;
        if (p == end) break;
      }
    }
    // A character that ends an ASCII stretch, or one of the first two after it.
    std::size_t length = 1;
    if (*p < 0x80) {
      ++ascii_run;
    } else {
      char32_t code_point;
      length = decode_utf8(p, end, code_point);
      ascii_run = 0;
    }
    s0 = s1;
    s1 = s2;
    s2 = p;
    p += length;
    if (++chars >= 3) {
      on_other(
          std::string_view(reinterpret_cast<const char*>(s0), static_cast<std::size_t>(p - s0)));
    }
  }
  return chars >= 3 ? chars - 2 : 0;
}

}  // namespace vesko

#endif  // VESKO_TFIDF_ASCII_TRIGRAM_TABLE_H_
