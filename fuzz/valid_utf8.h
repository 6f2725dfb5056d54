// Turning fuzzer bytes into the valid UTF-8 that text entry points are
// defined for (the module only ever hands them Python strings): every byte
// that starts no well-formed sequence becomes U+FFFD, as a decoder with
// errors="replace" does.
#ifndef VESKO_FUZZ_VALID_UTF8_H_
#define VESKO_FUZZ_VALID_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesko::fuzz {

// Length of the well-formed UTF-8 sequence at data[i] (no overlongs, no
// surrogates, nothing above U+10FFFF), or 0 when none starts there.
inline std::size_t sequence_length(const std::uint8_t* data, std::size_t size, std::size_t i) {
  const std::uint8_t b0 = data[i];
  if (b0 < 0x80) return 1;
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (size - i < length) return 0;
  if (data[i + 1] < low || data[i + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((data[i + k] & 0xC0) != 0x80) return 0;
  }
  return length;
}

inline std::string make_valid_utf8(const std::uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size;) {
    const std::size_t length = sequence_length(data, size, i);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      ++i;
    } else {
      text.append(reinterpret_cast<const char*>(data + i), length);
      i += length;
    }
  }
  return text;
}

}  // namespace vesko::fuzz

#endif  // VESKO_FUZZ_VALID_UTF8_H_
