// Tokenizer: the terms of one text for a TF-IDF vectorizer. The vocabularies
// were fitted on exactly these terms, so every rule here (what a word is, how a
// pair is joined, trigrams over code points rather than bytes) must match
// training byte for byte. The text is read as it is: no case folding, no
// trimming, no normalisation.
//
// A word is a maximal run of at least two word characters (kCharWord), what
// `\b\w{2,}\b` matches; a run of one character is no word. A pair is two
// neighbouring words joined by exactly one space, whatever separated them in
// the text. A trigram is three consecutive code points of the text, whatever
// they are (3 to 12 bytes). A byte that starts no well-formed UTF-8 sequence
// counts as one non-word character of its own.
#ifndef VESKO_TFIDF_TOKENIZER_H_
#define VESKO_TFIDF_TOKENIZER_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_block.h"
#include "common/char_classes.h"
#include "common/utf8.h"

namespace vesko {

// Stored in one byte; the loader picks it by model file number (1 to 4 give 0 to 3).
enum class TokenizerMode : std::uint8_t {
  WordUnigrams = 0,            // the words
  WordBigrams = 1,             // the pairs of neighbouring words only
  CharTrigrams = 2,            // every run of three code points
  WordUnigramsAndBigrams = 3,  // the words, then the pairs
};

// Reusable per-thread storage for Tokenizer::for_each_term, so that a text
// costs no allocation once the buffers have grown.
struct TokenScratch {
  std::string pair;                     // a pair that is not a slice of the text
  std::vector<std::string_view> words;  // the words, when pairs follow them
};

// Immutable after construction; safe to share across threads.
class Tokenizer {
 public:
  explicit Tokenizer(TokenizerMode mode) : mode_(mode), table_(&CharClassTable::instance()) {}

  TokenizerMode mode() const { return mode_; }

  // Calls on_term(std::string_view) for each term of `text`, in order: the
  // words left to right (WordUnigrams and WordUnigramsAndBigrams), then the
  // pairs, pair i = word i, " ", word i + 1 (WordBigrams and
  // WordUnigramsAndBigrams); or the trigrams left to right (CharTrigrams). A
  // term view is valid only during its call: it points into `text` or into
  // `scratch`. Never fails; the empty text gives no terms. Thread-safe with one
  // scratch per thread.
  template <typename OnTerm>
  void for_each_term(std::string_view text, TokenScratch& scratch, OnTerm&& on_term) const;

  // Calls on_word(std::string_view) for each word, left to right.
  template <typename OnWord>
  void for_each_word(std::string_view text, OnWord&& on_word) const;

  // Calls on_trigram(std::string_view) for each trigram, left to right.
  template <typename OnTrigram>
  static void for_each_trigram(std::string_view text, OnTrigram&& on_trigram);

  // Calls on_pair(std::string_view) with the pair of two neighbouring words
  // of one text: `first`, one space, `second`. A view into the text where
  // they are separated by exactly one space, else into `scratch`.
  template <typename OnPair>
  static void for_pair(std::string_view first, std::string_view second, TokenScratch& scratch,
                       OnPair&& on_pair);

 private:
  TokenizerMode mode_;
  const CharClassTable* table_;
};

namespace tokenizer_detail {

// The ASCII word characters are [0-9A-Za-z_]; every byte from 0x80 on starts
// or continues a character that the class table decides.
enum class ByteClass : std::uint8_t { kOther = 0, kWord = 1, kNonAscii = 2 };

inline ByteClass byte_class(unsigned char c) {
  if (c >= 0x80) return ByteClass::kNonAscii;
  const unsigned char folded = c | 0x20;
  const bool word = (c >= '0' && c <= '9') || (folded >= 'a' && folded <= 'z') || c == '_';
  return word ? ByteClass::kWord : ByteClass::kOther;
}

// Bits of 16 bytes from p: `word` for an ASCII word character ([0-9A-Za-z_],
// the only ASCII characters in \w), `high` for a byte >= 0x80. Reads p[0, 16).
struct Bytes16 {
  std::uint32_t word;
  std::uint32_t high;
};

inline Bytes16 classify16(const unsigned char* p) {
  const ByteBlock b = ByteBlock::load(p);
  // Bytes >= 0x80 stay >= 0x80 when folded, so they fall in no range.
  const LaneMask word = b.in_range('0', '9') | b.with_bits(0x20).in_range('a', 'z') | b.eq('_');
  return {word.bits(), b.non_ascii_bits()};
}

// The same for 64 bytes from p, one bit per byte. Reads p[0, 64).
struct Bytes64 {
  std::uint64_t word;
  std::uint64_t high;
};

inline Bytes64 classify64(const unsigned char* p) {
  Bytes64 bits{0, 0};
  for (int k = 0; k < 4; ++k) {
    const Bytes16 part = classify16(p + 16 * k);
    bits.word |= static_cast<std::uint64_t>(part.word) << (16 * k);
    bits.high |= static_cast<std::uint64_t>(part.high) << (16 * k);
  }
  return bits;
}

}  // namespace tokenizer_detail

template <typename OnWord>
void Tokenizer::for_each_word(std::string_view text, OnWord&& on_word) const {
  using tokenizer_detail::byte_class;
  using tokenizer_detail::ByteClass;
  using tokenizer_detail::classify64;
  const CharClassTable& table = *table_;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  // The run of word characters in progress, if any: where it starts and how
  // many characters it holds so far. Only runs of two or more are words.
  const unsigned char* start = nullptr;
  std::size_t chars = 0;
  auto close = [&](const unsigned char* at) {
    if (start != nullptr && chars >= 2) {
      on_word(std::string_view(reinterpret_cast<const char*>(start),
                               static_cast<std::size_t>(at - start)));
    }
    start = nullptr;
  };
  // One character, ASCII or not, the plain way.
  auto step = [&] {
    bool word;
    std::size_t length = 1;
    const ByteClass kind = byte_class(*p);
    if (kind == ByteClass::kNonAscii) {
      char32_t code_point;
      length = decode_utf8(p, end, code_point);
      word = (table.classes(code_point) & kCharWord) != 0;
    } else {
      word = kind == ByteClass::kWord;
    }
    if (!word) {
      close(p);
    } else if (start == nullptr) {
      start = p;
      chars = 1;
    } else {
      ++chars;
    }
    p += length;
  };

  while (end - p >= 64) {
    const auto bits = classify64(p);
    if (bits.high != 0) {
      // Characters of two to four bytes: one at a time to the end of the
      // 64 bytes (or just past it, for a character that crosses it).
      const unsigned char* const stop = p + 64;
      while (p < stop) step();
      continue;
    }
    // All ASCII: runs of word characters are runs of ones in the mask.
    std::uint64_t word = bits.word;
    if (start != nullptr) {
      const std::uint64_t other = ~word;
      if (other == 0) {
        chars += 64;
        p += 64;
        continue;
      }
      const int stop = std::countr_zero(other);
      chars += static_cast<std::size_t>(stop);
      close(p + stop);
      word &= ~std::uint64_t{0} << stop;
    }
    while (word != 0) {
      const int first = std::countr_zero(word);
      const int length = std::countr_zero(~(word >> first));
      if (first + length == 64) {  // runs on into the next 64 bytes
        start = p + first;
        chars = static_cast<std::size_t>(length);
        break;
      }
      if (length >= 2) {
        on_word(std::string_view(reinterpret_cast<const char*>(p + first),
                                 static_cast<std::size_t>(length)));
      }
      word &= ~std::uint64_t{0} << (first + length);
    }
    p += 64;
  }
  while (p < end) step();
  close(end);
}

template <typename OnTrigram>
void Tokenizer::for_each_trigram(std::string_view text, OnTrigram&& on_trigram) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  auto next = [end](const unsigned char* p) {
    if (*p < 0x80) return p + 1;
    char32_t code_point;
    return p + decode_utf8(p, end, code_point);
  };
  // Starts of the last three characters; `p` is the end of the newest one.
  const unsigned char* s0 = begin;
  if (s0 >= end) return;
  const unsigned char* s1 = next(s0);
  if (s1 >= end) return;
  const unsigned char* s2 = next(s1);
  if (s2 >= end) return;
  const unsigned char* p = next(s2);
  for (;;) {
    on_trigram(
        std::string_view(reinterpret_cast<const char*>(s0), static_cast<std::size_t>(p - s0)));
    if (p >= end) return;
    s0 = s1;
    s1 = s2;
    s2 = p;
    p = next(p);
  }
}

template <typename OnPair>
void Tokenizer::for_pair(std::string_view first, std::string_view second, TokenScratch& scratch,
                         OnPair&& on_pair) {
  // Words separated by exactly one space are already the pair, as a slice of
  // the text; only other separators need the pair assembled.
  if (second.data() == first.data() + first.size() + 1 && first.data()[first.size()] == ' ') {
    on_pair(std::string_view(first.data(), first.size() + 1 + second.size()));
    return;
  }
  scratch.pair.assign(first);
  scratch.pair.push_back(' ');
  scratch.pair.append(second);
  on_pair(std::string_view(scratch.pair));
}

template <typename OnTerm>
void Tokenizer::for_each_term(std::string_view text, TokenScratch& scratch,
                              OnTerm&& on_term) const {
  switch (mode_) {
    case TokenizerMode::WordUnigrams:
      for_each_word(text, on_term);
      return;
    case TokenizerMode::WordBigrams: {
      std::string_view previous;
      bool have_previous = false;
      for_each_word(text, [&](std::string_view word) {
        if (have_previous) for_pair(previous, word, scratch, on_term);
        previous = word;
        have_previous = true;
      });
      return;
    }
    case TokenizerMode::CharTrigrams:
      for_each_trigram(text, on_term);
      return;
    case TokenizerMode::WordUnigramsAndBigrams: {
      scratch.words.clear();
      for_each_word(text, [&](std::string_view word) {
        on_term(word);
        scratch.words.push_back(word);
      });
      for (std::size_t i = 1; i < scratch.words.size(); ++i) {
        for_pair(scratch.words[i - 1], scratch.words[i], scratch, on_term);
      }
      return;
    }
  }
}

}  // namespace vesko

#endif  // VESKO_TFIDF_TOKENIZER_H_
