#include "common/lowercase.h"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

std::string utf8(char32_t c) {
  char buffer[4];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(c));
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Lower-cased with every piece limit from the smallest up to one past the
// text's length, which puts ICU's cuts at every position the text allows.
void expect_every_limit_agrees(const std::string& text, const std::string& expected) {
  for (std::size_t limit = 4; limit <= text.size() + 1; ++limit) {
    ASSERT_EQ(to_lower_in_pieces(text, limit), expected) << "limit " << limit << ": " << text;
  }
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
      // A modifier letter is cased and case-ignorable; ICU skips it.
      {"\u02B0\u03A3", "\u02B0\u03C3"},
      {"\u0391\u03A3\u02B0", "\u03B1\u03C2\u02B0"},
      {"\u0391\u03A3\u03A3", "\u03B1\u03C3\u03C2"},  // each sigma is the other's context
      // U+0130 grows from two bytes to three; root locale, so I stays i.
      {"\u0130STANBUL I", "i\u0307stanbul i"},
      {"Caf\u00C9 NA\u00CFVE \u1E9E \u212A \u2126", "caf\u00E9 na\u00EFve \u00DF k \u03C9"},
      {"\u01C5 \u01C4", "\u01C6 \u01C6"},  // title case and capital DŽ
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(to_lower(text), expected) << text;
    EXPECT_EQ(icu_lower(text), expected) << text;
    expect_every_limit_agrees(text, expected);
  }
}

// Random texts drawn mostly from characters whose context matters: capital
// sigmas, cased letters, case-ignorable marks and punctuation (some of them
// cased too), characters that grow, and whitespace.
std::string random_text(std::mt19937& rng, const std::vector<char32_t>& pool,
                        std::size_t max_length) {
  std::string text;
  const std::size_t length = rng() % (max_length + 1);
  for (std::size_t k = 0; k < length; ++k) {
    char32_t c = pool[rng() % pool.size()];
    if (rng() % 5 == 0) c = rng() % 0x110000;
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0) c = 'x';
    text += utf8(c);
  }
  return text;
}

// A run of 0 to 47 ASCII bytes, half of them drawn from the capitals, the
// bytes beside them and whitespace, the rest any ASCII byte.
std::string random_ascii_run(std::mt19937& rng) {
  static constexpr std::string_view kEdges = "AZ@[az`{ \t\n\v\f\rQm";
  std::string run(rng() % 48, '\0');
  for (char& c : run) {
    c = rng() % 2 ? kEdges[rng() % kEdges.size()] : static_cast<char>(rng() % 128);
  }
  return run;
}

TEST(ToLowerTest, AgreesWithOneIcuCallOnRandomText) {
  // Short stretches of the characters below between ASCII runs of every
  // length: ASCII goes 16 bytes at a time, so non-ASCII characters land at
  // every offset of a block, with their pieces starting blocks earlier. The
  // text sits at every offset from an aligned address, and is cut into small
  // pieces too.
  const std::vector<char32_t> pool = {
      'A',   'z',    'I',    ' ',     '\t',   '\n',   '\r',   '\f',   '\v',   '.',
      '\'',  ':',    '1',    0x1C,    0x3A3,  0x3C3,  0x391,  0x3B1,  0x130,  0xC9,
      0x301, 0x345,  0xA0,   0x85,    0x2028, 0x3000, 0x200B, 0xFEFF, 0x1E9E, 0x1F88,
      0x1C5, 0x2126, 0x212A, 0x10400, 0xAD,   0x2019, 0x23A,  0x23E};
  std::mt19937 rng(2024);
  std::string buffer;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t k = rng() % 6; k > 0; --k) {
      text += random_ascii_run(rng) + random_text(rng, pool, 3);
    }
    text += random_ascii_run(rng);
    const std::size_t offset = rng() % 16;
    buffer.assign(offset, '-');
    buffer += text;
    const std::string expected = icu_lower(text);
    ASSERT_EQ(to_lower(std::string_view(buffer).substr(offset)), expected) << "round " << round;
    ASSERT_EQ(to_lower_in_pieces(text, rng() % 24), expected) << "round " << round;
  }
}

TEST(ToLowerTest, PiecesAgreeWithOneIcuCallOnRandomText) {
  // No whitespace, so a whole text is one piece and every limit below its
  // length splits it.
  const std::vector<char32_t> pool = {
      0x3A3,  0x3A3,   0x3A3,   0x391,  0x3C3, 'A',    'b',    '1',    '\'',    ':',   '.',
      0xAD,   0x301,   0x345,   0x2019, 0x2B0, 0x1D2C, 0xA7F8, 0x130,  0x23A,   0xC9,  0x1E9E,
      0x2126, 0x10400, 0x1F600, 0x5D0,  0xA0,  0x1C5,  0x200D, 0xFE0F, 0xE0001, 0x2C62};
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_text(rng, pool, 16);
    expect_every_limit_agrees(text, icu_lower(text));
  }
}

TEST(ToLowerTest, SigmaContextOfEveryCodePoint) {
  // Each code point c both after and before a sigma, with and without a cased
  // letter beyond it, between digits, which end a sigma's context: the four
  // verdicts tell case-ignorable, cased and uncased apart, so the sigmas decided
  // outside ICU must follow ICU's own character properties exactly. Cut into 4-
  // and 7-byte pieces, the same texts also show that no other character's
  // mapping depends on its neighbours.
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

TEST(ToLowerTest, HostileShapesAtScale) {
  // Texts with no cut that both neighbours of would allow, megabytes long: a
  // sigma whose context lies a long run of marks away, and sigmas packed so
  // densely that every cut touches one.
  auto repeat = [](const std::string& unit, std::size_t times) {
    std::string out;
    for (std::size_t k = 0; k < times; ++k) out += unit;
    return out;
  };
  const std::string marks = repeat("\u0301", 1 << 20);
  const std::string texts[] = {
      "\u0391\u03A3" + marks + "B",
      "\u0391\u03A3" + marks,
      "a" + marks + "\u03A3" + marks + "\u00AD",
      repeat("\u03A3\u0301", 1 << 19),
      repeat("\u00E9\u03A3", 1 << 19),
      repeat("\u03A3'", 1 << 19) + "x",
  };
  for (const std::string& text : texts) {
    const std::string expected = icu_lower(text);
    EXPECT_EQ(to_lower_in_pieces(text, 4), expected);
    EXPECT_EQ(to_lower_in_pieces(text, 4096), expected);
  }
}

TEST(ToLowerTest, IllFormedBytesAreCopiedAsIcuCopiesThem) {
  // Texts must be UTF-8, but stray bytes must not make a cut split or misread
  // anything: ill-formed sequences stay as they are wherever the cuts fall,
  // and wherever they fall in the blocks of ASCII around them.
  const std::vector<std::string> units = {
      "\u03A3", "\u0301",       "A", "\xE0", "\xF0\x90",          "\x80", "\xBF", "\xC3",
      "\u00C9", "\xED\xA0\x80", " ", "\n",   "ABCDEFGHIJKLMNOPQ", "xY"};
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (std::size_t k = rng() % 12; k > 0; --k) text += units[rng() % units.size()];
    const std::string expected = icu_lower(text);
    ASSERT_EQ(to_lower(text), expected) << text;
    expect_every_limit_agrees(text, expected);
  }
}

TEST(ToLowerTest, LongTextAgrees) {
  std::string text;
  while (text.size() < (1u << 20)) text += "Subject: \u039F\u0394\u039F\u03A3 MIXED ascii \u0130 ";
  EXPECT_EQ(to_lower(text), icu_lower(text));
}

// Gigabytes: run with VESKO_STRESS=full.
TEST(ToLowerTest, TextBeyondIcuLengthsInOnePiece) {
  const char* stress = std::getenv("VESKO_STRESS");
  if (stress == nullptr || std::strcmp(stress, "full") != 0) GTEST_SKIP() << "VESKO_STRESS=full";
  // 2.2 GB without whitespace, past every 32-bit length, with a sigma at each
  // end whose context is the E-acute run.
  const std::size_t count = 1'100'000'000;
  std::string text = "\u03A3";
  text.reserve(2 * count + 4);
  for (std::size_t k = 0; k < count; ++k) text += "\u00C9";
  text += "\u03A3";
  const auto started = std::chrono::steady_clock::now();
  const std::string lowered = to_lower(text);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("lower-cased %zu bytes in %.1f s\n", text.size(), seconds);
  text = std::string();
  ASSERT_EQ(lowered.size(), 2 * count + 4);
  EXPECT_EQ(lowered.substr(0, 2), "\u03C3");
  EXPECT_EQ(lowered.substr(lowered.size() - 2), "\u03C2");
  std::string block;
  for (int k = 0; k < 1 << 16; ++k) block += "\u00E9";
  for (std::size_t at = 2; at < 2 + 2 * count; at += block.size()) {
    const std::size_t length = std::min(block.size(), 2 + 2 * count - at);
    ASSERT_EQ(std::memcmp(lowered.data() + at, block.data(), length), 0) << "at byte " << at;
  }
}

}  // namespace
}  // namespace vesko
