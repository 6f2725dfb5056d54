#include "common/lowercase.h"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "piece_texts.h"

namespace vesko {
namespace {

using testing_texts::repeat;

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

std::string utf8(char32_t c) {
  char buffer[4];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(c));
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Lower-cased whole, and with every piece limit from the smallest up to one
// past the text's length, which puts the cuts at every position it allows.
void expect_as_icu(const std::string& text, const std::string& expected) {
  ASSERT_EQ(to_lower(text), expected) << testing::PrintToString(text);
  for (std::size_t limit = 4; limit <= text.size() + 1; ++limit) {
    ASSERT_EQ(to_lower_in_pieces(text, limit), expected) << limit << testing::PrintToString(text);
  }
}

// The mappings themselves, which pin the reference too: final sigma after a
// cased letter and not before one, case-ignorable characters ('.', U+0301,
// and the cased U+02B0) skipped on both sides; growth; the root locale.
TEST(ToLowerTest, KnownMappings) {
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"", ""}, {"Hello WORLD 123!", "hello world 123!"}, {"Σ", "σ"}, {"ΟΔΟΣ ΑΣΣ", "οδος ασς"},
      {"ΑΣ.\u0301 ΑΣ.Β", "ας.\u0301 ασ.β"}, {"\u0130STANBUL I", "i\u0307stanbul i"},
      {"\u02B0Σ ΑΣ\u02B0 ΑΣ\u00A0x", "\u02B0σ ας\u02B0 ας\u00A0x"},
      {"CafÉ NAÏVE ẞ \u212A \u2126 ǅ Ǆ", "café naïve ß k ω ǆ ǆ"},
      // clang-format on
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(icu_lower(text), expected) << text;
    expect_as_icu(text, expected);
  }
}

// ASCII runs of every length (ASCII goes 16 bytes at a time), characters whose
// context matters or that grow, White_Space beyond ASCII, ill-formed bytes,
// any character; a third of the texts without ASCII whitespace, so one piece
// that every limit below its length splits; at every offset from alignment.
TEST(ToLowerTest, AgreesWithOneIcuCallOnRandomText) {
  std::vector<std::string> units = {"\xE0", "\xF0\x90", "\x80", "\xBF", "\xC3", "\xED\xA0\x80"};
  for (char32_t c : {0x3A3, 0x3A3,  0x3C3,  0x391,   0x3B1,  0x130,   0xC9,   0x301,  0x345,
                     0xA0,  0x85,   0x2028, 0x3000,  0x200B, 0x200D,  0xFEFF, 0x1E9E, 0x1F88,
                     0x1C5, 0x2126, 0x212A, 0x10400, 0xAD,   0x2019,  0x2B0,  0x1D2C, 0xA7F8,
                     0x23A, 0x23E,  0x2C62, 0x5D0,   0xFE0F, 0xE0001, 0x1F600}) {
    units.push_back(utf8(c));
  }
  std::mt19937 rng(2024);
  for (int round = 0; round < 30000 && !HasFailure(); ++round) {
    const bool one_piece = round % 3 == 0;
    std::string text;
    for (std::size_t k = rng() % 12; k > 0; --k) {
      const unsigned kind = rng() % 6;
      if (kind == 0) {
        static constexpr std::string_view kAscii = "AZ@[az`{'.:1 \t\n\v\f\rQm";
        for (std::size_t n = rng() % 48; n > 0; --n) {
          const char c = rng() % 2 ? kAscii[rng() % kAscii.size()] : static_cast<char>(rng() % 128);
          if (!one_piece || !(c == ' ' || (c >= '\t' && c <= '\r'))) text += c;
        }
      } else if (kind == 1) {
        const char32_t c = rng() % 0x110000;
        text += c >= 0xD800 && c <= 0xDFFF ? "x" : utf8(c);
      } else {
        text += units[rng() % units.size()];
      }
    }
    const std::string shifted = std::string(rng() % 16, '-') + text;
    const std::string expected = icu_lower(text);
    ASSERT_EQ(to_lower(std::string_view(shifted).substr(shifted.size() - text.size())), expected)
        << "round " << round;
    if (text.size() <= 64) {
      expect_as_icu(text, expected);
    } else {
      ASSERT_EQ(to_lower_in_pieces(text, rng() % 24), expected) << "round " << round;
    }
  }
}

// Each code point after and before a sigma, with and without a cased letter
// beyond it, between digits: the verdicts tell case-ignorable, cased and
// uncased apart, so sigmas decided outside ICU follow ICU's properties. Cut
// into 4- and 7-byte pieces: no other mapping depends on its neighbours.
TEST(ToLowerTest, SigmaContextOfEveryCodePoint) {
  const std::string sigma = "\u03A3";
  for (char32_t block = 0; block < 0x110000; block += 0x1000) {
    std::string text;
    for (char32_t c = block; c < block + 0x1000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const std::string s = utf8(c);
      text += "1A" + sigma + s + "1A" + sigma + s + "A1" + s + sigma + "1A" + s + sigma;
    }
    const std::string expected = icu_lower(text);
    const auto first = static_cast<std::uint32_t>(block);
    ASSERT_EQ(to_lower_in_pieces(text, 4), expected) << "block " << std::hex << first;
    ASSERT_EQ(to_lower_in_pieces(text, 7), expected) << "block " << std::hex << first;
  }
}

// Megabytes with no cut that both neighbours would allow: a sigma whose
// context lies a long run of marks away, and sigmas packed so densely that
// every cut touches one. Linear time, and the same bytes.
TEST(ToLowerTest, HostileShapesAtScale) {
  const std::string marks = repeat("\u0301", 1 << 20);
  for (const std::string& text :
       {"\u0391\u03A3" + marks + "B", "\u0391\u03A3" + marks,
        "a" + marks + "\u03A3" + marks + "\u00AD", repeat("\u03A3\u0301", 1 << 19),
        repeat("\u00E9\u03A3", 1 << 19), repeat("\u03A3'", 1 << 19) + "x"}) {
    const std::string expected = icu_lower(text);
    EXPECT_EQ(to_lower_in_pieces(text, 4), expected);
    EXPECT_EQ(to_lower_in_pieces(text, 4096), expected);
  }
}

// 2.2 GB without whitespace, past every 32-bit length, with a sigma at each
// end whose context is the E-acute run. Run with VESKO_STRESS=full.
TEST(ToLowerTest, TextBeyondIcuLengthsInOnePiece) {
  const char* stress = std::getenv("VESKO_STRESS");
  if (stress == nullptr || std::strcmp(stress, "full") != 0) GTEST_SKIP() << "VESKO_STRESS=full";
  const std::size_t count = 1'100'000'000;
  std::string text = "\u03A3";
  text.reserve(2 * count + 4);
  for (std::size_t k = 0; k < count; ++k) text += "\u00C9";
  const std::string lowered = to_lower(text += "\u03A3");
  text = std::string();
  ASSERT_EQ(lowered.size(), 2 * count + 4);
  // The first sigma has nothing cased before it, the last nothing after it.
  std::size_t wrong = lowered.compare(0, 2, "\u03C3") != 0;
  for (std::size_t at = 2; at < 2 * count + 2; at += 2) {
    wrong += lowered.compare(at, 2, "\u00E9") != 0;
  }
  wrong += lowered.compare(2 * count + 2, 2, "\u03C2") != 0;
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace vesko
