#include "features/char_classes.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

TEST(CharClassTableTest, AgreesWithIcuOnEveryCodePoint) {
  const CharClassTable& table = CharClassTable::instance();
  int white_space = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    const std::uint8_t bits = table.classes(static_cast<char32_t>(c));
    const bool numeric = (U_GET_GC_MASK(c) & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) != 0;
    ASSERT_EQ((bits & kCharUppercase) != 0, u_hasBinaryProperty(c, UCHAR_UPPERCASE) != 0) << c;
    ASSERT_EQ((bits & kCharLowercase) != 0, u_hasBinaryProperty(c, UCHAR_LOWERCASE) != 0) << c;
    ASSERT_EQ((bits & kCharNumeric) != 0, numeric) << c;
    ASSERT_EQ((bits & kCharWhiteSpace) != 0, u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) != 0) << c;
    white_space += (bits & kCharWhiteSpace) != 0;
  }
  EXPECT_EQ(white_space, 25);
  EXPECT_EQ(table.classes(0x110000), 0);
  for (char32_t c : {0x200B, 0x200C, 0x200D, 0xFEFF}) EXPECT_EQ(table.classes(c), kCharZeroWidth);
  EXPECT_EQ(table.classes(0xB2), kCharNumeric);
  EXPECT_EQ(table.classes(0x1C), 0);
}

std::vector<char32_t> decode_all(std::string_view text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  while (i < text.size()) out.push_back(decode_utf8(bytes, text.size(), i));
  return out;
}

TEST(DecodeUtf8Test, MalformedBytesBecomeOneReplacementEach) {
  const char32_t R = kReplacementChar;
  const std::pair<std::string, std::vector<char32_t>> cases[] = {
      {"\xC0\x80", {R, R}},                // overlong NUL
      {"\xE0\x80\xAF", {R, R, R}},         // overlong '/'
      {"\xED\xA0\x80", {R, R, R}},         // a surrogate
      {"\xF4\x90\x80\x80", {R, R, R, R}},  // above U+10FFFF
      {"\xE2\x82", {R, R}},                // cut short at the end
      {"\xE2\x82"
       "A",
       {R, R, 'A'}},               // cut short before ASCII
      {"\x80\xFF", {R, R}},        // stray continuation, invalid byte
      {"\xEF\xBF\xBD", {0xFFFD}},  // a real U+FFFD
      {"\xF0\x9F\x98\x80"
       "\xC2\x85",
       {0x1F600, 0x85}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(decode_all(text), expected);
}

TEST(DecodeUtf8Test, AgreesWithIcuOnValidText) {
  std::mt19937 rng(7);
  std::string text;
  std::vector<char32_t> expected;
  for (int k = 0; k < 20000; ++k) {
    UChar32 c = static_cast<UChar32>(rng() % 0x110000);
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, c);
    text.append(buffer, static_cast<std::size_t>(length));
    expected.push_back(static_cast<char32_t>(c));
  }
  EXPECT_EQ(decode_all(text), expected);
}

}  // namespace
}  // namespace vesko
