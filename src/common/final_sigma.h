// The Final_Sigma condition, decided the way ICU's lower-casing decides it, so
// that text lower-cased in several ICU calls can still get every capital sigma
// right: ICU sees only the bytes of one call, while a sigma's context may lie
// beyond them.
#ifndef VESKO_COMMON_FINAL_SIGMA_H_
#define VESKO_COMMON_FINAL_SIGMA_H_

#include <cstddef>
#include <string_view>

namespace vesko {

// U+03A3 and its two lower-case forms in UTF-8; all three are two bytes long.
inline constexpr std::string_view kCapitalSigma = "\xCE\xA3";
inline constexpr std::string_view kSmallSigma = "\xCF\x83";
inline constexpr std::string_view kSmallFinalSigma = "\xCF\x82";

// Whether the capital sigma at byte `at` of `text` lower-cases to the final
// form: a cased character comes before it and none after it, skipping
// case-ignorable characters on either side. As in ICU, a character that is both
// case-ignorable and cased is skipped, and the ends of `text` or an ill-formed
// byte sequence end the search like an uncased character. Each side is read only
// up to its first character that is not case-ignorable. Thread-safe.
bool is_final_sigma(std::string_view text, std::size_t at);

}  // namespace vesko

#endif  // VESKO_COMMON_FINAL_SIGMA_H_
