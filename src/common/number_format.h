// Number text for diagnostic lines and error messages. The forms are fixed by
// what operators and log parsers already read from this system:
//   format_plain    "{}"    shortest digits that read back as the same double,
//                           positional, no exponent (1.0 -> "1", 1e300 -> "1" and
//                           300 zeros, -0.0 -> "-0"); "NaN", "inf", "-inf".
//   format_fixed6   "{:.6}" six digits after the point, rounded from the exact
//                           binary value, ties to even.
//   format_debug    "{:?}"  shortest digits with at least one digit after the
//                           point (0.0, 0.125); exponent form ("1e-5", "2.5e-7",
//                           "1e16") when the magnitude is non-zero and below 1e-4
//                           or at least 1e16.
#ifndef VESKO_COMMON_NUMBER_FORMAT_H_
#define VESKO_COMMON_NUMBER_FORMAT_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace vesko {

std::string format_plain(double value);
std::string format_fixed6(double value);
std::string format_debug(double value);

// "[" values in format_debug form, separated by ", " "]".
std::string format_debug_list(std::span<const double> values);

// "Some(3)" or "None".
std::string format_optional_id(const std::optional<std::size_t>& id);

// format_plain with ".0" appended when the result has no point (finite values
// only): the form error messages use after "floating point `".
std::string format_with_decimal_point(double value);

}  // namespace vesko

#endif  // VESKO_COMMON_NUMBER_FORMAT_H_
