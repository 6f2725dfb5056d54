#include "common/lowercase.h"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

// The reference: one ICU call on the whole text, root locale.
std::string icu_lower(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  std::string out(text.size() * 3 + 16, '\0');
  int32_t length = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()),
                                        text.data(), static_cast<int32_t>(text.size()), &status);
  ucasemap_close(map);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

TEST(ToLowerTest, KnownMappings) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"Hello WORLD 123!", "hello world 123!"},
      // Final sigma: after a cased letter and not before one, case-ignorable
      // characters ('.', U+0301) skipped on both sides.
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},  // ΟΔΟΣ -> οδος
      {"\u03A3", "\u03C3"},                                      // Σ alone
      {"\u0391\u03A3.", "\u03B1\u03C2."},                        // ΑΣ.
      {"\u0391\u03A3.\u0392", "\u03B1\u03C3.\u03B2"},            // ΑΣ.Β: not final
      {"\u0391\u03A3 \u0392\u03A3", "\u03B1\u03C2 \u03B2\u03C2"},
      {"\u0391\u03A3\u0301", "\u03B1\u03C2\u0301"},
      {"\u0391\u03A3\u00A0x", "\u03B1\u03C2\u00A0x"},  // U+00A0 is not case-ignorable
      // U+0130 grows from two bytes to three; root locale, so I stays i.
      {"\u0130STANBUL I", "i\u0307stanbul i"},
      {"Caf\u00C9 NA\u00CFVE \u1E9E \u212A \u2126", "caf\u00E9 na\u00EFve \u00DF k \u03C9"},
      {"\u01C5 \u01C4", "\u01C6 \u01C6"},  // title case and capital DŽ
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(to_lower(text), expected) << text;
    EXPECT_EQ(icu_lower(text), expected) << text;
  }
}

TEST(ToLowerTest, AgreesWithOneIcuCallOnRandomText) {
  // Characters whose context matters (sigma, cased letters, case-ignorable
  // marks and punctuation, every kind of whitespace) drawn far more often
  // than the rest of the code space.
  const std::vector<char32_t> pool = {
      'A',    'z',    'I',    ' ',    '\t',   '\n',   '\r',  '\f',   '\v',   '.',     '\'', ':',
      '1',    0x1C,   0x3A3,  0x3C3,  0x391,  0x3B1,  0x130, 0xC9,   0x301,  0x345,   0xA0, 0x85,
      0x2028, 0x3000, 0x200B, 0xFEFF, 0x1E9E, 0x1F88, 0x1C5, 0x2126, 0x212A, 0x10400, 0xAD, 0x2019};
  std::mt19937 rng(2024);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t length = rng() % 24;
    for (std::size_t k = 0; k < length; ++k) {
      char32_t c = pool[rng() % pool.size()];
      if (rng() % 5 == 0) c = rng() % 0x110000;
      if ((c >= 0xD800 && c <= 0xDFFF) || c == 0) c = 'x';
      char buffer[4];
      int32_t n = 0;
      U8_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(c));
      text.append(buffer, static_cast<std::size_t>(n));
    }
    ASSERT_EQ(to_lower(text), icu_lower(text)) << "round " << round;
  }
}

TEST(ToLowerTest, LongTextAgrees) {
  std::string text;
  while (text.size() < (1u << 20)) text += "Subject: \u039F\u0394\u039F\u03A3 MIXED ascii \u0130 ";
  EXPECT_EQ(to_lower(text), icu_lower(text));
}

}  // namespace
}  // namespace vesko
