#include "common/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace vesko {
namespace {

// The shortest round-trip digits of |value| (finite, non-zero) and the decimal
// exponent of the first digit: value = 0.d1d2d3... * 10^(exponent + 1).
struct ShortestDigits {
  std::string digits;
  int exponent;
};

ShortestDigits shortest_digits(double magnitude) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::size_t e = text.find('e');
  ShortestDigits out;
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  out.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
  return out;
}

bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// Positional form of the shortest digits, with at least `min_fraction` digits
// after the point (0 means no point when there is no fraction).
std::string positional(double value, int min_fraction) {
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    out.push_back('0');
    if (min_fraction > 0) out += ".0";
    return out;
  }
  ShortestDigits sd = shortest_digits(magnitude);
  const int count = static_cast<int>(sd.digits.size());
  const int integer_digits = sd.exponent + 1;
  if (integer_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integer_digits), '0');
    out += sd.digits;
  } else if (integer_digits >= count) {
    out += sd.digits;
    out.append(static_cast<std::size_t>(integer_digits - count), '0');
    if (min_fraction > 0) out += ".0";
  } else {
    out.append(sd.digits, 0, static_cast<std::size_t>(integer_digits));
    out.push_back('.');
    out.append(sd.digits, static_cast<std::size_t>(integer_digits), std::string::npos);
  }
  return out;
}

}  // namespace

std::string format_plain(double value) {
  std::string out;
  if (append_special(out, value)) return out;
  return positional(value, 0);
}

std::string format_fixed6(double value) {
  std::string out;
  if (append_special(out, value)) return out;
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  return std::string(buffer, result.ptr);
}

std::string format_debug(double value) {
  std::string out;
  if (append_special(out, value)) return out;
  double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) return positional(value, 1);
  if (std::signbit(value)) out.push_back('-');
  ShortestDigits sd = shortest_digits(magnitude);
  out.push_back(sd.digits[0]);
  if (sd.digits.size() > 1) {
    out.push_back('.');
    out.append(sd.digits, 1, std::string::npos);
  }
  out.push_back('e');
  out += std::to_string(sd.exponent);
  return out;
}

std::string format_debug_list(std::span<const double> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += format_debug(values[i]);
  }
  out.push_back(']');
  return out;
}

std::string format_optional_id(const std::optional<std::size_t>& id) {
  if (!id) return "None";
  return "Some(" + std::to_string(*id) + ")";
}

std::string format_with_decimal_point(double value) {
  std::string out = format_plain(value);
  if (std::isfinite(value) && out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace vesko
