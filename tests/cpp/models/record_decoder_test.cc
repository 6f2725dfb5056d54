// Decoding model files: the MessagePack reader beneath (marker names,
// truncation texts, skipping, how far a declared size is trusted), then the
// five records in both forms, their defaults and the decoder's messages.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "models/model_files.h"
#include "models/msgpack_builder.h"
#include "models/msgpack_reader.h"

namespace vesko {
namespace {

using testing::Pack;
using namespace std::literals;

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

TEST(Reader, TruncationTexts) {
  const std::string marker = "IO error while reading marker: failed to fill whole buffer";
  const std::string fill = "IO error while reading data: failed to fill whole buffer";
  const std::string eof = "IO error while reading data: unexpected end of file";
  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      // clang-format off
      {{}, marker}, {{0x91}, marker}, {{0xcd, 0x01}, fill}, {{0xcb, 0, 0, 0}, fill},
      {{0xdc, 0x00}, fill}, {{0xc7}, fill}, {{0xc7, 0x01}, fill}, {{0xa3, 'a'}, eof},
      {{0xc4, 0x05, 1, 2}, eof}, {{0xd5, 0x01, 0x00}, eof},
      // clang-format on
  };
  for (const auto& [bytes, text] : cases) {
    MsgpackReader reader(bytes);
    Marker m;
    EXPECT_FALSE(reader.read_marker(m) && reader.skip(m));
    EXPECT_EQ(reader.error(), text);
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
  EXPECT_TRUE(next == 7 && reader.remaining() == 0);
}

TEST(Reader, PresizingTrustsNoMoreThanTheInputCanHold) {
  std::vector<std::uint8_t> big(std::size_t{4} << 20);
  MsgpackReader reader(big);
  EXPECT_EQ(reader.presize(10, sizeof(double)), 10u);
  EXPECT_EQ(reader.presize(0xffffffffu, sizeof(double)), 131072u);  // 1 MiB per container
  for (int i = 0; i < 16; ++i) reader.presize(0xffffffffu, 1);
  EXPECT_EQ(reader.presize(0xffffffffu, 1), 0u);  // and 16 MiB per decode

  const std::vector<std::uint8_t> small(5);
  EXPECT_EQ(MsgpackReader(small).presize(0xffffffffu, sizeof(double)), 5u);  // a byte per element
}

// vocabulary {"a": 0, "b": 1}, idf [1.5, 2.0], max_features 10.
Pack tfidf_required_values() {
  return Pack().map(2).str("a").uint(0).str("b").uint(1).floats({1.5, 2.0}).uint(10);
}

Pack tfidf_map_with(int extra_entries) {
  Pack p;
  p.map(static_cast<std::uint32_t>(3 + extra_entries));
  p.str("vocabulary").map(2).str("a").uint(0).str("b").uint(1);
  return p.str("idf").floats({1.5, 2.0}).str("max_features").uint(10);
}

template <typename Record>
std::string error_of(Expected<Record> (*decode)(std::span<const std::uint8_t>), const Pack& p) {
  auto r = decode(p.bytes());
  return r ? "<ok>" : r.error();
}

std::string tfidf_error(const Pack& p) { return error_of(&decode_tfidf_model, p); }

std::string type(const std::string& what, const std::string& expected) {
  return "invalid type: " + what + ", expected " + expected;
}

TEST(TfidfRecord, FormsDefaultsAndValueConversions) {
  // The map and the shortest array give the same record, the rest defaulted.
  for (const Pack& p : {tfidf_map_with(0), Pack().array(3).append(tfidf_required_values())}) {
    auto r = decode_tfidf_model(p.bytes());
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(r->vocabulary.size() == 2 && r->vocabulary.find("b")->second == 1);
    EXPECT_TRUE(r->idf == std::vector<double>({1.5, 2.0}) && r->max_features == 10);
    EXPECT_TRUE(!r->sublinear_tf && r->norm == "l2");
    EXPECT_FALSE(r->scaler_type || r->scaler_mean || r->scaler_scale || r->scaler_min);
  }
  Pack array;
  array.array(9).append(tfidf_required_values()).boolean(true).str("l1").str("standard");
  auto r = decode_tfidf_model(array.floats({0.5}).nil().floats({}).bytes());
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->sublinear_tf && r->norm == "l1" && r->scaler_type == "standard");
  EXPECT_EQ(r->scaler_mean, std::vector<double>{0.5});
  EXPECT_FALSE(r->scaler_scale.has_value());  // nil optional is absent
  EXPECT_EQ(r->scaler_min, std::vector<double>{});

  // Integer keys select fields by index, 9 names none and its value is
  // skipped; a later duplicate term wins; binary bytes read as a list of
  // integers; integers of every kind convert; NaN passes unchanged; bytes
  // after the record are ignored.
  Pack keyed;
  keyed.map(5).uint(0).map(2).str("x").uint(3).str("x").raw({0xd0, 5}).uint(1).bin("\x01\x02");
  keyed.uint(2).uint(UINT64_MAX).uint(9).map(1).str("deep").array(1).array(0);
  keyed.uint(7).array(4).sint(-2).f32(0.5f).uint(3).f64(NAN).raw({0xc1, 0xff});
  auto k = decode_tfidf_model(keyed.bytes());
  ASSERT_TRUE(k) << k.error();
  EXPECT_TRUE(k->vocabulary.size() == 1 && k->vocabulary.find("x")->second == 5);
  EXPECT_TRUE(k->idf == std::vector<double>({1.0, 2.0}) && k->max_features == UINT64_MAX);
  ASSERT_EQ(k->scaler_scale->size(), 4u);
  EXPECT_EQ(std::vector<double>(k->scaler_scale->begin(), k->scaler_scale->end() - 1),
            (std::vector<double>{-2.0, 0.5, 3.0}));
  EXPECT_TRUE(std::isnan(k->scaler_scale->back()));
}

// One field's value replaced by something else: the message that results.
TEST(TfidfRecord, FieldValueMessages) {
  const std::string utf8 =
      "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0";
  const std::string fill = "failed to fill whole buffer";
  const struct {
    const char* field;
    Pack value;
    std::string message;
  } cases[] = {
      // clang-format off
      {"norm", Pack().nil(), type("unit value", "a string")},
      {"norm", Pack().str("\xff"), utf8},
      {"norm", Pack().bin("\xe2\x82"), "invalid value: byte array, expected a string"},
      {"scaler_type", Pack().raw({0xd4, 1, 0}), type("newtype struct", "a string")},
      {"sublinear_tf", Pack().nil(), type("unit value", "a boolean")},
      {"sublinear_tf", Pack().uint(1), type("integer `1`", "a boolean")},
      {"sublinear_tf", Pack().str("yes"), "wrong msgpack marker FixStr(3)"},
      {"max_features", Pack().sint(-1), "invalid value: integer `-1`, expected usize"},
      {"max_features", Pack().f64(2.5), type("floating point `2.5`", "usize")},
      {"max_features", Pack().f64(3.0), type("floating point `3.0`", "usize")},
      {"max_features", Pack().f64(NAN), type("floating point `NaN`", "usize")},
      {"max_features", Pack().f32(-INFINITY), type("floating point `-inf`", "usize")},
      {"max_features", Pack().boolean(true), type("boolean `true`", "usize")},
      {"max_features", Pack().str("a"), "wrong msgpack marker FixStr(1)"},
      {"max_features", Pack().raw({0xcd, 1}), "IO error while reading data: " + fill},
      {"idf", Pack().nil(), type("unit value", "a sequence")},
      {"idf", Pack().str("x\ty"), type(R"(string "x\ty")", "a sequence")},
      {"idf", Pack().str("\"\\\r\n\0\x01\x1b\x7f\xc2\x85\xc3\xa9'"sv),
       type("string \"\\\"\\\\\\r\\n\\0\\u{1}\\u{1b}\\u{7f}\\u{85}\xc3\xa9'\"", "a sequence")},
      {"idf", Pack().array(2).f64(1).nil(), type("unit value", "f64")},
      {"idf", Pack().array(1).str("1"), "wrong msgpack marker FixStr(1)"},
      {"idf", Pack().array(1).raw({0xc7, 0, 1}), "wrong msgpack marker Ext8"},
      {"scaler_mean", Pack().boolean(false), type("boolean `false`", "a sequence")},
      {"vocabulary", Pack().array(0), type("sequence", "a map")},
      {"vocabulary", Pack().bin("ab"), type("byte array", "a map")},
      {"vocabulary", Pack().map(1).uint(1).uint(1), type("integer `1`", "a string")},
      {"vocabulary", Pack().map(1).str("t").sint(-3),
       "invalid value: integer `-3`, expected usize"},
      {"vocabulary", Pack().map(1).str("t"), "IO error while reading marker: " + fill},
      // clang-format on
  };
  for (const auto& c : cases) {
    const std::string field = c.field;
    const bool base_field = field == "vocabulary" || field == "idf" || field == "max_features";
    Pack p;
    p.map(base_field ? 3 : 4);
    if (field != "vocabulary") p.str("vocabulary").map(0);
    if (field != "idf") p.str("idf").array(0);
    if (field != "max_features") p.str("max_features").uint(1);
    EXPECT_EQ(tfidf_error(p.str(c.field).append(c.value)), c.message) << c.field;
  }
}

TEST(TfidfRecord, KeyAndShapeMessages) {
  const Pack five_fields = Pack().append(tfidf_required_values()).boolean(false).str("l2");
  const std::string record = "struct TfidfModel", key = "field identifier";
  const std::string marker = "IO error while reading marker: failed to fill whole buffer";
  const std::pair<Pack, std::string> cases[] = {
      // clang-format off
      {Pack(), marker},
      {Pack().nil(), type("unit value", record)},
      {Pack().f64(-0.5), type("floating point `-0.5`", record)},
      {Pack().str("hi"), type(R"(string "hi")", record)},
      {Pack().str("\xc3"),
       "string found to be invalid utf8: incomplete utf-8 byte sequence from index 0"},
      {Pack().raw({0xd5, 0, 0, 0}), type("newtype struct", record)},
      {Pack().raw({0xc1}), "wrong msgpack marker Reserved"},
      // Binary data reads as an array of its bytes.
      {Pack().bin(""), "invalid length 0, expected struct TfidfModel with 9 elements"},
      {Pack().bin("\x07"), type("integer `7`", "a map")},
      {Pack().array(2).map(0).array(0),
       "invalid length 2, expected struct TfidfModel with 9 elements"},
      {Pack().array(10).append(five_fields).nil().nil().nil().nil().raw({0xc1}),
       "array had incorrect length, expected 9"},
      // Element 9 is never read, but a malformed earlier element is reported.
      {Pack().array(10).append(tfidf_required_values()).uint(1), type("integer `1`", "a boolean")},
      {Pack().map(1).raw({0xd0, 1}).uint(0), type("integer `1`", key)},  // an int 8
      {Pack().map(1).sint(-1).uint(0), type("integer `-1`", key)},
      {Pack().map(3).str("Vocabulary").map(0).str("idf").array(0).str("max_features").uint(1),
       "missing field `vocabulary`"},
      {Pack().map(2).str("idf").array(0).uint(1).raw({0xc1}), "duplicate field `idf`"},
      {Pack().map(2).bin("idf").array(0).str("idf").array(0), "duplicate field `idf`"},
      {Pack().map(2).uint(3).boolean(true).uint(3).boolean(true), "duplicate field `sublinear_tf`"},
      {Pack().map(1).str("unknown").array(3).uint(1), marker},
      {Pack().map(1).str("unknown").raw({0xc1}), "wrong msgpack marker Reserved"},
      // Declared counts far beyond the input reserve nothing and fail at its end.
      {Pack().raw({0x91, 0xdf, 0xff, 0xff, 0xff, 0xff, 0xa1, 'a', 0x01, 0xa1}),
       "IO error while reading data: unexpected end of file"},
      // clang-format on
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(tfidf_error(bytes), message);
}

TEST(RecordNesting, TheRecordCountsAsTheFirstOfAtMost1023Levels) {
  for (int levels : {1023, 1024}) {
    Pack p = tfidf_map_with(1);
    p.str("skip");  // an unknown key whose value nests arrays
    for (int i = 1; i < levels - 1; ++i) p.array(1);
    EXPECT_EQ(tfidf_error(p.array(0)), levels == 1023 ? "<ok>" : "depth limit exceeded");
  }
}

TEST(OtherRecords, FormsAndMessages) {
  // The logistic regression's two scaler vectors may be left off the end.
  auto lr = [](std::uint32_t n) {
    Pack p = Pack().array(n).array(1).floats({0.5, -0.5}).floats({0.1}).strs({"clean", "spam"});
    for (std::uint32_t i = 3; i < n; ++i) p.floats({1.0});
    return p;
  };
  auto four = decode_logistic_regression_model(lr(4).bytes());
  EXPECT_TRUE(four && four->scaler_mean && !four->scaler_scale && four->classes.size() == 2);
  const Pack two = Pack().array(2).array(0).array(0);
  const auto lr_file = &decode_logistic_regression_model;
  const auto nb_file = &decode_naive_bayes_model;
  const auto svm_file = &decode_linear_svm_model;
  const auto xgb_file = &decode_xgboost_model;
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {error_of(lr_file, lr(3)), "<ok>"},
      {error_of(lr_file, lr(5)), "<ok>"},
      {error_of(lr_file, lr(6)), "array had incorrect length, expected 5"},
      {error_of(nb_file, two), "invalid length 2, expected struct NaiveBayesModel with 3 elements"},
      {error_of(svm_file, two), "invalid length 2, expected struct LinearSVMModel with 3 elements"},
      {error_of(xgb_file, Pack().array(4).array(0).uint(1).f64(0.1).f64(0.5)),
       "invalid length 4, expected struct XGBoostModel with 5 elements"},
      {error_of(xgb_file, Pack().nil()), type("unit value", "struct XGBoostModel")},
      {error_of(nb_file, Pack().bin("\x01")), type("integer `1`", "a sequence")},
      {error_of(svm_file, Pack().map(2).str("coef").array(0).str("intercept").floats({})),
       "missing field `classes`"},
      {error_of(svm_file, Pack().map(1).str("classes").bin("ab")),
       type("integer `97`", "a string")},
      // Declared counts far beyond the input reserve nothing and fail at its end.
      {error_of(svm_file, Pack().raw({0x91, 0xdd, 0xff, 0xff, 0xff, 0xff, 0x90, 0x90, 0x90, 0x90})),
       "IO error while reading marker: failed to fill whole buffer"},
      {error_of(xgb_file, Pack().raw({0x95, 0xdd, 0xff, 0xff, 0xff, 0xff, 0xdd, 0xff, 0xff, 0xff})),
       "IO error while reading data: failed to fill whole buffer"},
      // clang-format on
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace vesko
