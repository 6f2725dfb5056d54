// Word characters and UTF-8 stepping for the tokenizer. A word character is
// what a Unicode-aware `\w` matches (UTS #18, Annex C): Alphabetic, any Mark
// (Mn, Mc, Me), Decimal_Number (Nd), Connector_Punctuation (Pc) and the join
// controls U+200C and U+200D. The vocabularies were built by a tokenizer with
// exactly this class, so a different one would split words the models never saw.
#ifndef VESKO_TFIDF_WORD_CHARS_H_
#define VESKO_TFIDF_WORD_CHARS_H_

#include <cstddef>
#include <cstdint>

namespace vesko {

// Byte classes of the ASCII fast path.
enum class ByteClass : std::uint8_t { kOther = 0, kWord = 1, kNonAscii = 2 };

// A table over all code points, built once per process from ICU's character
// properties (Unicode 15.0 in ICU 72). Immutable after construction; safe to
// share across threads.
class WordCharTable {
 public:
  // The process-wide table; built on the first call (about 140 KB), then cheap.
  // Thread-safe.
  static const WordCharTable& instance();

  ByteClass byte_class(unsigned char byte) const { return byte_class_[byte]; }

  // True for a word character; false for anything above U+10FFFF.
  bool is_word(char32_t code_point) const {
    return code_point < kCodePoints &&
           ((bits_[code_point >> 6] >> (code_point & 63)) & std::uint64_t{1}) != 0;
  }

 private:
  static constexpr char32_t kCodePoints = 0x110000;

  WordCharTable();

  ByteClass byte_class_[256];
  std::uint64_t bits_[kCodePoints / 64];
};

// Stands for a byte that starts no well-formed UTF-8 sequence.
inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the character at `p` (p < end): returns its length in bytes (1 to 4)
// and stores its code point. A byte that does not start a well-formed sequence
// (Unicode Table 3-7: no overlongs, no surrogates, nothing above U+10FFFF, no
// truncation) is one character of one byte with kInvalidCodePoint, so no read
// goes past `end`. Texts from Python are always well-formed; this only keeps
// other bytes safe.
inline std::size_t decode_utf8(const unsigned char* p, const unsigned char* end,
                               char32_t& code_point) {
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    code_point = kInvalidCodePoint;
    return 1;
  }
  if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) {
    code_point = kInvalidCodePoint;
    return 1;
  }
  value = (value << 6) | (p[1] & 0x3F);
  for (std::size_t k = 2; k < length; ++k) {
    if ((p[k] & 0xC0) != 0x80) {
      code_point = kInvalidCodePoint;
      return 1;
    }
    value = (value << 6) | (p[k] & 0x3F);
  }
  code_point = value;
  return length;
}

}  // namespace vesko

#endif  // VESKO_TFIDF_WORD_CHARS_H_
