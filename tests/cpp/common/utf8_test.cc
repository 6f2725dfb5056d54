#include "common/utf8.h"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

std::vector<char32_t> decode_all(std::string_view text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  while (i < text.size()) out.push_back(next_code_point(bytes, text.size(), i));
  return out;
}

TEST(Utf8, DecodesAsIcuAndMalformedBytesOneByOne) {
  const char32_t R = kInvalidCodePoint;
  const std::pair<std::string, std::vector<char32_t>> cases[] = {
      // clang-format off
      {"\xC0\x80", {R, R}},                // overlong NUL
      {"\xE0\x80\xAF", {R, R, R}},         // overlong '/'
      {"\xED\xA0\x80", {R, R, R}},         // a surrogate
      {"\xF4\x90\x80\x80", {R, R, R, R}},  // above U+10FFFF
      {"\xE2\x82", {R, R}},                // cut short at the end
      {"\xE2\x82" "A", {R, R, 'A'}},       // cut short before ASCII
      {"\x80\xFF", {R, R}},                // stray continuation, invalid byte
      {"\xEF\xBF\xBD", {0xFFFD}},          // a real U+FFFD
      {"\xF0\x9F\x98\x80" "\xC2\x85", {0x1F600, 0x85}},
      // clang-format on
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(decode_all(text), expected);
  std::mt19937 rng(7);
  std::string text;
  std::vector<char32_t> expected;
  while (expected.size() < 20000) {
    const auto c = static_cast<UChar32>(rng() % 0x110000);
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, c);
    text.append(buffer, static_cast<std::size_t>(length));
    expected.push_back(static_cast<char32_t>(c));
  }
  EXPECT_EQ(decode_all(text), expected);
}

// The first error, and each maximal invalid subpart replaced ('?' standing
// for U+FFFD).
TEST(Utf8, ErrorsAndLossyReplacement) {
  const struct {
    std::string bytes, lossy, error;  // error "": valid
  } cases[] = {
      // clang-format off
      {"plain ascii text, long enough for the fast path", "", ""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "", ""},
      {"ab\x80", "ab?", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\x80", "??", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf5\x80\x80\x80", "????", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xc3(", "?(", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xe0\x80\x80", "???", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xed\xa0\x80", "???", "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
      {"\xf0\x80\x80\x80", "????", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf4\x90\x80\x80", "????", "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
      {"x\xe2\x82(", "x?(", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xf0\x9f\x98(", "?(", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"abc\xe2\x82", "abc?", "incomplete utf-8 byte sequence from index 3"},
      {"\xf0", "?", "incomplete utf-8 byte sequence from index 0"},
      {"\xf0\x9f\x98", "?", "incomplete utf-8 byte sequence from index 0"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const auto error = find_utf8_error(c.bytes);
    EXPECT_EQ(error ? describe_utf8_error(*error) : "", c.error) << c.bytes;
    std::string lossy;
    for (char ch : c.error.empty() ? c.bytes : c.lossy)
      lossy += ch == '?' ? "\xEF\xBF\xBD" : std::string(1, ch);
    EXPECT_EQ(utf8_lossy(c.bytes), lossy) << c.bytes;
  }
}

}  // namespace
}  // namespace vesko
