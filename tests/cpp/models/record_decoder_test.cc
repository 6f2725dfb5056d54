// The five model records: both forms, defaults, and the decoder's messages.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "models/model_files.h"
#include "models/msgpack_builder.h"

namespace vesko {
namespace {

using testing::Pack;

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

std::string tfidf_error(const Pack& p) {
  auto r = decode_tfidf_model(p.bytes());
  return r ? "<ok>" : r.error();
}

TEST(TfidfRecord, MapAndShortArrayDecodeTheSameWithDefaults) {
  for (const Pack& p : {tfidf_map_with(0), Pack().array(3).append(tfidf_required_values())}) {
    auto r = decode_tfidf_model(p.bytes());
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->vocabulary.size(), 2u);
    EXPECT_EQ(r->vocabulary.find("b")->second, 1u);
    EXPECT_EQ(r->idf, (std::vector<double>{1.5, 2.0}));
    EXPECT_EQ(r->max_features, 10u);
    EXPECT_FALSE(r->sublinear_tf);
    EXPECT_EQ(r->norm, "l2");
    EXPECT_FALSE(r->scaler_type || r->scaler_mean || r->scaler_scale || r->scaler_min);
  }
}

TEST(TfidfRecord, FullArrayAndIntegerKeys) {
  Pack array;
  array.array(9).append(tfidf_required_values()).boolean(true).str("l1").str("standard");
  array.floats({0.5}).nil().floats({});
  auto r = decode_tfidf_model(array.bytes());
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->sublinear_tf);
  EXPECT_EQ(r->norm, "l1");
  EXPECT_EQ(r->scaler_type, "standard");
  EXPECT_EQ(r->scaler_mean, std::vector<double>{0.5});
  EXPECT_FALSE(r->scaler_scale.has_value());  // nil optional is absent
  EXPECT_EQ(r->scaler_min, std::vector<double>{});

  // Integer keys select fields by index; 9 names none and its value is skipped.
  Pack keyed;
  keyed.map(4).uint(0).map(1).str("x").uint(3).uint(1).floats({1}).uint(2).uint(4);
  keyed.uint(9).map(1).str("deep").array(1).array(0);
  auto k = decode_tfidf_model(keyed.bytes());
  ASSERT_TRUE(k) << k.error();
  EXPECT_EQ(k->vocabulary.find("x")->second, 3u);
  EXPECT_EQ(k->max_features, 4u);
}

TEST(TfidfRecord, ValueConversions) {
  // Binary bytes and integers are accepted as floats; a later duplicate term
  // wins; an int 8 holding 5 is a count.
  Pack p;
  p.map(3).str("vocabulary").map(2).str("t").uint(1).str("t").uint(7);
  p.str("idf").bin(std::string("\x01\x02", 2)).str("max_features").i8(5);
  auto r = decode_tfidf_model(p.bytes());
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->vocabulary.size(), 1u);
  EXPECT_EQ(r->vocabulary.find("t")->second, 7u);
  EXPECT_EQ(r->idf, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(r->max_features, 5u);

  Pack ints;
  ints.map(3).str("vocabulary").map(0).str("idf").array(3).uint(1).sint(-2).f32(0.5f);
  ints.str("max_features").uint(UINT64_MAX);
  auto i = decode_tfidf_model(ints.bytes());
  ASSERT_TRUE(i) << i.error();
  EXPECT_EQ(i->idf, (std::vector<double>{1.0, -2.0, 0.5}));
  EXPECT_EQ(i->max_features, UINT64_MAX);

  // NaN passes unchanged; trailing bytes after the record are ignored.
  Pack nan = tfidf_map_with(1);
  nan.str("scaler_scale").floats({NAN}).raw({0xc1, 0xff});
  auto n = decode_tfidf_model(nan.bytes());
  ASSERT_TRUE(n) << n.error();
  EXPECT_TRUE(std::isnan((*n->scaler_scale)[0]));
}

// One field's value replaced by something else: the message that results.
TEST(TfidfRecord, FieldValueMessages) {
  const struct {
    const char* field;
    Pack value;
    const char* message;
  } cases[] = {
      // clang-format off
      {"norm", Pack().nil(), "invalid type: unit value, expected a string"},
      {"norm", Pack().uint(3), "invalid type: integer `3`, expected a string"},
      {"norm", Pack().array(1).uint(1), "invalid type: sequence, expected a string"},
      {"norm", Pack().str("\xff"),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"norm", Pack().bin("\xe2\x82"), "invalid value: byte array, expected a string"},
      {"norm", Pack().raw({0xc1}), "wrong msgpack marker Reserved"},
      {"scaler_type", Pack().raw({0xd4, 0x01, 0x00}),
       "invalid type: newtype struct, expected a string"},
      {"sublinear_tf", Pack().nil(), "invalid type: unit value, expected a boolean"},
      {"sublinear_tf", Pack().uint(1), "invalid type: integer `1`, expected a boolean"},
      {"sublinear_tf", Pack().str("yes"), "wrong msgpack marker FixStr(3)"},
      {"max_features", Pack().sint(-1), "invalid value: integer `-1`, expected usize"},
      {"max_features", Pack().f64(2.5), "invalid type: floating point `2.5`, expected usize"},
      {"max_features", Pack().f64(3.0), "invalid type: floating point `3.0`, expected usize"},
      {"max_features", Pack().boolean(true), "invalid type: boolean `true`, expected usize"},
      {"max_features", Pack().str("a"), "wrong msgpack marker FixStr(1)"},
      {"max_features", Pack().array(0), "wrong msgpack marker FixArray(0)"},
      {"max_features", Pack().raw({0xcd, 0x01}),
       "IO error while reading data: failed to fill whole buffer"},
      {"idf", Pack().nil(), "invalid type: unit value, expected a sequence"},
      {"idf", Pack().str("x\ty"), "invalid type: string \"x\\ty\", expected a sequence"},
      {"idf", Pack().map(0), "invalid type: map, expected a sequence"},
      {"idf", Pack().array(2).f64(1).nil(), "invalid type: unit value, expected f64"},
      {"idf", Pack().array(1).str("1"), "wrong msgpack marker FixStr(1)"},
      {"idf", Pack().array(1).map(0), "wrong msgpack marker FixMap(0)"},
      {"idf", Pack().array(1).raw({0xc7, 0x00, 0x01}), "wrong msgpack marker Ext8"},
      {"scaler_mean", Pack().boolean(false), "invalid type: boolean `false`, expected a sequence"},
      {"vocabulary", Pack().array(0), "invalid type: sequence, expected a map"},
      {"vocabulary", Pack().bin("ab"), "invalid type: byte array, expected a map"},
      {"vocabulary", Pack().map(1).uint(1).uint(1), "invalid type: integer `1`, expected a string"},
      {"vocabulary", Pack().map(1).str("t").sint(-3),
       "invalid value: integer `-3`, expected usize"},
      {"vocabulary", Pack().map(1).str("t"),
       "IO error while reading marker: failed to fill whole buffer"},
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
    p.str(c.field).append(c.value);
    EXPECT_EQ(tfidf_error(p), c.message) << c.field;
  }
}

TEST(TfidfRecord, KeyAndShapeMessages) {
  const Pack five_fields = Pack().append(tfidf_required_values()).boolean(false).str("l2");
  const struct {
    Pack bytes;
    const char* message;
  } cases[] = {
      // clang-format off
      {Pack(), "IO error while reading marker: failed to fill whole buffer"},
      {Pack().nil(), "invalid type: unit value, expected struct TfidfModel"},
      {Pack().f64(-0.5), "invalid type: floating point `-0.5`, expected struct TfidfModel"},
      {Pack().str("hi"), "invalid type: string \"hi\", expected struct TfidfModel"},
      {Pack().str("\xc3"),
       "string found to be invalid utf8: incomplete utf-8 byte sequence from index 0"},
      {Pack().bin(""), "invalid length 0, expected struct TfidfModel with 9 elements"},
      {Pack().bin("\x07"), "invalid type: integer `7`, expected a map"},
      {Pack().raw({0xd5, 0x00, 0x00, 0x00}),
       "invalid type: newtype struct, expected struct TfidfModel"},
      {Pack().raw({0xc1}), "wrong msgpack marker Reserved"},
      {Pack().array(2).map(0).array(0),
       "invalid length 2, expected struct TfidfModel with 9 elements"},
      {Pack().array(0), "invalid length 0, expected struct TfidfModel with 9 elements"},
      {Pack().array(10).append(five_fields).nil().nil().nil().nil().raw({0xc1}),
       "array had incorrect length, expected 9"},
      // Element 9 is never read, but a malformed earlier element is reported.
      {Pack().array(10).append(tfidf_required_values()).uint(1),
       "invalid type: integer `1`, expected a boolean"},
      {Pack().map(1).i8(1).uint(0), "invalid type: integer `1`, expected field identifier"},
      {Pack().map(1).sint(-1).uint(0), "invalid type: integer `-1`, expected field identifier"},
      {Pack().map(1).nil().uint(0), "invalid type: unit value, expected field identifier"},
      {Pack().map(1).f32(1.5f).uint(0),
       "invalid type: floating point `1.5`, expected field identifier"},
      {Pack().map(1).array(1), "invalid type: sequence, expected field identifier"},
      {Pack().map(1).map(1), "invalid type: map, expected field identifier"},
      {Pack().map(1).raw({0xd4}), "invalid type: newtype struct, expected field identifier"},
      {Pack().map(1).raw({0xc1}), "wrong msgpack marker Reserved"},
      {Pack().map(3).str("Vocabulary").map(0).str("idf").array(0).str("max_features").uint(1),
       "missing field `vocabulary`"},
      {Pack().map(2).str("idf").array(0).uint(1).raw({0xc1}), "duplicate field `idf`"},
      {Pack().map(2).bin("idf").array(0).str("idf").array(0), "duplicate field `idf`"},
      {Pack().map(1).str("unknown").array(3).uint(1),
       "IO error while reading marker: failed to fill whole buffer"},
      {Pack().map(1).str("unknown").raw({0xc1}), "wrong msgpack marker Reserved"},
      {Pack().map(2).uint(3).boolean(true).uint(3).boolean(true), "duplicate field `sublinear_tf`"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(tfidf_error(c.bytes), c.message);
}

TEST(RecordSizes, HugeDeclaredCountsFailAtTheEndOfTheInput) {
  // Ten bytes that claim 4,294,967,295 elements must not reserve gigabytes.
  const std::vector<std::uint8_t> rows = {0x91, 0xdd, 0xff, 0xff, 0xff,
                                          0xff, 0x90, 0x90, 0x90, 0x90};
  EXPECT_EQ(decode_linear_svm_model(rows).error(),
            "IO error while reading marker: failed to fill whole buffer");
  const std::vector<std::uint8_t> terms = {0x91, 0xdf, 0xff, 0xff, 0xff,
                                           0xff, 0xa1, 'a',  0x01, 0xa1};
  EXPECT_EQ(decode_tfidf_model(terms).error(),
            "IO error while reading data: unexpected end of file");
  const std::vector<std::uint8_t> trees = {0x95, 0xdd, 0xff, 0xff, 0xff,
                                           0xff, 0xdd, 0xff, 0xff, 0xff};
  EXPECT_EQ(decode_xgboost_model(trees).error(),
            "IO error while reading data: failed to fill whole buffer");
}

TEST(RecordNesting, TheRecordCountsAsTheFirstOfAtMost1023Levels) {
  // The record map, then an unknown key whose value nests arrays.
  for (int levels : {1023, 1024}) {
    Pack p = tfidf_map_with(1);
    p.str("skip");
    for (int i = 1; i < levels - 1; ++i) p.array(1);
    p.array(0);
    EXPECT_EQ(tfidf_error(p), levels == 1023 ? "<ok>" : "depth limit exceeded");
  }
}

TEST(OtherRecords, ArrayLengthRules) {
  auto lr_error = [](int n) {
    Pack p;
    p.array(static_cast<std::uint32_t>(n)).array(1).floats({0.5, -0.5}).floats({0.1});
    p.strs({"clean", "spam"});
    for (int i = 3; i < n; ++i) p.floats({1.0});
    auto r = decode_logistic_regression_model(p.bytes());
    if (n == 4 && r) {
      EXPECT_EQ(r->coef, (std::vector<std::vector<double>>{{0.5, -0.5}}));
      EXPECT_EQ(r->classes, (std::vector<std::string>{"clean", "spam"}));
      EXPECT_TRUE(r->scaler_mean.has_value());
      EXPECT_FALSE(r->scaler_scale.has_value());
    }
    return r ? std::string("<ok>") : r.error();
  };
  EXPECT_EQ(lr_error(3), "<ok>");
  EXPECT_EQ(lr_error(4), "<ok>");
  EXPECT_EQ(lr_error(5), "<ok>");
  EXPECT_EQ(lr_error(6), "array had incorrect length, expected 5");

  const Pack two = Pack().array(2).array(0).array(0);
  EXPECT_EQ(decode_naive_bayes_model(two.bytes()).error(),
            "invalid length 2, expected struct NaiveBayesModel with 3 elements");
  EXPECT_EQ(decode_linear_svm_model(two.bytes()).error(),
            "invalid length 2, expected struct LinearSVMModel with 3 elements");
  EXPECT_EQ(
      decode_xgboost_model(Pack().array(4).array(0).uint(1).f64(0.1).f64(0.5).bytes()).error(),
      "invalid length 4, expected struct XGBoostModel with 5 elements");
  EXPECT_EQ(decode_xgboost_model(Pack().nil().bytes()).error(),
            "invalid type: unit value, expected struct XGBoostModel");
  EXPECT_EQ(decode_naive_bayes_model(Pack().bin("\x01").bytes()).error(),
            "invalid type: integer `1`, expected a sequence");
}

TEST(OtherRecords, MapFormsAndMissingFields) {
  Pack nb;
  nb.map(3).str("classes").strs({"a", "b"}).str("class_log_prior").floats({-0.7, -0.7});
  nb.str("feature_log_prob").array(2).floats({-1}).floats({-2});
  auto r = decode_naive_bayes_model(nb.bytes());
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->feature_log_prob[1], std::vector<double>{-2});

  EXPECT_EQ(decode_linear_svm_model(
                Pack().map(2).str("coef").array(0).str("intercept").floats({}).bytes())
                .error(),
            "missing field `classes`");
  EXPECT_EQ(decode_linear_svm_model(Pack().map(1).str("classes").bin("ab").bytes()).error(),
            "invalid type: integer `97`, expected a string");

  Pack xgb;
  xgb.map(5).str("trees").array(1).map(1).str("nodeid").uint(0);
  xgb.str("n_estimators").uint(1).str("learning_rate").f64(0.3).str("base_score").f64(0.5);
  xgb.str("classes").strs({"clean", "spam"});
  auto x = decode_xgboost_model(xgb.bytes());
  ASSERT_TRUE(x) << x.error();
  EXPECT_EQ(x->trees.size(), 1u);
  EXPECT_EQ(x->base_score, 0.5);
}

}  // namespace
}  // namespace vesko
