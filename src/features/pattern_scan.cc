#include "features/pattern_scan.h"

#include <unicode/uchar.h>

#include <bit>
#include <cstdint>

#include "common/byte_block.h"
#include "common/char_classes.h"
#include "features/text_chunks.h"

namespace vesko {
namespace {

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_ascii_white_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Chunks are padded with a byte that no pattern matches.
constexpr unsigned char kPad = ' ';

// The end of the run of characters that are not White_Space starting at `i`.
std::size_t end_of_non_space(std::string_view text, std::size_t i) {
  const unsigned char* bytes = bytes_of(text);
  const std::size_t size = text.size();
  const CharClassTable& table = CharClassTable::instance();
  while (i < size) {
    // Links run for dozens of bytes: skip whole blocks up to the first byte
    // that is ASCII White_Space or starts a character to decode.
    for (; i + kBlockBytes <= size; i += kBlockBytes) {
      const ByteBlock b = ByteBlock::load(bytes + i);
      const std::uint32_t stops = (b.eq(' ') | b.in_range('\t', '\r') | b.non_ascii()).bits();
      if (stops != 0) {
        i += static_cast<std::size_t>(std::countr_zero(stops));
        break;
      }
    }
    if (i >= size) break;
    const unsigned char b = bytes[i];
    if (b < 0x80) {
      if (is_ascii_white_space(b)) break;
      ++i;
      continue;
    }
    std::size_t next = i;
    const char32_t c = next_code_point(bytes, size, next);
    if (table.classes(c) & kCharWhiteSpace) break;
    i = next;
  }
  return i;
}

// [A-Za-z0-9+/]: 0x20 folds capitals onto small letters, and '/' comes just
// before the digits.
LaneMask base64_alphabet(const unsigned char* block) {
  const ByteBlock b = ByteBlock::load(block);
  return b.with_bits(0x20).in_range('a', 'z') | b.in_range('/', '9') | b.eq('+');
}

LaneMask tag_open(const unsigned char* block) { return ByteBlock::load(block).eq('<'); }
LaneMask tag_close(const unsigned char* block) { return ByteBlock::load(block).eq('>'); }

// Where a URL may start: an 'h' with a 'p' three bytes on ("http"), or a 'w'
// with a '.' three bytes on ("www.").
LaneMask url_candidate(const unsigned char* block) {
  const ByteBlock first = ByteBlock::load(block);
  const ByteBlock fourth = ByteBlock::load(block + 3);
  return (first.eq('h') & fourth.eq('p')) | (first.eq('w') & fourth.eq('.'));
}

LaneMask punct_mark(const unsigned char* block) {
  const ByteBlock b = ByteBlock::load(block);
  return b.eq('!') | b.eq('?');
}

// How many '=' a base64 match takes after its run.
std::size_t base64_padding(const unsigned char* after_run) {
  if (after_run[0] != '=') return 0;
  return after_run[1] == '=' ? 2 : 1;
}

// Where a URL match that starts at `start` ends, or `start` when none does.
std::size_t url_match_end(std::string_view text, std::size_t start) {
  const std::string_view rest = text.substr(start);
  std::size_t body;
  if (rest.starts_with("http://")) {
    body = start + 7;
  } else if (rest.starts_with("https://")) {
    body = start + 8;
  } else if (rest.starts_with("www.")) {
    body = start + 4;
  } else {
    return start;
  }
  const std::size_t end = end_of_non_space(text, body);
  return end > body ? end : start;
}

}  // namespace

std::size_t count_html_tags(std::string_view text) {
  // A match starts at a '<' and runs to the first '>' after it, which must
  // not follow at once ([^>] also matches '<'). So the brackets alone decide:
  // a '<' opens a match unless one is open, a '>' closes the open one and
  // counts unless it follows the '<' at once. With no '>' left, nothing
  // further matches.
  std::size_t count = 0;
  bool open = false;
  std::size_t open_at = 0;
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t base, std::uint64_t) {
    const std::uint64_t opens = chunk_bits(at, tag_open);
    const std::uint64_t closes = chunk_bits(at, tag_close);
    for (std::uint64_t brackets = opens | closes; brackets != 0; brackets &= brackets - 1) {
      const int k = std::countr_zero(brackets);
      const std::size_t pos = base + static_cast<std::size_t>(k);
      if (!open) {
        open = (opens >> k) & 1;
        open_at = pos;
      } else if ((closes >> k) & 1) {
        count += pos > open_at + 1;
        open = false;
      }
    }
  });
  return count;
}

std::size_t base64_match_bytes(std::string_view text) {
  // The matches are the maximal runs of alphabet bytes that are 20 or more
  // long, each with up to two '=' after it: the leftmost match starts at the
  // first byte of the first such run, {20,} takes all of it, and the byte
  // after the match starts no run. Runs are followed as bits, 64 bytes at a
  // time; prose rarely has a run of 20.
  std::size_t total = 0;
  std::size_t run = 0;  // the alphabet bytes that the previous chunk ended with
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t, std::uint64_t) {
    const std::uint64_t alphabet = chunk_bits(at, base64_alphabet);
    if (alphabet == kWholeChunk) {
      run += kChunkBytes;
      return;
    }
    const int first_end = std::countr_zero(~alphabet);
    if (run + first_end >= 20) total += run + first_end + base64_padding(at + first_end);
    const int last_run = std::countl_zero(~alphabet);
    run = static_cast<std::size_t>(last_run);
    // The runs between, bounded on both sides within the chunk. Bit k of
    // `long_starts` is set when bits k to k + 19 of `inside` are.
    const std::uint64_t inside = alphabet & ~low_bits(first_end) & (kWholeChunk >> last_run);
    std::uint64_t long_starts = inside;
    for (int shift : {1, 2, 4, 8, 4}) long_starts &= long_starts >> shift;
    while (long_starts != 0) {
      // Its lowest bit is a run's first byte: an earlier one would be set too.
      const int start = std::countr_zero(long_starts);
      const int end = start + std::countr_zero(~(inside >> start));
      total += static_cast<std::size_t>(end - start) + base64_padding(at + end);
      long_starts &= ~low_bits(end);
    }
  });
  if (run >= 20) total += run;  // the text ends in a run
  return total;
}

std::size_t count_html_entities(std::string_view text) {
  const unsigned char* bytes = bytes_of(text);
  const std::size_t size = text.size();
  std::size_t count = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) break;
    std::size_t i = amp + 1;
    std::size_t body_start = i;
    if (i < size && bytes[i] == '#') {
      body_start = ++i;
      while (i < size) {
        std::size_t next = i;
        char32_t c = next_code_point(bytes, size, next);
        bool digit = c < 0x80 ? (c >= '0' && c <= '9')
                              : (c != kInvalidCodePoint &&
                                 u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER);
        if (!digit) break;
        i = next;
      }
    } else {
      while (i < size && is_ascii_letter(bytes[i])) ++i;
    }
    if (i > body_start && i < size && bytes[i] == ';') {
      ++count;
      pos = i + 1;
    } else {
      pos = amp + 1;
    }
  }
  return count;
}

std::size_t count_urls(std::string_view text) {
  // The leftmost match starts at the first "http://", "https://" or "www."
  // that is followed by at least one character that is not White_Space, and
  // runs to the next White_Space character. Only the candidates of
  // url_candidate are looked at closer.
  std::size_t count = 0;
  std::size_t resume = 0;  // where the last match ended
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t base, std::uint64_t) {
    std::uint64_t candidates = chunk_bits(at, url_candidate);
    for (; candidates != 0; candidates &= candidates - 1) {
      const std::size_t start = base + static_cast<std::size_t>(std::countr_zero(candidates));
      if (start < resume) continue;
      const std::size_t end = url_match_end(text, start);
      if (end > start) {
        ++count;
        resume = end;
      }
    }
  });
  return count;
}

std::size_t count_repeated_punct(std::string_view text) {
  // One match per maximal run of two or more '!' and '?', counted at the
  // run's second byte.
  std::size_t count = 0;
  std::uint64_t before = 0;  // the previous chunk's marks
  for_each_chunk(text, kPad, [&](const unsigned char* at, std::size_t, std::uint64_t) {
    const std::uint64_t marks = chunk_bits(at, punct_mark);
    if (marks != 0) {
      const std::uint64_t after_mark = (marks << 1) | (before >> 63);
      const std::uint64_t after_two = (marks << 2) | (before >> 62);
      count += static_cast<std::size_t>(count_bits(marks & after_mark & ~after_two));
    }
    before = marks;
  });
  return count;
}

}  // namespace vesko
