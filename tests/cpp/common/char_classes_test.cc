#include "common/char_classes.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

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
    const bool word = c == 0x200C || c == 0x200D || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
                      (U_GET_GC_MASK(c) & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
    ASSERT_EQ((bits & kCharWord) != 0, word) << c;
    white_space += (bits & kCharWhiteSpace) != 0;
  }
  EXPECT_EQ(white_space, 25);
  EXPECT_EQ(table.classes(0x110000), 0);
  for (char32_t c : {0x200B, 0xFEFF}) EXPECT_EQ(table.classes(c), kCharZeroWidth);
  for (char32_t c : {0x200C, 0x200D}) EXPECT_EQ(table.classes(c), kCharZeroWidth | kCharWord);
  EXPECT_EQ(table.classes('_'), kCharWord);
  EXPECT_EQ(table.classes(kInvalidCodePoint), 0);
  EXPECT_EQ(table.classes(0xB2), kCharNumeric);
  EXPECT_EQ(table.classes(0x1C), 0);
}

}  // namespace
}  // namespace vesko
