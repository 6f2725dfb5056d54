#include "features/text_scan.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "features/char_classes.h"

namespace vesko {
namespace {

// No character has this value, so the first character always starts a run.
constexpr char32_t kNoCharacter = 0xFFFFFFFF;

std::size_t sum_range(const std::array<std::size_t, 128>& histogram, char first, char last) {
  std::size_t sum = 0;
  for (int b = first; b <= last; ++b) sum += histogram[static_cast<std::size_t>(b)];
  return sum;
}

// The class bits of the ASCII characters, for the byte loops.
struct AsciiClasses {
  std::uint8_t bits[128] = {};
  AsciiClasses() {
    const CharClassTable& table = CharClassTable::instance();
    for (char32_t c = 0; c < 128; ++c) bits[c] = table.classes(c);
  }
};

}  // namespace

TextCounts count_text(std::string_view text) {
  // ASCII characters only go into a histogram; the classes are summed from it
  // at the end, which keeps the byte loop to a few instructions.
  std::array<std::size_t, 128> histogram{};
  TextCounts counts;
  const CharClassTable& table = CharClassTable::instance();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  char32_t previous = kNoCharacter;
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < size) {
    char32_t c = bytes[i];
    if (c < 0x80) {
      ++histogram[c];
      ++i;
    } else {
      c = decode_utf8(bytes, size, i);
      const std::uint8_t bits = table.classes(c);
      counts.uppercase += (bits & kCharUppercase) != 0;
      counts.numeric += (bits & kCharNumeric) != 0;
      counts.zero_width += (bits & kCharZeroWidth) != 0;
      ++counts.non_ascii;
    }
    // A run counts once, when it reaches its third character.
    if (c == previous) {
      counts.runs_of_three += ++run == 3;
    } else {
      previous = c;
      run = 1;
    }
  }

  counts.uppercase += sum_range(histogram, 'A', 'Z');
  counts.numeric += sum_range(histogram, '0', '9');
  counts.punctuation = sum_range(histogram, '!', '/') + sum_range(histogram, ':', '@') +
                       sum_range(histogram, '[', '`') + sum_range(histogram, '{', '~');
  counts.exclamation = histogram['!'];
  counts.question = histogram['?'];
  counts.dollar = histogram['$'];
  counts.sentence_ends = histogram['.'] + histogram['!'] + histogram['?'];
  counts.leet = histogram['@'] + histogram['3'] + histogram['4'] + histogram['7'] + histogram['1'] +
                histogram['0'];
  counts.ascii = sum_range(histogram, 0, 127);
  return counts;
}

std::optional<std::string_view> first_line(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const void* feed = std::memchr(text.data(), '\n', text.size());
  if (feed == nullptr) return text;
  std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - text.data());
  if (length > 0 && text[length - 1] == '\r') --length;
  return text.substr(0, length);
}

std::size_t count_uppercase(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < size) {
    if (bytes[i] < 0x80) {
      count += bytes[i] >= 'A' && bytes[i] <= 'Z';
      ++i;
    } else {
      count += (table.classes(decode_utf8(bytes, size, i)) & kCharUppercase) != 0;
    }
  }
  return count;
}

WordCounts count_words(std::string_view lowered) {
  static const AsciiClasses ascii;
  const CharClassTable& table = CharClassTable::instance();
  const auto* bytes = reinterpret_cast<const unsigned char*>(lowered.data());
  const std::size_t size = lowered.size();
  WordCounts counts;
  bool in_word = false;
  bool has_lowercase = false;
  std::size_t word_start = 0;
  auto end_word = [&](std::size_t end) {
    const std::size_t length = end - word_start;
    ++counts.words;
    counts.word_bytes += length;
    counts.no_lowercase_2_bytes += length >= 2 && !has_lowercase;
  };
  std::size_t i = 0;
  while (i < size) {
    const std::size_t start = i;
    std::uint8_t bits;
    if (bytes[i] < 0x80) {
      bits = ascii.bits[bytes[i]];
      ++i;
    } else {
      bits = table.classes(decode_utf8(bytes, size, i));
    }
    if (bits & kCharWhiteSpace) {
      if (in_word) end_word(start);
      in_word = false;
    } else {
      if (!in_word) {
        in_word = true;
        has_lowercase = false;
        word_start = start;
      }
      has_lowercase |= (bits & kCharLowercase) != 0;
    }
  }
  if (in_word) end_word(size);
  return counts;
}

}  // namespace vesko
