// The character and word counts of the hand-made features computed the plain
// way, one decoded character at a time: the reference that the block
// scanners of features/text_scan.h and features/word_scan.h are checked
// against, in tests and in the differential fuzzer.
#ifndef VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_
#define VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

inline std::size_t reference_uppercase(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  std::size_t count = 0;
  for_each_character(
      text, [&](char32_t c, std::size_t) { count += (table.classes(c) & kCharUppercase) != 0; });
  return count;
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

// For failure messages: "name actual != expected; " when the two differ.
inline void note_difference(std::string& out, const char* name, std::size_t actual,
                            std::size_t expected) {
  if (actual == expected) return;
  out += std::string(name) + " " + std::to_string(actual) + " != ";
  out += std::to_string(expected) + "; ";
}

// The fields that differ, for failure messages; empty when none does.
inline std::string describe_difference(const TextCounts& actual, const TextCounts& expected) {
  std::string out;
  auto field = [&](const char* name, std::size_t a, std::size_t e) {
    note_difference(out, name, a, e);
  };
  field("uppercase", actual.uppercase, expected.uppercase);
  field("numeric", actual.numeric, expected.numeric);
  field("punctuation", actual.punctuation, expected.punctuation);
  field("zero_width", actual.zero_width, expected.zero_width);
  field("leet", actual.leet, expected.leet);
  field("exclamation", actual.exclamation, expected.exclamation);
  field("question", actual.question, expected.question);
  field("dollar", actual.dollar, expected.dollar);
  field("sentence_ends", actual.sentence_ends, expected.sentence_ends);
  field("runs_of_three", actual.runs_of_three, expected.runs_of_three);
  field("ascii", actual.ascii, expected.ascii);
  field("non_ascii", actual.non_ascii, expected.non_ascii);
  return out;
}

inline std::string describe_difference(const WordCounts& actual, const WordCounts& expected) {
  std::string out;
  auto field = [&](const char* name, std::size_t a, std::size_t e) {
    note_difference(out, name, a, e);
  };
  field("words", actual.words, expected.words);
  field("word_bytes", actual.word_bytes, expected.word_bytes);
  field("no_lowercase_2_bytes", actual.no_lowercase_2_bytes, expected.no_lowercase_2_bytes);
  return out;
}

}  // namespace vesko

#endif  // VESKO_TESTS_FEATURES_REFERENCE_COUNTS_H_
