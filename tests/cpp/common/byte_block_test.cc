#include "common/byte_block.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace vesko {
namespace {

template <class Predicate>
std::uint32_t bits_where(const unsigned char* bytes, Predicate predicate) {
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < kBlockBytes; ++k) {
    bits |= static_cast<std::uint32_t>(predicate(bytes[k])) << k;
  }
  return bits;
}

// Every operation against its meaning byte by byte; the ranges include the
// ones that cross the signed boundary between 0x7F and 0x80, where a signed
// comparison goes wrong first.
void expect_scalar_meaning(const unsigned char* bytes) {
  const ByteBlock block = ByteBlock::load(bytes);
  for (int c : {0x00, int{'!'}, int{'0'}, int{'A'}, int{'a'}, 0x7F, 0x80, 0xFF}) {
    EXPECT_EQ(block.eq(static_cast<unsigned char>(c)).bits(),
              bits_where(bytes, [c](unsigned char b) { return b == c; }))
        << c;
  }
  const std::pair<int, int> ranges[] = {{'0', '9'},   {'A', 'Z'},   {'!', '~'},   {0x00, 0x20},
                                        {0x7F, 0x80}, {0x80, 0xFF}, {0x00, 0xFE}, {0x41, 0x41}};
  for (auto [lo, hi] : ranges) {
    EXPECT_EQ(block.in_range(static_cast<unsigned char>(lo), static_cast<unsigned char>(hi)).bits(),
              bits_where(bytes, [lo, hi](unsigned char b) { return b >= lo && b <= hi; }))
        << lo << " " << hi;
  }
  EXPECT_EQ(block.with_bits(0x20).in_range('a', 'z').bits(), bits_where(bytes, [](unsigned char b) {
              return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
            }));
  const std::uint32_t high = bits_where(bytes, [](unsigned char b) { return b >= 0x80; });
  EXPECT_EQ(block.non_ascii().bits(), high);
  EXPECT_EQ(block.non_ascii_bits(), high);
  EXPECT_EQ(gather_lane_bits(block.non_ascii().lanes()), high);
  const auto x = block.eq('x') | block.in_range('0', '9');
  const auto digit = block.in_range('0', '9');
  const std::uint32_t x_bits = bits_where(bytes, [](unsigned char b) { return b == 'x'; });
  EXPECT_EQ((x & digit).bits(), digit.bits());
  EXPECT_EQ(x.and_not(digit).bits(), x_bits);
  std::uint32_t same_as_next = 0;
  for (std::size_t k = 0; k < kBlockBytes; ++k) {
    same_as_next |= static_cast<std::uint32_t>(bytes[k] == bytes[k + 1]) << k;
  }
  EXPECT_EQ(block.eq(ByteBlock::load(bytes + 1)).bits(), same_as_next);
}

TEST(ByteBlockTest, ComparisonsMatchTheirMeaningByteByByte) {
  std::vector<unsigned char> bytes(256 + kBlockBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    for (std::size_t at = 0; at + kBlockBytes < bytes.size(); at += kBlockBytes) {
      expect_scalar_meaning(bytes.data() + at);
    }
    if (HasFailure()) return;
    // Then random bytes drawn from a few values, so that neighbours repeat.
    const unsigned char values[] = {'x', '0', '9', 'A', 'z', 0x7F, 0x80, 0xFF, 0x20};
    for (unsigned char& b : bytes) b = values[rng() % std::size(values)];
  }
}

TEST(ByteBlockTest, LaneCounterKeepsEveryCountUpToTheFlushLimit) {
  unsigned char bytes[kBlockBytes];
  for (std::size_t k = 0; k < kBlockBytes; ++k) bytes[k] = k % 3 == 0 ? 'a' : 'b';
  const LaneMask mask = ByteBlock::load(bytes).eq('a');  // 6 lanes of 16
  LaneCounter counter;
  for (int round = 0; round < 4; ++round) {
    for (int k = 0; k < LaneCounter::kAddsBeforeFlush; ++k) counter.add(mask);
    counter.flush();
  }
  EXPECT_EQ(counter.total(), 4u * LaneCounter::kAddsBeforeFlush * 6u);
}

TEST(ByteBlockTest, CountBitsIsAPopulationCount) {
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> values = {0, 1, ~std::uint64_t{0}, std::uint64_t{1} << 63,
                                       0x8080808080808080ull};
  for (int k = 0; k < 1000; ++k) values.push_back(rng() & rng());
  for (std::uint64_t value : values) EXPECT_EQ(count_bits(value), std::popcount(value)) << value;
}

}  // namespace
}  // namespace vesko
