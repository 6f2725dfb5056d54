// Character classes of the hand-made features, decided per Unicode scalar
// value, and the UTF-8 decoding that feeds them. The table is built once per
// process from ICU's property data so that the hot loops never call ICU.
#ifndef VESKO_FEATURES_CHAR_CLASSES_H_
#define VESKO_FEATURES_CHAR_CLASSES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesko {

// Bits of a character's class set; a character may be in several classes
// (U+2160 ROMAN NUMERAL ONE is both uppercase and numeric).
inline constexpr std::uint8_t kCharUppercase = 1;   // 'A'-'Z', non-ASCII Uppercase
inline constexpr std::uint8_t kCharLowercase = 2;   // 'a'-'z', non-ASCII Lowercase
inline constexpr std::uint8_t kCharNumeric = 4;     // '0'-'9', non-ASCII gc Nd, Nl or No
inline constexpr std::uint8_t kCharWhiteSpace = 8;  // the 25 White_Space code points
inline constexpr std::uint8_t kCharZeroWidth = 16;  // U+200B, U+200C, U+200D, U+FEFF

// What a malformed UTF-8 byte decodes to; it belongs to no class.
inline constexpr char32_t kReplacementChar = 0xFFFD;

// The class sets of all code points as a two-level table: 256-entry blocks,
// shared between the many blocks that are alike. Immutable once built; safe to
// share across threads.
class CharClassTable {
 public:
  // The process-wide table, built on first use (a concurrent first caller
  // waits for it).
  static const CharClassTable& instance();

  // The class bits of `c`; 0 above U+10FFFF.
  std::uint8_t classes(char32_t c) const {
    if (c > 0x10FFFF) return 0;
    return blocks_[static_cast<std::size_t>(block_of_[c >> 8]) * 256 + (c & 0xFF)];
  }

 private:
  CharClassTable();

  std::vector<std::uint16_t> block_of_;  // 0x1100 entries, one per 256 code points
  std::vector<std::uint8_t> blocks_;     // the distinct blocks, 256 entries each
};

// Decodes the character that starts at bytes[i] and moves i past it. Never
// reads at or beyond `size`; i must be below `size`. A byte that does not begin
// a well-formed sequence (the text should be valid UTF-8, but the extractor must
// not read out of bounds when it is not) yields kReplacementChar and moves i by
// one, so every byte is consumed exactly once.
inline char32_t decode_utf8(const unsigned char* bytes, std::size_t size, std::size_t& i) {
  const unsigned char b0 = bytes[i];
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const std::size_t left = size - i;
  auto continuation = [&](std::size_t k) { return (bytes[i + k] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left >= 2 && continuation(1)) {
      char32_t c = (static_cast<char32_t>(b0 & 0x1F) << 6) | (bytes[i + 1] & 0x3F);
      i += 2;
      return c;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left >= 3 && continuation(1) && continuation(2)) {
      char32_t c = (static_cast<char32_t>(b0 & 0x0F) << 12) |
                   (static_cast<char32_t>(bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F);
      // Overlong forms and surrogates are not characters.
      if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
        i += 3;
        return c;
      }
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left >= 4 && continuation(1) && continuation(2) && continuation(3)) {
      char32_t c = (static_cast<char32_t>(b0 & 0x07) << 18) |
                   (static_cast<char32_t>(bytes[i + 1] & 0x3F) << 12) |
                   (static_cast<char32_t>(bytes[i + 2] & 0x3F) << 6) | (bytes[i + 3] & 0x3F);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        i += 4;
        return c;
      }
    }
  }
  ++i;
  return kReplacementChar;
}

}  // namespace vesko

#endif  // VESKO_FEATURES_CHAR_CLASSES_H_
