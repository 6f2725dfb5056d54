// UTF-8: stepping through text one character at a time for the hot loops of
// the tokenizer and the features, validation with the error texts that
// model-file messages carry, and the lossy rendering used for paths in reader
// messages. The texts follow the ones that operators already see in logs from
// earlier releases.
#ifndef VESKO_COMMON_UTF8_H_
#define VESKO_COMMON_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesko {

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

// The character at bytes[i] (i < size), moving i past it: decode_utf8 for
// scanners that walk a text by index.
inline char32_t next_code_point(const unsigned char* bytes, std::size_t size, std::size_t& i) {
  char32_t code_point;
  i += decode_utf8(bytes + i, bytes + size, code_point);
  return code_point;
}

// Where validation stopped: `valid_up_to` bytes are well-formed; `error_len`
// is the length of the invalid sequence (1 to 3), or absent when the input
// ends inside a sequence that could still have been valid.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::size_t> error_len;
};

// The first error in `bytes`, or nullopt when they are valid UTF-8. Pure.
std::optional<Utf8Error> find_utf8_error(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !find_utf8_error(bytes).has_value(); }

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string describe_utf8_error(const Utf8Error& error);

// `bytes` with each maximal invalid subpart replaced by U+FFFD (one
// replacement per invalid sequence, one for an incomplete tail).
std::string utf8_lossy(std::string_view bytes);

}  // namespace vesko

#endif  // VESKO_COMMON_UTF8_H_
