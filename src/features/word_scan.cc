#include "features/word_scan.h"

#include "common/byte_block.h"
#include "common/char_classes.h"
#include "features/non_ascii_characters.h"
#include "features/text_chunks.h"

namespace vesko {

void WordBits::chunk(std::uint64_t word, std::uint64_t no_lowercase) {
  const std::uint64_t starts = word & ~((word << 1) | word_before_);
  counts_.words += static_cast<std::size_t>(count_bits(starts));
  counts_.word_bytes += static_cast<std::size_t>(count_bits(word));
  // Adding a word's start bit to its bytes without lowercase carries through
  // them; the carry leaves the word, setting the bit just after it, only when
  // that is all of its bytes. The sum runs on across chunks, as one number.
  std::uint64_t sum;
  const bool carry_1 = __builtin_add_overflow(no_lowercase, starts, &sum);
  const bool carry_2 = __builtin_add_overflow(sum, carry_, &sum);
  const std::uint64_t ends = sum & ~word;
  // A word of one byte ends right after its start.
  const std::uint64_t after_one_byte = (starts << 1) | start_before_;
  counts_.no_lowercase_2_bytes += static_cast<std::size_t>(count_bits(ends & ~after_one_byte));
  word_before_ = word >> 63;
  start_before_ = starts >> 63;
  carry_ = carry_1 || carry_2;
}

WordCounts WordBits::finish() {
  chunk(0, 0);  // the end of the text ends a word as whitespace does
  return counts_;
}

WordCounts count_words(std::string_view lowered) {
  const CharClassTable& table = CharClassTable::instance();
  NonAsciiCharacters characters(lowered);
  WordBits words;
  // Bits of non-ASCII characters that began in the previous chunk.
  std::uint64_t space_carried = 0;
  std::uint64_t lowercase_carried = 0;
  // Padding with a space ends a word at the end of the text.
  for_each_chunk(lowered, ' ', [&](const unsigned char* at, std::size_t base, std::uint64_t) {
    std::uint64_t space = space_carried;
    std::uint64_t lowercase = lowercase_carried;
    std::uint64_t non_ascii = 0;
    for (std::size_t k = 0; k < kChunkBytes; k += kBlockBytes) {
      const ByteBlock b = ByteBlock::load(at + k);
      space |= std::uint64_t{(b.eq(' ') | b.in_range('\t', '\r')).bits()} << k;
      lowercase |= std::uint64_t{b.in_range('a', 'z').bits()} << k;
      non_ascii |= std::uint64_t{b.non_ascii_bits()} << k;
    }
    space_carried = 0;
    lowercase_carried = 0;
    // Non-ASCII bytes match no ASCII class; mark the bytes of the characters
    // that are White_Space or lowercase, some of which may lie in the next chunk.
    characters.in_chunk(base, non_ascii, [&](std::size_t start, std::size_t length, char32_t c) {
      const std::uint8_t bits = table.classes(c);
      if ((bits & (kCharWhiteSpace | kCharLowercase)) == 0) return;
      const int offset = static_cast<int>(start - base);
      const std::uint64_t here = low_bits(static_cast<int>(length)) << offset;
      const bool runs_on = static_cast<std::size_t>(offset) + length > kChunkBytes;
      const std::uint64_t next = runs_on ? low_bits(static_cast<int>(length)) >> (64 - offset) : 0;
      if (bits & kCharWhiteSpace) {
        space |= here;
        space_carried |= next;
      } else {
        lowercase |= here;
        lowercase_carried |= next;
      }
    });
    const std::uint64_t word = ~space;
    words.chunk(word, word & ~lowercase);
  });
  return words.finish();
}

}  // namespace vesko
