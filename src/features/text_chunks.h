// Walking a text 64 bytes at a time, for the scanners that classify bytes
// lane-parallel (common/byte_block.h) and then follow the bits of a chunk.
// Each chunk may be read a margin before and after it, so that a scanner can
// compare a byte with the ones before it or peek past a run without a bounds
// check: the first chunk and the last ones are copied into a padded buffer
// for that, all others are read in place.
#ifndef VESKO_FEATURES_TEXT_CHUNKS_H_
#define VESKO_FEATURES_TEXT_CHUNKS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/byte_block.h"

namespace vesko {

inline constexpr std::size_t kChunkBytes = 64;
inline constexpr std::size_t kChunkMargin = 16;
inline constexpr std::uint64_t kWholeChunk = ~std::uint64_t{0};

// Calls visit(at, base, valid) for base = 0, 64, 128, ... below text.size(),
// in that order. at[0] is byte `base` of the text; at[-kChunkMargin] to
// at[kChunkBytes + kChunkMargin - 1] may be read, and the bytes there that lie
// outside the text read as `pad`. Bit k of `valid` is set when base + k <
// text.size().
template <class Visit>
void for_each_chunk(std::string_view text, unsigned char pad, Visit&& visit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  auto padded = [&](std::size_t base) {
    unsigned char buffer[kChunkMargin + kChunkBytes + kChunkMargin];
    std::memset(buffer, pad, sizeof buffer);
    const std::size_t from = base < kChunkMargin ? 0 : base - kChunkMargin;
    const std::size_t to = std::min(size, base + kChunkBytes + kChunkMargin);
    std::memcpy(buffer + kChunkMargin - (base - from), bytes + from, to - from);
    const std::size_t left = size - base;
    const unsigned char* at = buffer + kChunkMargin;
    visit(at, base, left >= kChunkBytes ? kWholeChunk : low_bits(static_cast<int>(left)));
  };
  if (size == 0) return;
  padded(0);
  std::size_t base = kChunkBytes;
  for (; base + kChunkBytes + kChunkMargin <= size; base += kChunkBytes) {
    visit(bytes + base, base, kWholeChunk);
  }
  for (; base < size; base += kChunkBytes) padded(base);
}

// The bits of a chunk's 64 bytes for which `test` holds. `test` takes the
// address of a 16-byte block within the chunk (which may read the margins)
// and returns a LaneMask.
template <class Test>
std::uint64_t chunk_bits(const unsigned char* at, Test&& test) {
  std::uint64_t bits = 0;
  for (std::size_t k = 0; k < kChunkBytes; k += kBlockBytes) {
    bits |= std::uint64_t{test(at + k).bits()} << k;
  }
  return bits;
}

}  // namespace vesko

#endif  // VESKO_FEATURES_TEXT_CHUNKS_H_
