#include "features/text_scan.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "common/char_classes.h"

namespace vesko {
namespace {

// No character has this value, so the first character always starts a run.
constexpr char32_t kNoCharacter = 0xFFFFFFFE;  // neither a code point nor kInvalidCodePoint

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

bool all_ascii_64(const unsigned char* bytes) {
  std::uint64_t high = 0;
  for (unsigned k = 0; k < 64; k += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, bytes + k, sizeof chunk);
    high |= chunk;
  }
  return (high & 0x8080808080808080ull) == 0;
}

// The words of a text, fed one character or one 64-byte ASCII block at a time.
// Word boundaries come every few bytes at random, so within a block they are
// found as bits of a mask rather than by a branch per byte.
class WordScan {
 public:
  void character(std::uint8_t bits, std::size_t width) {
    if (bits & kCharWhiteSpace) {
      space_bytes_ += width;
      if (in_word_) end_word();
    } else {
      if (!in_word_) start_word();
      length_ += width;
      has_lowercase_ |= (bits & kCharLowercase) != 0;
    }
  }

  // `space` and `lowercase` have bit k set when byte k of the block is
  // whitespace or a lowercase letter.
  void ascii_block(std::uint64_t space, std::uint64_t lowercase) {
    space_bytes_ += static_cast<std::size_t>(std::popcount(space));
    std::uint64_t starts = ~space & ~(~space << 1);
    if (in_word_) {
      // The word carried in runs to the first whitespace of the block, if any.
      if (space == 0) {
        length_ += 64;
        has_lowercase_ |= lowercase != 0;
        return;
      }
      const int end = std::countr_zero(space);
      length_ += static_cast<std::size_t>(end);
      has_lowercase_ |= (lowercase & low_bits(end)) != 0;
      end_word();
      starts &= ~low_bits(end);
    }
    counts_.words += static_cast<std::size_t>(std::popcount(starts));
    while (starts != 0) {
      const int start = std::countr_zero(starts);
      starts &= starts - 1;
      const std::uint64_t after = space >> start;
      if (after == 0) {  // the word goes on into the next block
        in_word_ = true;
        length_ = static_cast<std::size_t>(64 - start);
        has_lowercase_ = (lowercase >> start) != 0;
        return;
      }
      const int length = std::countr_zero(after);
      counts_.no_lowercase_2_bytes += length >= 2 && (lowercase & (low_bits(length) << start)) == 0;
    }
  }

  WordCounts finish(std::size_t total_bytes) {
    if (in_word_) end_word();
    counts_.word_bytes = total_bytes - space_bytes_;
    return counts_;
  }

 private:
  // Bits 0 to n - 1, for n in [0, 64).
  static std::uint64_t low_bits(int n) { return (std::uint64_t{1} << n) - 1; }

  void start_word() {
    in_word_ = true;
    has_lowercase_ = false;
    length_ = 0;
    ++counts_.words;
  }

  void end_word() {
    counts_.no_lowercase_2_bytes += length_ >= 2 && !has_lowercase_;
    in_word_ = false;
  }

  WordCounts counts_;
  bool in_word_ = false;
  bool has_lowercase_ = false;
  std::size_t length_ = 0;  // bytes of the current word so far
  std::size_t space_bytes_ = 0;
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
      c = next_code_point(bytes, size, i);
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
      count += (table.classes(next_code_point(bytes, size, i)) & kCharUppercase) != 0;
    }
  }
  return count;
}

WordCounts count_words(std::string_view lowered) {
  static const AsciiClasses ascii;
  const CharClassTable& table = CharClassTable::instance();
  const auto* bytes = reinterpret_cast<const unsigned char*>(lowered.data());
  const std::size_t size = lowered.size();
  WordScan scan;
  std::size_t i = 0;
  while (i < size) {
    if (size - i >= 64 && all_ascii_64(bytes + i)) {
      std::uint64_t space = 0;
      std::uint64_t lowercase = 0;
      for (unsigned k = 0; k < 64; ++k) {
        const std::uint8_t bits = ascii.bits[bytes[i + k]];
        space |= static_cast<std::uint64_t>((bits & kCharWhiteSpace) != 0) << k;
        lowercase |= static_cast<std::uint64_t>((bits & kCharLowercase) != 0) << k;
      }
      scan.ascii_block(space, lowercase);
      i += 64;
      continue;
    }
    const std::size_t start = i;
    const std::uint8_t bits =
        bytes[i] < 0x80 ? ascii.bits[bytes[i++]] : table.classes(next_code_point(bytes, size, i));
    scan.character(bits, i - start);
  }
  return scan.finish(size);
}

}  // namespace vesko
