#include "ensemble/feature_scaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "fatal_message.h"

namespace vesko {
namespace {

using Vector = std::optional<std::vector<double>>;

FeatureScaler make(std::string type, Vector mean, Vector scale, Vector min = std::nullopt) {
  return {std::move(type), std::move(mean), std::move(scale), std::move(min)};
}

std::vector<double> scaled(const std::vector<double>& features, const FeatureScaler& scaler) {
  std::vector<double> out(features.size());
  apply_feature_scaler(features, scaler, out);
  return out;
}

TEST(FeatureScaler, FromTfidfModelCopiesFieldsAndDefaultsToNone) {
  TfidfModel model;
  EXPECT_EQ(FeatureScaler::from_tfidf_model(model).scaler_type, "none");
  model.scaler_type = "minmax";
  model.scaler_scale = std::vector<double>{2.0};
  model.scaler_min = std::vector<double>{1.0};
  const FeatureScaler s = FeatureScaler::from_tfidf_model(model);
  EXPECT_EQ(std::tie(s.scaler_type, s.scaler_mean, s.scaler_scale, s.scaler_min),
            std::tie(*model.scaler_type, model.scaler_mean, model.scaler_scale, model.scaler_min));
}

TEST(FeatureScaler, StandardAndMinmaxArithmetic) {
  std::vector<double> x = {1.0, 4.0, 2.0};
  EXPECT_EQ(scaled(x, make("standard", {{1.0, 2.0, 0.0, 9.0}}, {{2.0, 4.0, 1.0, 9.0}})),
            (std::vector<double>{0.0, 0.5, 2.0}));
  // Subtract first, then multiply.
  EXPECT_EQ(scaled(x, make("minmax", std::nullopt, {{0.1, 0.1, 3.0}}, {{1.0, 1.0, 0.5}})),
            (std::vector<double>{0.0, (4.0 - 1.0) * 0.1, 4.5}));
  const std::vector<double> by_zero = scaled({1.0, 2.0}, make("standard", {{1, 1}}, {{0, 0}}));
  EXPECT_TRUE(std::isnan(by_zero[0]) && std::isinf(by_zero[1]));
}

TEST(FeatureScaler, UnchangedWhenTypeOrVectorsDoNotApply) {
  std::vector<double> x = {3.0, -1.0};
  for (const FeatureScaler& s : {
           make("none", {{1.0, 1.0}}, {{2.0, 2.0}}), make("Standard", {{1.0, 1.0}}, {{2.0, 2.0}}),
           make("", {{1.0, 1.0}}, {{2.0, 2.0}}), make("standard", {{1.0, 1.0}}, std::nullopt),
           make("standard", std::nullopt, {{2.0, 2.0}}),
           make("minmax", {{1.0, 1.0}}, {{2.0, 2.0}}),  // no scaler_min
       }) {
    EXPECT_EQ(scaled(x, s), x) << s.scaler_type;
  }
  EXPECT_TRUE(scaled(std::vector<double>{}, make("standard", {{}}, {{}})).empty());
}

TEST(FeatureScaler, ShortVectorFailsAtTheFirstMissingIndex) {
  const std::vector<double> x(29, 1.0), full(29, 1.0), ten(10, 1.0), twelve(12, 1.0);
  const std::string len10 = "index out of bounds: the len is 10 but the index is 10";
  const std::string len12 = "index out of bounds: the len is 12 but the index is 12";
  const std::pair<FeatureScaler, std::string> cases[] = {
      {make("standard", ten, full), len10},
      {make("standard", full, twelve), len12},
      {make("standard", ten, ten), len10},  // both short: the mean is read first
      {make("minmax", std::nullopt, full, twelve), len12},
      {make("standard", std::vector<double>(40, 0.0), std::vector<double>(40, 1.0)), "no failure"},
  };
  for (const auto& [scaler, message] : cases) {
    EXPECT_EQ(fatal_message([&] { scaled(x, scaler); }), message) << scaler.scaler_type;
  }
}

}  // namespace
}  // namespace vesko
