// Character classes of the tokenizer and the hand-made features, decided per
// Unicode scalar value. The table is built once per process from ICU's
// property data (Unicode 15.0 in ICU 72) so that the hot loops never call ICU.
#ifndef VESKO_COMMON_CHAR_CLASSES_H_
#define VESKO_COMMON_CHAR_CLASSES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/utf8.h"

namespace vesko {

// Bits of a character's class set; a character may be in several classes
// (U+2160 ROMAN NUMERAL ONE is both uppercase and numeric).
inline constexpr std::uint8_t kCharUppercase = 1;   // 'A'-'Z', non-ASCII Uppercase
inline constexpr std::uint8_t kCharLowercase = 2;   // 'a'-'z', non-ASCII Lowercase
inline constexpr std::uint8_t kCharNumeric = 4;     // '0'-'9', non-ASCII gc Nd, Nl or No
inline constexpr std::uint8_t kCharWhiteSpace = 8;  // the 25 White_Space code points
inline constexpr std::uint8_t kCharZeroWidth = 16;  // U+200B, U+200C, U+200D, U+FEFF
// What a Unicode-aware `\w` matches (UTS #18, Annex C): Alphabetic, any Mark
// (Mn, Mc, Me), Decimal_Number (Nd), Connector_Punctuation (Pc) and the join
// controls U+200C and U+200D. The vocabularies were built by a tokenizer with
// exactly this class, so a different one would split words the models never saw.
inline constexpr std::uint8_t kCharWord = 32;

// The class sets of all code points as a two-level table: 256-entry blocks,
// shared between the many blocks that are alike. Immutable once built; safe to
// share across threads.
class CharClassTable {
 public:
  // The process-wide table, built on first use (a concurrent first caller
  // waits for it).
  static const CharClassTable& instance();

  // The class bits of `c`; 0 above U+10FFFF (kInvalidCodePoint included).
  std::uint8_t classes(char32_t c) const {
    if (c > 0x10FFFF) return 0;
    return blocks_[static_cast<std::size_t>(block_of_[c >> 8]) * 256 + (c & 0xFF)];
  }

 private:
  CharClassTable();

  std::vector<std::uint16_t> block_of_;  // 0x1100 entries, one per 256 code points
  std::vector<std::uint8_t> blocks_;     // the distinct blocks, 256 entries each
};

}  // namespace vesko

#endif  // VESKO_COMMON_CHAR_CLASSES_H_
