#include "common/utf8.h"

#include <cstring>

namespace vesko {
namespace {

// Length of the sequence that `lead` starts: 2 to 4, or 0 for a byte that
// cannot start one (continuation bytes, C0, C1, F5 and above).
std::size_t sequence_width(std::uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The allowed second byte narrows after E0, ED, F0 and F4 so that overlong
// forms, surrogates and code points above U+10FFFF count as invalid at once.
bool second_byte_ok(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
  }
}

// Skips a run of ASCII bytes eight at a time; model files are mostly ASCII.
std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
  while (i + 8 <= n) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p + i, 8);
    if (chunk & 0x8080808080808080ULL) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::optional<Utf8Error> find_utf8_error(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (true) {
    i = skip_ascii(p, i, n);
    if (i >= n) return std::nullopt;
    const std::uint8_t lead = p[i];
    const std::size_t width = sequence_width(lead);
    if (width == 0) return Utf8Error{i, 1};
    // Each further byte: absent means incomplete, wrong means an invalid
    // sequence as long as the bytes read so far.
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      const std::uint8_t byte = p[i + k];
      const bool ok = k == 1 ? second_byte_ok(lead, byte) : is_continuation(byte);
      if (!ok) return Utf8Error{i, k};
    }
    i += width;
  }
}

std::string describe_utf8_error(const Utf8Error& error) {
  if (error.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
}

std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  while (true) {
    std::optional<Utf8Error> error = find_utf8_error(bytes);
    if (!error) {
      out.append(bytes);
      return out;
    }
    out.append(bytes.substr(0, error->valid_up_to));
    out.append(kReplacement);
    if (!error->error_len) return out;
    bytes.remove_prefix(error->valid_up_to + *error->error_len);
  }
}

}  // namespace vesko
