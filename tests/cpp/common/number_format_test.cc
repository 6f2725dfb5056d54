#include "common/number_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vesko {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatPlain, ShortestDigitsWithoutExponent) {
  const std::pair<double, std::string> cases[] = {
      // clang-format off
      {1.0, "1"}, {0.5, "0.5"}, {-0.0, "-0"}, {0.0, "0"}, {-2.25, "-2.25"},
      {0.1 + 0.2, "0.30000000000000004"}, {1e300, "1" + std::string(300, '0')},
      {1e-300, "0." + std::string(299, '0') + "1"}, {1e-7, "0.0000001"},
      {123456.789, "123456.789"}, {1.5e16, "15" + std::string(15, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"}, {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
      // clang-format on
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_plain(value), text) << text;
}

TEST(FormatFixed6, RoundsTheExactBinaryValue) {
  const std::pair<double, std::string> cases[] = {
      // clang-format off
      {0.0, "0.000000"}, {-0.0, "-0.000000"}, {0.5, "0.500000"},
      // These read as ties in decimal but are not ties in binary: the stored
      // value decides, so 5e-7 rounds down and 2.5e-6 rounds up.
      {0.0000005, "0.000000"}, {2.5e-7, "0.000000"}, {1.5e-6, "0.000002"}, {2.5e-6, "0.000003"},
      {0.1234565, "0.123456"}, {1.0000005, "1.000001"}, {-3.0, "-3.000000"},
      {1e300,
       "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371"
       "3750804478640437044438328838781769425232353604305756447921847867069828483872009265758037"
       "3783023379478809005936895323497079994508111903896764088007465274278014249457925878882005"
       "6842838115669472196386865459400540160.000000"},
      {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
      // clang-format on
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_fixed6(value), text) << text;
}

TEST(FormatDebug, PointAlwaysExponentOutsideTheMiddleRange) {
  const std::pair<double, std::string> cases[] = {
      // clang-format off
      {0.0, "0.0"}, {-0.0, "-0.0"}, {3.0, "3.0"}, {0.125, "0.125"}, {-1.5, "-1.5"},
      {0.0001, "0.0001"}, {0.00009, "9e-5"}, {1e-5, "1e-5"}, {2.5e-7, "2.5e-7"},
      {-2.5e-7, "-2.5e-7"}, {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"}, {1e16, "1e16"}, {1.5e16, "1.5e16"},
      {1e300, "1e300"}, {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
      // clang-format on
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_debug(value), text) << text;
}

TEST(FormatDebugList, ListsAndOptionalIds) {
  EXPECT_EQ(format_debug_list({}), "[]");
  EXPECT_EQ(format_debug_list(std::vector<double>{1.0}), "[1.0]");
  EXPECT_EQ(format_debug_list(std::vector<double>{0.0, -0.5, 1e-5, kNaN}),
            "[0.0, -0.5, 1e-5, NaN]");
  EXPECT_EQ(format_optional_id(std::nullopt), "None");
  EXPECT_EQ(format_optional_id(std::numeric_limits<std::size_t>::max()),
            "Some(18446744073709551615)");
}

TEST(FormatWithDecimalPoint, AddsPointOnlyToFiniteWholeNumbers) {
  const std::pair<double, std::string> cases[] = {
      // clang-format off
      {2.0, "2.0"}, {2.5, "2.5"}, {-0.0, "-0.0"}, {1e300, "1" + std::string(300, '0') + ".0"},
      {1e-7, "0.0000001"}, {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
      // clang-format on
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_with_decimal_point(value), text) << text;
}

}  // namespace
}  // namespace vesko
