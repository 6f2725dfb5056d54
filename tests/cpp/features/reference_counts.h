// The character and word counts of the hand-made features computed the plain
// way, one decoded character at a time: the reference that the block
// scanners of features/text_scan.h and features/word_scan.h are checked
// against, in tests and in the differential fuzzer.
#ifndef VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_
#define VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "common/char_classes.h"
#include "common/utf8.h"
#include "features/text_scan.h"
#include "features/word_scan.h"

namespace vesko {

// Calls visit(code_point, length) for each character of `text` in order.
template <class Visit>
void for_each_character(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const char32_t c = next_code_point(bytes, text.size(), i);
    visit(c, i - start);
  }
}

inline TextCounts reference_text_counts(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  TextCounts counts;
  char32_t previous = 0;
  std::size_t run = 0;
  for_each_character(text, [&](char32_t c, std::size_t) {
    const std::uint8_t bits = table.classes(c);
    counts.uppercase += (bits & kCharUppercase) != 0;
    counts.numeric += (bits & kCharNumeric) != 0;
    counts.zero_width += (bits & kCharZeroWidth) != 0;
    counts.punctuation += (c >= '!' && c <= '/') || (c >= ':' && c <= '@') ||
                          (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
    counts.leet += c == '@' || c == '3' || c == '4' || c == '7' || c == '1' || c == '0';
    counts.exclamation += c == '!';
    counts.question += c == '?';
    counts.dollar += c == '$';
    counts.sentence_ends += c == '.' || c == '!' || c == '?';
    if (c < 0x80) {
      ++counts.ascii;
    } else {
      ++counts.non_ascii;
    }
    run = run > 0 && c == previous ? run + 1 : 1;
    previous = c;
    counts.runs_of_three += run == 3;
  });
  return counts;
}

inline WordCounts reference_words(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  WordCounts counts;
  std::size_t length = 0;
  bool has_lowercase = false;
  auto end_word = [&] {
    if (length == 0) return;
    ++counts.words;
    counts.word_bytes += length;
    counts.no_lowercase_2_bytes += length >= 2 && !has_lowercase;
    length = 0;
    has_lowercase = false;
  };
  for_each_character(text, [&](char32_t c, std::size_t width) {
    const std::uint8_t bits = table.classes(c);
    if (bits & kCharWhiteSpace) {
      end_word();
    } else {
      length += width;
      has_lowercase |= (bits & kCharLowercase) != 0;
    }
  });
  end_word();
  return counts;
}

// "name actual != expected; " for each field that differs, for failure
// messages; empty when none does.
template <typename Counts>
std::string describe_fields(
    const Counts& actual, const Counts& expected,
    std::initializer_list<std::pair<const char*, std::size_t Counts::*>> fields) {
  std::string out;
  for (const auto& [name, field] : fields) {
    if (actual.*field == expected.*field) continue;
    out += std::string(name) + " " + std::to_string(actual.*field) + " != ";
    out += std::to_string(expected.*field) + "; ";
  }
  return out;
}

// clang-format off
inline std::string describe_difference(const TextCounts& actual, const TextCounts& expected) {
  using C = TextCounts;
  return describe_fields(actual, expected, {
      {"uppercase", &C::uppercase}, {"numeric", &C::numeric}, {"punctuation", &C::punctuation},
      {"zero_width", &C::zero_width}, {"leet", &C::leet}, {"exclamation", &C::exclamation},
      {"question", &C::question}, {"dollar", &C::dollar}, {"sentence_ends", &C::sentence_ends},
      {"runs_of_three", &C::runs_of_three}, {"ascii", &C::ascii}, {"non_ascii", &C::non_ascii}});
}

inline std::string describe_difference(const WordCounts& actual, const WordCounts& expected) {
  using C = WordCounts;
  return describe_fields(actual, expected, {{"words", &C::words}, {"word_bytes", &C::word_bytes},
                                            {"no_lowercase_2_bytes", &C::no_lowercase_2_bytes}});
}
// clang-format on

}  // namespace vesko

#endif  // VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_
