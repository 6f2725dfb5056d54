// The low-level reader: marker names, value descriptions, truncation texts,
// skipping, and how far a declared size is trusted.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "models/msgpack_builder.h"
#include "models/msgpack_reader.h"

namespace vesko {
namespace {

using testing::Pack;

TEST(MarkerName, CarriesTheNumberOfFixKindsOnly) {
  const struct {
    int byte;
    const char* name;
  } cases[] = {
      {0x05, "FixPos(5)"}, {0x7f, "FixPos(127)"}, {0xff, "FixNeg(-1)"},  {0xe0, "FixNeg(-32)"},
      {0xa1, "FixStr(1)"}, {0xbf, "FixStr(31)"},  {0x93, "FixArray(3)"}, {0x80, "FixMap(0)"},
      {0xc0, "Null"},      {0xc1, "Reserved"},    {0xc2, "False"},       {0xc3, "True"},
      {0xc4, "Bin8"},      {0xc6, "Bin32"},       {0xc7, "Ext8"},        {0xc9, "Ext32"},
      {0xca, "F32"},       {0xcb, "F64"},         {0xcc, "U8"},          {0xcf, "U64"},
      {0xd0, "I8"},        {0xd3, "I64"},         {0xd4, "FixExt1"},     {0xd8, "FixExt16"},
      {0xd9, "Str8"},      {0xdb, "Str32"},       {0xdc, "Array16"},     {0xdd, "Array32"},
      {0xde, "Map16"},     {0xdf, "Map32"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(marker_name(classify_marker(static_cast<std::uint8_t>(c.byte))), c.name) << c.byte;
  }
}

// The values the record messages cannot show.
TEST(Describe, ValuesAsMessagesShowThem) {
  EXPECT_EQ(describe_integer(std::numeric_limits<std::uint64_t>::max()),
            "integer `18446744073709551615`");
  EXPECT_EQ(describe_float(NAN), "floating point `NaN`");
  EXPECT_EQ(describe_float(-INFINITY), "floating point `-inf`");
}

TEST(QuoteString, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quote_string("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(quote_string(std::string("\t\r\n\0", 4)), R"("\t\r\n\0")");
  EXPECT_EQ(quote_string("\x01\x1b\x7f"), R"("\u{1}\u{1b}\u{7f}")");
  EXPECT_EQ(quote_string("\xc2\x85x"), R"("\u{85}x")");  // C1 control NEL
  EXPECT_EQ(quote_string("caf\xc3\xa9 'q'"), "\"caf\xc3\xa9 'q'\"");
}

TEST(Reader, TruncationTexts) {
  const struct {
    std::vector<std::uint8_t> bytes;
    const char* text;
  } cases[] = {
      {{}, "IO error while reading marker: failed to fill whole buffer"},
      {{0x91}, "IO error while reading marker: failed to fill whole buffer"},
      {{0xcd, 0x01}, "IO error while reading data: failed to fill whole buffer"},
      {{0xcb, 0, 0, 0}, "IO error while reading data: failed to fill whole buffer"},
      {{0xdc, 0x00}, "IO error while reading data: failed to fill whole buffer"},
      {{0xa3, 'a'}, "IO error while reading data: unexpected end of file"},
      {{0xc4, 0x05, 1, 2}, "IO error while reading data: unexpected end of file"},
      {{0xd5, 0x01, 0x00}, "IO error while reading data: unexpected end of file"},
      {{0xc7}, "IO error while reading data: failed to fill whole buffer"},
      {{0xc7, 0x01}, "IO error while reading data: failed to fill whole buffer"},
  };
  for (const auto& c : cases) {
    MsgpackReader reader(c.bytes);
    Marker m;
    bool ok = reader.read_marker(m) && reader.skip(m);
    EXPECT_FALSE(ok);
    EXPECT_EQ(reader.error(), c.text);
  }
}

TEST(Reader, SkipsAnyWellFormedValue) {
  Pack p;
  p.map(3).str("a").array(2).nil().raw({0xd6, 0x01, 1, 2, 3, 4});
  p.bin("xyz").map(1).str("\xff\xfe").f32(1.5f);  // invalid UTF-8 is skipped unread
  p.sint(-100000).raw({0xc7, 0x02, 0x05, 0xaa, 0xbb});
  p.uint(7);  // the next value, after the skipped one
  MsgpackReader reader(p.bytes());
  Marker m;
  ASSERT_TRUE(reader.read_marker(m) && reader.skip(m)) << reader.error();
  std::uint64_t next = 0;
  ASSERT_TRUE(reader.read_marker(m) && reader.read_unsigned(m, next));
  EXPECT_EQ(next, 7u);
  EXPECT_EQ(reader.remaining(), 0u);
}

TEST(Reader, PresizingTrustsNoMoreThanTheInputCanHold) {
  std::vector<std::uint8_t> big(std::size_t{4} << 20);
  MsgpackReader reader(big);
  EXPECT_EQ(reader.presize(10, sizeof(double)), 10u);
  EXPECT_EQ(reader.presize(0xffffffffu, sizeof(double)), 131072u);  // 1 MiB per container
  std::size_t total = 0;
  for (int i = 0; i < 100; ++i) total += reader.presize(0xffffffffu, 1);
  EXPECT_LE(total, MsgpackReader::kPresizeBudget);  // and 16 MiB per decode
  EXPECT_EQ(reader.presize(0xffffffffu, 1), 0u);

  const std::vector<std::uint8_t> small(5);
  MsgpackReader short_input(small);
  EXPECT_EQ(short_input.presize(0xffffffffu, sizeof(double)), 5u);  // a byte per element
}

}  // namespace
}  // namespace vesko
