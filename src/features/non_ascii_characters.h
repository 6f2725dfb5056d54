// The non-ASCII characters of a text, visited chunk by chunk: the block
// scanners treat ASCII bytes lane-parallel and decode only the characters
// whose bytes they found to be non-ASCII. ASCII bytes are always whole
// characters, and the bytes of a well-formed multi-byte character are all
// non-ASCII, so visiting the non-ASCII bytes that no earlier character took
// up finds exactly the characters that a walk from the start would decode.
#ifndef VESKO_FEATURES_NON_ASCII_CHARACTERS_H_
#define VESKO_FEATURES_NON_ASCII_CHARACTERS_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte_block.h"
#include "common/utf8.h"

namespace vesko {

class NonAsciiCharacters {
 public:
  explicit NonAsciiCharacters(std::string_view text)
      : bytes_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  // Calls visit(start, length, code_point) for each character that starts in
  // the 64-byte chunk at `base`, in text order. `non_ascii` marks exactly the
  // bytes of the chunk that are 0x80 or above and lie within the text; chunks
  // come in text order. A character may end in the next chunk. A byte that
  // starts no well-formed sequence is a character of its own with
  // kInvalidCodePoint, as decode_utf8 has it.
  template <class Visit>
  void in_chunk(std::size_t base, std::uint64_t non_ascii, Visit&& visit) {
    while (true) {
      // Bytes before next_ belong to characters already visited.
      if (next_ > base) {
        const std::size_t taken = next_ - base;
        non_ascii &= taken >= 64 ? 0 : ~low_bits(static_cast<int>(taken));
      }
      if (non_ascii == 0) return;
      const std::size_t start = base + static_cast<std::size_t>(std::countr_zero(non_ascii));
      char32_t code_point;
      const std::size_t length = decode_utf8(bytes_ + start, bytes_ + size_, code_point);
      visit(start, length, code_point);
      next_ = start + length;
    }
  }

 private:
  const unsigned char* bytes_;
  std::size_t size_;
  std::size_t next_ = 0;  // where the last visited character ended
};

}  // namespace vesko

#endif  // VESKO_FEATURES_NON_ASCII_CHARACTERS_H_
