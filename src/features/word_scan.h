// The words of the lower-cased text, counted in one pass: the pieces between
// runs of White_Space. Word boundaries come every few bytes, so they are
// followed as bits of 64-byte chunks rather than by a branch per byte.
#ifndef VESKO_FEATURES_WORD_SCAN_H_
#define VESKO_FEATURES_WORD_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesko {

struct WordCounts {
  std::size_t words = 0;
  std::size_t word_bytes = 0;            // the byte lengths of the words, summed
  std::size_t no_lowercase_2_bytes = 0;  // words of 2 or more bytes without a lowercase character

  bool operator==(const WordCounts&) const = default;
};

// One pass over `lowered`. Reentrant, never fails.
WordCounts count_words(std::string_view lowered);

// The word arithmetic of count_words on bit masks, one bit per byte, fed
// chunk after chunk of the text. Exposed for tests.
class WordBits {
 public:
  // `word`: the bytes that belong to a word (not White_Space); `no_lowercase`:
  // those of them that belong to no lowercase character.
  void chunk(std::uint64_t word, std::uint64_t no_lowercase);

  // The counts of all chunks so far, the text ending after the last.
  WordCounts finish();

 private:
  WordCounts counts_;
  std::uint64_t word_before_ = 0;   // bit 63 of the last chunk's words
  std::uint64_t start_before_ = 0;  // bit 63 of the last chunk's word starts
  std::uint64_t carry_ = 0;         // the carry out of the last chunk's sum
};

}  // namespace vesko

#endif  // VESKO_FEATURES_WORD_SCAN_H_
