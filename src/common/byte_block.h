// Sixteen bytes of text compared at once: the lane-parallel core of the
// feature scanners, the tokenizer and lower-casing. A comparison gives a
// LaneMask (each byte all ones or all zeros), which is either counted in place
// (LaneCounter), turned into one bit per byte (bits()) for scanners that look
// for rare bytes or follow runs across bytes, or used to change bytes that are
// then stored. The lanes are GCC and Clang generic vectors, which every target
// compiles to its own SIMD instructions (SSE2, the x86-64 baseline; NEON on
// ARM) or to plain loops where it has none. This file holds the only
// instruction-set choices of byte-level scanning: gathering one bit per lane,
// which has no generic form (SSE2 has an instruction for it, elsewhere a
// multiplication does it), and counting bits (inline arithmetic on baseline
// x86-64, std::popcount elsewhere). Defining VESKO_PORTABLE (the CMake option
// of that name) takes the paths of other processors on x86-64 too, so that
// they are built and tested here.
#ifndef VESKO_COMMON_BYTE_BLOCK_H_
#define VESKO_COMMON_BYTE_BLOCK_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(VESKO_PORTABLE)
#define VESKO_BYTE_BLOCK_SSE2 1
#include <emmintrin.h>
#endif

namespace vesko {

inline constexpr std::size_t kBlockBytes = 16;

typedef std::uint8_t BlockBytes __attribute__((vector_size(kBlockBytes)));
typedef std::int8_t BlockLanes __attribute__((vector_size(kBlockBytes)));  // -1 true, 0 false

// The number of set bits. The x86-64 baseline has no POPCNT instruction, and
// std::popcount then becomes a library call per word; this stays inline.
// VESKO_PORTABLE takes std::popcount, as every other target does.
inline int count_bits(std::uint64_t x) {
#if defined(__x86_64__) && !defined(__POPCNT__) && !defined(VESKO_PORTABLE)
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
#else
  return std::popcount(x);
#endif
}

// Bits 0 to n - 1, for n in [0, 64).
inline std::uint64_t low_bits(int n) { return (std::uint64_t{1} << n) - 1; }

// Bit k set when lane k is true, without SIMD help: lane k of each eight
// keeps bit k alone, and a product sums the eight lanes into its top byte,
// where distinct bits never carry. Only where lane k lands in the word read
// depends on the byte order, so only the mask does.
inline std::uint32_t gather_lane_bits(BlockLanes lanes) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  constexpr std::uint64_t kLaneBit =
      std::endian::native == std::endian::little ? 0x8040201008040201ull : 0x0102040810204080ull;
  std::uint8_t bytes[kBlockBytes];
  std::memcpy(bytes, &lanes, sizeof bytes);
  std::uint32_t bits = 0;
  for (std::size_t half = 0; half < kBlockBytes; half += 8) {
    std::uint64_t eight;
    std::memcpy(&eight, bytes + half, sizeof eight);
    const std::uint64_t gathered = (eight & kLaneBit) * 0x0101010101010101ull;
    bits |= static_cast<std::uint32_t>(gathered >> 56) << half;
  }
  return bits;
}

// Per byte lane: true (all ones) or false (all zeros).
class LaneMask {
 public:
  explicit LaneMask(BlockLanes lanes) : lanes_(lanes) {}
  LaneMask operator|(LaneMask other) const { return LaneMask(lanes_ | other.lanes_); }
  LaneMask operator&(LaneMask other) const { return LaneMask(lanes_ & other.lanes_); }
  // True where this is and `other` is not.
  LaneMask and_not(LaneMask other) const { return LaneMask(lanes_ & ~other.lanes_); }

  // Bit k set when lane k is true.
  std::uint32_t bits() const {
#ifdef VESKO_BYTE_BLOCK_SSE2
    return static_cast<std::uint32_t>(_mm_movemask_epi8(std::bit_cast<__m128i>(lanes_)));
#else
    return gather_lane_bits(lanes_);
#endif
  }
  BlockLanes lanes() const { return lanes_; }

 private:
  BlockLanes lanes_;
};

class ByteBlock {
 public:
  // The 16 bytes at `p`, which need no alignment.
  static ByteBlock load(const unsigned char* p) {
    BlockBytes bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return ByteBlock(bytes);
  }

  // The 16 bytes to `p`, which needs no alignment.
  void store(unsigned char* p) const { std::memcpy(p, &bytes_, sizeof bytes_); }

  LaneMask eq(unsigned char c) const { return LaneMask(bytes_ == c); }
  LaneMask eq(ByteBlock other) const { return LaneMask(bytes_ == other.bytes_); }
  // lo <= byte <= hi, for lo <= hi. Adding 0x7F - hi turns [lo, hi] into the
  // top of the signed byte range, [0x7F - (hi - lo), 0x7F], and every other
  // byte into a value below it: one signed comparison, where an unsigned one
  // costs SSE2 two instructions.
  LaneMask in_range(unsigned char lo, unsigned char hi) const {
    const auto shifted = std::bit_cast<BlockLanes>(bytes_ + static_cast<unsigned char>(0x7F - hi));
    return LaneMask(shifted >= static_cast<std::int8_t>(0x7F - (hi - lo)));
  }
  // The bytes with the bits of `mask` set as well (0x20 folds ASCII capitals
  // onto small letters).
  ByteBlock with_bits(unsigned char mask) const { return ByteBlock(bytes_ | mask); }
  // The same in the lanes where `where` is true only (0x20 where the bytes
  // are capitals lower-cases them).
  ByteBlock with_bits_where(LaneMask where, unsigned char mask) const {
    return ByteBlock(bytes_ | (std::bit_cast<BlockBytes>(where.lanes()) & mask));
  }
  // Bytes 0x80 and above: every byte of a non-ASCII character.
  LaneMask non_ascii() const { return LaneMask(bytes_ >= 0x80); }
  std::uint32_t non_ascii_bits() const {
#ifdef VESKO_BYTE_BLOCK_SSE2
    return static_cast<std::uint32_t>(_mm_movemask_epi8(std::bit_cast<__m128i>(bytes_)));
#else
    return non_ascii().bits();
#endif
  }

 private:
  explicit ByteBlock(BlockBytes bytes) : bytes_(bytes) {}
  BlockBytes bytes_;
};

// Counts true lanes: one byte-sized count per lane, so flush() must come
// before any lane has been added to 256 times.
class LaneCounter {
 public:
  static constexpr int kAddsBeforeFlush = 255;

  void add(LaneMask mask) { lanes_ -= __builtin_convertvector(mask.lanes(), BlockBytes); }
  void flush() {
    for (std::size_t k = 0; k < kBlockBytes; ++k) total_ += lanes_[k];
    lanes_ = BlockBytes{};
  }
  // The count up to the last flush().
  std::uint64_t total() const { return total_; }

 private:
  BlockBytes lanes_ = {};
  std::uint64_t total_ = 0;
};

}  // namespace vesko

#endif  // VESKO_COMMON_BYTE_BLOCK_H_
