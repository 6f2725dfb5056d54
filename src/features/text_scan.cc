#include "features/text_scan.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "common/byte_block.h"
#include "common/char_classes.h"
#include "features/non_ascii_characters.h"
#include "features/text_chunks.h"

namespace vesko {
namespace {

// Pads chunks with a byte that is in no ASCII class and equals no ASCII byte,
// so that it neither counts nor joins a run.
constexpr unsigned char kPad = 0x80;

// Each lane counter takes one mask per block, four per chunk.
constexpr int kChunksBeforeFlush =
    LaneCounter::kAddsBeforeFlush / static_cast<int>(kChunkBytes / kBlockBytes);

// The ASCII part of TextCounts, 16 bytes at a time. ASCII bytes are whole
// characters and no class reaches above 0x7F, so every byte can be tested
// without decoding: the bytes of non-ASCII characters simply match nothing.
class AsciiTally {
 public:
  // Counts the 16 bytes at `at`, which has 3 readable bytes before it, and
  // returns the bits of its non-ASCII bytes.
  std::uint32_t block(const unsigned char* at) {
    const ByteBlock b = ByteBlock::load(at);
    uppercase_.add(b.in_range('A', 'Z'));
    digit_.add(b.in_range('0', '9'));
    graphic_.add(b.in_range('!', '~'));
    letter_.add(b.with_bits(0x20).in_range('a', 'z'));
    // A run of one ASCII character counts at its third byte: the two bytes
    // before it are the same and the one before those is not.
    const LaneMask same_1 = b.eq(ByteBlock::load(at - 1));
    const LaneMask same_2 = b.eq(ByteBlock::load(at - 2));
    const LaneMask same_3 = b.eq(ByteBlock::load(at - 3));
    runs_.add((same_1 & same_2).and_not(same_3).and_not(b.non_ascii()));
    return b.non_ascii_bits();
  }

  // The single characters, in a second pass over the same bytes: one pass
  // for all would need more registers than SSE2 has.
  void marks(const unsigned char* at) {
    const ByteBlock b = ByteBlock::load(at);
    exclamation_.add(b.eq('!'));
    question_.add(b.eq('?'));
    dollar_.add(b.eq('$'));
    dot_.add(b.eq('.'));
    leet_.add(b.eq('@') | b.eq('0') | b.eq('1') | b.eq('3') | b.eq('4') | b.eq('7'));
  }

  void flush() {
    uppercase_.flush();
    digit_.flush();
    graphic_.flush();
    letter_.flush();
    exclamation_.flush();
    question_.flush();
    dollar_.flush();
    dot_.flush();
    leet_.flush();
    runs_.flush();
  }

  // Fills the ASCII part of `counts`; call flush() first.
  void add_to(TextCounts& counts) const {
    const std::size_t digits = digit_.total();
    const std::size_t letters = letter_.total();
    counts.uppercase += uppercase_.total();
    counts.numeric += digits;
    counts.punctuation = graphic_.total() - letters - digits;
    counts.exclamation = exclamation_.total();
    counts.question = question_.total();
    counts.dollar = dollar_.total();
    counts.sentence_ends = dot_.total() + counts.exclamation + counts.question;
    counts.leet = leet_.total();
    counts.runs_of_three += runs_.total();
  }

 private:
  LaneCounter uppercase_, digit_, letter_, exclamation_, question_, dollar_, dot_, leet_, runs_;
  LaneCounter graphic_;  // '!' to '~': letters, digits and punctuation
};

// Runs of one non-ASCII character, fed the non-ASCII characters in text
// order: a character continues the run when it equals the one before and
// starts where that one ended.
class NonAsciiRuns {
 public:
  // Whether this character is the third of its run.
  bool third(std::size_t start, std::size_t length, char32_t c) {
    length_ = start == end_ && c == char_ ? length_ + 1 : 1;
    char_ = c;
    end_ = start + length;
    return length_ == 3;
  }

 private:
  char32_t char_ = 0;
  std::size_t end_ = std::numeric_limits<std::size_t>::max();
  std::size_t length_ = 0;
};

}  // namespace

TextCounts count_text(std::string_view text) {
  const CharClassTable& table = CharClassTable::instance();
  TextCounts counts;
  AsciiTally ascii;
  NonAsciiCharacters characters(text);
  NonAsciiRuns runs;
  std::size_t non_ascii_bytes = 0;
  int chunks = 0;
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t base, std::uint64_t valid) {
    std::uint64_t non_ascii = 0;
    for (std::size_t k = 0; k < kChunkBytes; k += kBlockBytes) {
      non_ascii |= std::uint64_t{ascii.block(at + k)} << k;
    }
    for (std::size_t k = 0; k < kChunkBytes; k += kBlockBytes) ascii.marks(at + k);
    if (++chunks == kChunksBeforeFlush) {
      ascii.flush();
      chunks = 0;
    }
    if ((non_ascii &= valid) == 0) return;
    characters.in_chunk(base, non_ascii, [&](std::size_t start, std::size_t length, char32_t c) {
      const std::uint8_t bits = table.classes(c);
      counts.uppercase += (bits & kCharUppercase) != 0;
      counts.numeric += (bits & kCharNumeric) != 0;
      counts.zero_width += (bits & kCharZeroWidth) != 0;
      counts.runs_of_three += runs.third(start, length, c);
      ++counts.non_ascii;
      non_ascii_bytes += length;
    });
  });
  ascii.flush();
  ascii.add_to(counts);
  counts.ascii = text.size() - non_ascii_bytes;
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
  NonAsciiCharacters characters(text);
  LaneCounter ascii_uppercase;
  std::size_t count = 0;
  int chunks = 0;
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t base, std::uint64_t valid) {
    std::uint64_t non_ascii = 0;
    for (std::size_t k = 0; k < kChunkBytes; k += kBlockBytes) {
      const ByteBlock b = ByteBlock::load(at + k);
      ascii_uppercase.add(b.in_range('A', 'Z'));
      non_ascii |= std::uint64_t{b.non_ascii_bits()} << k;
    }
    if (++chunks == kChunksBeforeFlush) {
      ascii_uppercase.flush();
      chunks = 0;
    }
    characters.in_chunk(base, non_ascii & valid, [&](std::size_t, std::size_t, char32_t c) {
      count += (table.classes(c) & kCharUppercase) != 0;
    });
  });
  ascii_uppercase.flush();
  return count + ascii_uppercase.total();
}

}  // namespace vesko
