// The character counts that the hand-made features share, each gathered in a
// single pass: one over the received text, one over its first line. The
// passes classify 16 bytes at a time and decode only non-ASCII characters.
#ifndef VESKO_FEATURES_TEXT_SCAN_H_
#define VESKO_FEATURES_TEXT_SCAN_H_

#include <cstddef>
#include <optional>
#include <string_view>

namespace vesko {

// Counts over the characters (Unicode scalar values) of the received text.
struct TextCounts {
  std::size_t uppercase = 0;      // kCharUppercase members
  std::size_t numeric = 0;        // kCharNumeric members
  std::size_t punctuation = 0;    // the 32 ASCII punctuation characters
  std::size_t zero_width = 0;     // U+200B, U+200C, U+200D, U+FEFF
  std::size_t leet = 0;           // '@', '3', '4', '7', '1', '0'
  std::size_t exclamation = 0;    // '!'
  std::size_t question = 0;       // '?'
  std::size_t dollar = 0;         // '$'
  std::size_t sentence_ends = 0;  // '.', '!', '?'
  std::size_t runs_of_three = 0;  // maximal runs of one character, 3 or more long
  std::size_t ascii = 0;          // U+0000 to U+007F
  std::size_t non_ascii = 0;      // everything above, malformed bytes included

  bool operator==(const TextCounts&) const = default;
};

// One pass over `text` (UTF-8; a malformed byte counts as one non-ASCII
// character of no class). Reentrant, never fails.
TextCounts count_text(std::string_view text);

// The bytes before the first line feed, without a carriage return just before
// it; the whole text when it has no line feed; nothing for an empty text.
std::optional<std::string_view> first_line(std::string_view text);

// The number of uppercase characters of `text`. Reentrant, never fails.
std::size_t count_uppercase(std::string_view text);

}  // namespace vesko

#endif  // VESKO_FEATURES_TEXT_SCAN_H_
